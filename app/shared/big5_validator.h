// Keeps text inputs within what Big5 (CP950) can hold, so no character is ever lost on its way
// to the server. Big5Validator refuses a one-line edit's change that brings in such a character
// (and optionally upper-cases letters); installBig5Guard walks a form and guards every edit,
// memo and editable combo box in it.
// Invariant: a guarded input never holds a character wire::representableInBig5 refuses.
#pragma once

#include <QString>
#include <QValidator>

class QLineEdit;
class QPlainTextEdit;
class QTextEdit;
class QWidget;

namespace kest {

class Big5Validator : public QValidator {
    Q_OBJECT

  public:
    explicit Big5Validator(QObject* parent = nullptr);

    // Letters are stored in upper case (the edit's upper-case mode).
    void setUpperCase(bool on) { upperCase_ = on; }
    bool upperCase() const { return upperCase_; }

    // Invalid when `input` holds a character CP950 lacks; upper-cases it in upper-case mode.
    State validate(QString& input, int& pos) const override;
    // Drops the characters CP950 lacks (and upper-cases in upper-case mode).
    void fixup(QString& input) const override;

  private:
    bool upperCase_ = false;
};

// True when every character of `text` has a CP950 code.
bool representableInBig5(const QString& text);
// `text` without the characters CP950 lacks.
QString dropNonBig5(const QString& text);
// Length of `text` in CP950 bytes (a Chinese character counts two); -1 when not representable.
long big5Length(const QString& text);

// Guards one one-line edit: a Big5Validator refuses typed and pasted changes, and text set by
// the program (QLineEdit::setText) loses the characters CP950 lacks. An edit that already has a
// validator keeps it and gets only the second half.
void guardBig5(QLineEdit* edit);

// Guards one memo: characters CP950 lacks are removed as soon as they are typed or pasted.
void guardBig5(QPlainTextEdit* memo);
void guardBig5(QTextEdit* memo);

// Guards every QLineEdit (also the edit of an editable QComboBox), QPlainTextEdit and QTextEdit
// under `root` (root included) that is not guarded yet. Edits that already carry a different
// validator, and the inner edits of spin boxes and date pickers, are left alone.
void installBig5Guard(QWidget* root);

}  // namespace kest

using kest::Big5Validator;
using kest::installBig5Guard;
