// TInputForm: layout, the non-blank rule, the upper-case pre-fill and the keys. See
// input_form.h.
#include "input_form.h"

#include <QAction>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QStyle>

#include "action_button.h"
#include "client_font.h"
#include "line_edit.h"
#include "modal.h"
#include "widget_kind.h"

namespace kest {

const QColor TInputForm::kFocusColor(237, 240, 125);
const QString TInputForm::kUpperCase = QStringLiteral("UpperCase");

TInputForm::TInputForm(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("InputForm"));
    setWindowTitle(QStringLiteral("輸入字串"));
    // The window is 606 x 286 with its frame; the client area is that less a 8-pixel frame on
    // each side and a 28-pixel title bar.
    setFixedSize(590, 250);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFont(clientFont(15, true));

    msg = new QLabel(QStringLiteral("請輸入字串:"), this);
    msg->setObjectName(QStringLiteral("msg"));
    msg->setGeometry(24, 26, 551, 51);
    msg->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    msg->setWordWrap(true);
    msg->setFont(clientFont(19, true));
    msg->setTextFormat(Qt::PlainText);
    QPalette black = msg->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    msg->setPalette(black);
    setWidgetKind(msg, kind::label);

    inputText = new LineEdit(this);
    inputText->setObjectName(QStringLiteral("inputText"));
    inputText->setGeometry(44, 86, 511, 26);
    inputText->setFont(clientFont(16, false));
    inputText->setFocusColor(kFocusColor);
    inputText->installEventFilter(this);

    YesAction = makeAction(this, "YesAction", QStringLiteral("確定 F4"), QKeySequence(Qt::Key_F4));
    NoAction =
        makeAction(this, "NoAction", QStringLiteral("取消 Esc"), QKeySequence(Qt::Key_Escape));
    connect(YesAction, &QAction::triggered, this, &TInputForm::YesActionExecute);
    connect(NoAction, &QAction::triggered, this, &TInputForm::NoActionExecute);

    YesButton = new ActionButton(YesAction, this);
    YesButton->setObjectName(QStringLiteral("YesButton"));
    YesButton->setGeometry(174, 150, 125, 50);
    YesButton->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    NoButton = new ActionButton(NoAction, this);
    NoButton->setObjectName(QStringLiteral("NoButton"));
    NoButton->setGeometry(314, 150, 125, 50);
    NoButton->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    YesButton->setAutoDefault(true);
    NoButton->setAutoDefault(true);
    // Tab order: inputText, NoButton, YesButton.
    setTabOrder(inputText, NoButton);
    setTabOrder(NoButton, YesButton);

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    }
}

void TInputForm::setup(const QString& prompt, const QString& text) {
    msg->setText(prompt);
    if (text == kUpperCase) {
        inputText->setUpperCase(true);
        inputText->clear();
    } else {
        inputText->setText(text);
    }
}

bool TInputForm::acceptable(const QString& text) {
    for (QChar c : text) {
        // Blanks (also the ideographic one) and control characters do not count.
        if (!c.isSpace() && c.category() != QChar::Other_Control) {
            return true;
        }
    }
    return false;
}

void TInputForm::YesActionExecute() {
    if (acceptable(inputText->text())) {
        done(mrOk);
    }
}

void TInputForm::NoActionExecute() {
    done(mrCancel);
}

void TInputForm::reject() {
    done(mrCancel);
}

void TInputForm::FormShow() {
    if (inputText->text() == kUpperCase) {
        inputText->setUpperCase(true);
        inputText->clear();
    }
}

bool TInputForm::inputTextKeyDown(int key) {
    if (key != Qt::Key_Return && key != Qt::Key_Enter) {
        return false;
    }
    YesActionExecute();
    return true;
}

void TInputForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
    inputText->setFocus(Qt::TabFocusReason);
}

bool TInputForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == inputText && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier) {
            if (inputTextKeyDown(key->key())) {
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace kest
