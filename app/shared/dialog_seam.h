// The test seam of the three shared dialogs. While a DialogScript exists, showWarning,
// confirmYesNo and inputString still build their real forms, but instead of a modal loop they
// record what they showed and take the next scripted answer. Answers are consumed in order;
// a question or input with no answer left (or of the wrong kind) is answered No / Cancel and
// reported in problems(), so a test can fail on it.
// Invariant: at most one script is installed at a time; the destructor uninstalls it.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <vector>

class QDialog;

namespace kest {

class DialogScript {
  public:
    enum class Kind { Warning, Question, Input };

    struct Shown {
        Kind kind;
        QString text;              // the message, question or prompt
        QString initial;           // Input only: the in/out text the caller passed
        bool answeredYes = false;  // Question/Input: what the script answered
        QString result;            // Input only: the text returned when answered with OK
    };

    DialogScript();
    ~DialogScript();
    DialogScript(const DialogScript&) = delete;
    DialogScript& operator=(const DialogScript&) = delete;

    // Queue answers, in the order the dialogs will be shown.
    void answerYes();  // the next question: Yes
    void answerNo();   // the next question: No
    // The next input: the field is emptied and `typed` is typed into it (so upper-case mode and
    // the Big5 guard apply), then F4; a text the form refuses is reported in problems().
    void answerInput(const QString& typed);
    void cancelInput();  // the next input: Esc

    // Called with every form the operations build, before it is answered (for geometry checks).
    std::function<void(QDialog&)> onForm;

    std::vector<Shown> shown;  // everything shown so far, in order

    // Texts of the shown dialogs of one kind, in order (handy for EXPECT_EQ with a list).
    QStringList texts(Kind kind) const;
    QStringList warnings() const { return texts(Kind::Warning); }
    QStringList questions() const { return texts(Kind::Question); }

    // Answers queued but never used.
    int pendingAnswers() const { return static_cast<int>(answers_.size()); }
    // Dialogs answered by default (no answer left, wrong kind, typed text refused); empty when
    // the script went as planned.
    QStringList problems() const { return problems_; }

    // The installed script, or null. Used by the dialog operations.
    static DialogScript* current();

    // Operations' side: record and answer. `form` is the real form.
    struct Answer {
        Kind kind;
        bool yes;
        QString typed;
    };
    bool takeAnswer(Kind kind, const QString& text, Answer& answer);
    void addProblem(const QString& problem) { problems_ << problem; }

  private:
    std::deque<Answer> answers_;
    QStringList problems_;
    DialogScript* previous_;
};

}  // namespace kest
