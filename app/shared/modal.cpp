// The modal door: exec() or the test's handler. See modal.h.
#include "modal.h"

#include <QDialog>
#include <utility>

namespace kest {
namespace {
ModalHandler& handlerSlot() {
    static ModalHandler handler;
    return handler;
}
}  // namespace

int execModal(QDialog& dialog) {
    if (ModalHandler& handler = handlerSlot()) {
        // Copy: the handler may install another one while it runs.
        ModalHandler running = handler;
        return running(dialog);
    }
    return dialog.exec();
}

ModalHandler setModalHandler(ModalHandler handler) {
    return std::exchange(handlerSlot(), std::move(handler));
}

ModalHandlerScope::ModalHandlerScope(ModalHandler handler)
    : previous_(setModalHandler(std::move(handler))) {}

ModalHandlerScope::~ModalHandlerScope() {
    setModalHandler(std::move(previous_));
}

}  // namespace kest
