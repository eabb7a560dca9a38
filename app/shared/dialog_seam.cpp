// The scripted answers of the three shared dialogs. See dialog_seam.h.
#include "dialog_seam.h"

namespace kest {
namespace {
DialogScript* installed = nullptr;

const char* kindName(DialogScript::Kind kind) {
    switch (kind) {
        case DialogScript::Kind::Warning:
            return "warning";
        case DialogScript::Kind::Question:
            return "question";
        case DialogScript::Kind::Input:
            return "input";
    }
    return "?";
}
}  // namespace

DialogScript::DialogScript() : previous_(installed) {
    installed = this;
}

DialogScript::~DialogScript() {
    installed = previous_;
}

DialogScript* DialogScript::current() {
    return installed;
}

void DialogScript::answerYes() {
    answers_.push_back({Kind::Question, true, {}});
}
void DialogScript::answerNo() {
    answers_.push_back({Kind::Question, false, {}});
}
void DialogScript::answerInput(const QString& typed) {
    answers_.push_back({Kind::Input, true, typed});
}
void DialogScript::cancelInput() {
    answers_.push_back({Kind::Input, false, {}});
}

QStringList DialogScript::texts(Kind kind) const {
    QStringList out;
    for (const Shown& s : shown) {
        if (s.kind == kind) {
            out << s.text;
        }
    }
    return out;
}

bool DialogScript::takeAnswer(Kind kind, const QString& text, Answer& answer) {
    if (answers_.empty()) {
        problems_ << QStringLiteral("no answer left for %1 \"%2\"").arg(kindName(kind), text);
        return false;
    }
    if (answers_.front().kind != kind) {
        problems_ << QStringLiteral("%1 \"%2\" met an answer for a %3")
                         .arg(kindName(kind), text, kindName(answers_.front().kind));
        return false;
    }
    answer = answers_.front();
    answers_.pop_front();
    return true;
}

}  // namespace kest
