// TInputForm: the form behind inputString. The prompt `msg`, the one-line edit `inputText`
// (light yellow while focused) and the buttons `YesButton` (YesAction: F4) and `NoButton`
// (NoAction: Esc). Invariant: it closes with mrOk only while inputText holds something other
// than blanks and control characters; otherwise only with mrCancel.
#pragma once

#include <QColor>
#include <QDialog>

class QAction;
class QLabel;

namespace kest {

class ActionButton;
class LineEdit;

class TInputForm : public QDialog {
    Q_OBJECT

  public:
    explicit TInputForm(QWidget* owner = nullptr);

    // Puts the prompt and the in/out text in place; "UpperCase" opens an empty upper-case field.
    void setup(const QString& prompt, const QString& text);

    QLabel* msg;
    LineEdit* inputText;
    ActionButton* YesButton;
    ActionButton* NoButton;
    QAction* YesAction;
    QAction* NoAction;

    void YesActionExecute();
    void NoActionExecute();
    void FormShow();
    // Enter: confirm as YesAction does; returns true when the key was consumed.
    bool inputTextKeyDown(int key);

    // True when `text` holds anything besides blanks and control characters.
    static bool acceptable(const QString& text);

    static const QColor kFocusColor;  // 237, 240, 125
    static const QString kUpperCase;  // "UpperCase"

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  public slots:
    void reject() override;  // Esc via the dialog, the title-bar close button: mrCancel
};

}  // namespace kest

using kest::TInputForm;
