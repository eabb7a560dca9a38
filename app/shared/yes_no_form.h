// TYesNoForm: the form behind the warning and the confirmation dialog. A fixed 559 x 220 dialog
// "信息" with the message `msg`, the buttons `YesButton` (YesAction: F4, Y) and `NoButton`
// (NoAction: Esc, N). Invariant: it closes with mrOk from YesAction, mrNo from NoAction and
// mrCancel from the title-bar close button, and with nothing else.
#pragma once

#include <QDialog>

class QAction;
class QLabel;
class QPlainTextEdit;

namespace kest {

class ActionButton;

class TYesNoForm : public QDialog {
    Q_OBJECT

  public:
    explicit TYesNoForm(QWidget* owner = nullptr);

    // Turns the form into the warning dialog: one centred button "確定".
    void setupAsWarning(const QString& text);
    // Turns the form into the confirmation dialog: the label moves down for short questions.
    void setupAsQuestion(const QString& question);

    QLabel* msg;
    ActionButton* YesButton;
    ActionButton* NoButton;
    QPlainTextEdit* Memo1;
    QAction* YesAction;
    QAction* NoAction;
    QAction* Action1;
    QAction* Action2;

    void YesActionExecute();
    void NoActionExecute();

    // Label tops of the question rule: questions shorter than this many Big5 bytes move down.
    static constexpr int kShortQuestionBytes = 50;
    static constexpr int kMsgTop = 24;
    static constexpr int kShortMsgTop = 40;

  protected:
    void showEvent(QShowEvent* event) override;

  public slots:
    void reject() override;  // the title-bar close button (and nothing else): mrCancel
};

}  // namespace kest

using kest::TYesNoForm;
