// TYesNoForm: layout, keys and the two uses (warning, question). See yes_no_form.h.
#include "yes_no_form.h"

#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QStyle>
#include <QTextBlock>
#include <QTextDocument>

#include "action_button.h"
#include "big5_validator.h"
#include "client_font.h"
#include "modal.h"
#include "widget_kind.h"

namespace kest {

namespace {
void centreOnScreen(QWidget* w) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        w->move(area.center() - QPoint(w->width() / 2, w->height() / 2));
    }
}
}  // namespace

TYesNoForm::TYesNoForm(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("YesNoForm"));
    setWindowTitle(QStringLiteral("信息"));
    setFixedSize(559, 220);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFont(clientFont(15, true));

    msg = new QLabel(this);
    msg->setObjectName(QStringLiteral("msg"));
    msg->setGeometry(32, kMsgTop, 489, 113);
    msg->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    msg->setWordWrap(true);
    msg->setFont(clientFont(16, true));
    msg->setTextFormat(Qt::PlainText);
    QPalette black = msg->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    msg->setPalette(black);
    setWidgetKind(msg, kind::label);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setPlainText(QStringLiteral("確定"));
    Memo1->hide();
    guardBig5(Memo1);

    YesAction =
        makeAction(this, "YesAction", QStringLiteral("是 F4 (&Y)"), QKeySequence(Qt::Key_F4));
    NoAction =
        makeAction(this, "NoAction", QStringLiteral("否 Esc (&N)"), QKeySequence(Qt::Key_Escape));
    Action1 = makeAction(this, "Action1", QString(), QKeySequence(Qt::Key_Y));
    Action2 = makeAction(this, "Action2", QString(), QKeySequence(Qt::Key_N));
    connect(YesAction, &QAction::triggered, this, &TYesNoForm::YesActionExecute);
    connect(Action1, &QAction::triggered, this, &TYesNoForm::YesActionExecute);
    connect(NoAction, &QAction::triggered, this, &TYesNoForm::NoActionExecute);
    connect(Action2, &QAction::triggered, this, &TYesNoForm::NoActionExecute);

    YesButton = new ActionButton(YesAction, this);
    YesButton->setObjectName(QStringLiteral("YesButton"));
    YesButton->setGeometry(157, 155, 120, 33);
    YesButton->setIcon(style()->standardIcon(QStyle::SP_DialogYesButton));
    NoButton = new ActionButton(NoAction, this);
    NoButton->setObjectName(QStringLiteral("NoButton"));
    NoButton->setGeometry(293, 155, 120, 33);
    NoButton->setIcon(style()->standardIcon(QStyle::SP_DialogNoButton));
    // A focused button answers Enter, as buttons do in dialogs.
    YesButton->setAutoDefault(true);
    NoButton->setAutoDefault(true);
    // Tab order: NoButton first, so a stray Enter never says yes.
    setTabOrder(NoButton, YesButton);

    centreOnScreen(this);
}

void TYesNoForm::setupAsWarning(const QString& text) {
    msg->setText(text);
    NoButton->hide();
    YesButton->setText(Memo1->document()->firstBlock().text());
    YesButton->move(220, YesButton->y());
}

void TYesNoForm::setupAsQuestion(const QString& question) {
    msg->setText(question);
    // A text CP950 cannot hold has no Big5 length; it counts as long (label stays up).
    const long bytes = big5Length(question);
    if (bytes >= 0 && bytes < kShortQuestionBytes) {
        msg->move(msg->x(), kShortMsgTop);
    }
}

void TYesNoForm::YesActionExecute() {
    done(mrOk);
}

void TYesNoForm::NoActionExecute() {
    done(mrNo);
}

void TYesNoForm::reject() {
    done(mrCancel);
}

void TYesNoForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (NoButton->isVisible()) {
        NoButton->setFocus(Qt::TabFocusReason);
    } else {
        YesButton->setFocus(Qt::TabFocusReason);
    }
}

}  // namespace kest
