// The three dialog operations: build the form, run it (or answer it from the installed
// DialogScript), read the result, destroy the form. See dialogs.h.
#include "dialogs.h"

#include "dialog_seam.h"
#include "input_form.h"
#include "line_edit.h"
#include "modal.h"
#include "yes_no_form.h"

namespace kest {

namespace {
using Kind = DialogScript::Kind;

// Runs `form` for real, or answers it from `script` the way a user would: a question by its
// action, an input by typing into the field and pressing F4 (so the field's rules apply).
int runScripted(DialogScript& script, QDialog& form, Kind kind, const QString& text,
                const QString& initial) {
    DialogScript::Shown shown{kind, text, initial, false, {}};
    if (script.onForm) {
        script.onForm(form);
    }
    int result = mrCancel;
    if (kind == Kind::Warning) {
        result = mrOk;
    } else if (kind == Kind::Question) {
        DialogScript::Answer answer{};
        const bool yes = script.takeAnswer(kind, text, answer) && answer.yes;
        auto& yesNo = static_cast<TYesNoForm&>(form);
        (yes ? yesNo.YesAction : yesNo.NoAction)->trigger();
        result = yesNo.result();
    } else {
        auto& input = static_cast<TInputForm&>(form);
        input.FormShow();
        DialogScript::Answer answer{};
        if (script.takeAnswer(kind, text, answer) && answer.yes) {
            input.inputText->selectAll();
            input.inputText->del();
            input.inputText->insert(answer.typed);  // typed: validator and upper case apply
            input.setResult(mrNone);
            input.YesAction->trigger();
            if (input.result() != mrOk) {
                script.addProblem(QStringLiteral("input \"%1\": the typed text \"%2\" cannot be "
                                                 "confirmed")
                                      .arg(text, answer.typed));
            }
        }
        if (input.result() != mrOk) {
            input.NoAction->trigger();
        }
        result = input.result();
        shown.result = input.inputText->text();
    }
    shown.answeredYes = (result == mrOk);
    script.shown.push_back(shown);
    return result;
}
}  // namespace

void showWarning(const QString& text, QWidget* owner) {
    TYesNoForm form(owner);
    form.setupAsWarning(text);
    if (DialogScript* script = DialogScript::current()) {
        runScripted(*script, form, Kind::Warning, text, {});
        return;
    }
    execModal(form);
}

bool confirmYesNo(const QString& question, QWidget* owner) {
    TYesNoForm form(owner);
    form.setupAsQuestion(question);
    int result;
    if (DialogScript* script = DialogScript::current()) {
        result = runScripted(*script, form, Kind::Question, question, {});
    } else {
        result = execModal(form);
    }
    return result == mrOk;
}

bool inputString(const QString& prompt, QString& text, QWidget* owner) {
    TInputForm form(owner);
    form.setup(prompt, text);
    int result;
    if (DialogScript* script = DialogScript::current()) {
        result = runScripted(*script, form, Kind::Input, prompt, text);
    } else {
        result = execModal(form);
    }
    if (result != mrOk) {
        return false;
    }
    text = form.inputText->text();
    return true;
}

}  // namespace kest
