// The one door through which the client shows a modal form. Every modal window of the program
// (the three shared dialogs, the login, the settings and every later editor) is run by
// execModal, so a test can install a handler that answers the form without a modal loop.
// Invariant: with no handler installed execModal is exactly QDialog::exec().
#pragma once

#include <functional>

class QDialog;

namespace kest {

// Modal results the forms close with; the numbers are those the forms have always used.
enum ModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrNo = 7 };

using ModalHandler = std::function<int(QDialog&)>;

// Shows `dialog` modally and returns its result. With a handler installed, calls the handler
// instead (the dialog is not shown) and returns what the handler returns.
int execModal(QDialog& dialog);

// Installs the handler (an empty function restores real exec()). Returns the previous one.
ModalHandler setModalHandler(ModalHandler handler);

// Installs a handler for the life of the object and restores the previous one afterwards.
class ModalHandlerScope {
  public:
    explicit ModalHandlerScope(ModalHandler handler);
    ~ModalHandlerScope();
    ModalHandlerScope(const ModalHandlerScope&) = delete;
    ModalHandlerScope& operator=(const ModalHandlerScope&) = delete;

  private:
    ModalHandler previous_;
};

}  // namespace kest

using kest::execModal;
using kest::setModalHandler;
