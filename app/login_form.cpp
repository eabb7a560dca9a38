// TLoginForm: layout, the settings file round trip and the server settings dialog.
#include "login_form.h"

#include <QAction>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "client_setup_form.h"
#include "shared/action_button.h"
#include "shared/big5_validator.h"
#include "shared/dialogs.h"
#include "shared/line_edit.h"
#include "shared/modal.h"

namespace {

// The picture at the left of the dialog: the product's mark on a blue gradient.
QPixmap loginPicture() {
    QPixmap picture(150, 170);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, picture.height());
    sky.setColorAt(0, QColor(40, 90, 160));
    sky.setColorAt(1, QColor(120, 170, 225));
    painter.fillRect(picture.rect(), sky);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 60));
    painter.drawEllipse(QPoint(110, 40), 70, 70);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(26);
    painter.setFont(font);
    painter.drawText(QRect(0, 40, 150, 40), Qt::AlignCenter, "KestDB");
    font.setPixelSize(18);
    painter.setFont(font);
    painter.drawText(QRect(0, 90, 150, 30), Qt::AlignCenter, "客戶管理系統");
    return picture;
}

}  // namespace

TLoginForm::TLoginForm(const QString& clientFolder, QWidget* owner)
    : QDialog(owner), settings(readLoginSettings()), clientFolder_(clientFolder) {
    setObjectName("TLoginForm");
    setModal(true);

    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setPixmap(loginPicture());

    id = new kest::UpperCaseEdit(this);
    id->setObjectName("id");
    password = new kest::UpperCaseEdit(this);
    password->setObjectName("password");
    password->setEchoMode(QLineEdit::Password);
    if (!settings.fromFile) {
        // First start on this workstation: the account every new server has.
        id->setText("ADMIN");
        password->setText("PLOVK");
    }

    loginAction = kest::makeAction(this, "loginAction", "登入 F4", Qt::Key_F4);
    exitAction = kest::makeAction(this, "exitAction", "離開 Esc", Qt::Key_Escape);
    connect(loginAction, &QAction::triggered, this, [this] { loginActionExecute(); });
    connect(exitAction, &QAction::triggered, this, [this] { exitActionExecute(); });

    serverButton = new QPushButton("伺服器設定", this);
    serverButton->setObjectName("serverButton");
    connect(serverButton, &QPushButton::clicked, this, [this] { serverButtonClick(); });
    login = new kest::ActionButton(loginAction, this);
    login->setObjectName("login");
    cancel = new kest::ActionButton(exitAction, this);
    cancel->setObjectName("cancel");
    for (QPushButton* button : {serverButton, login, cancel}) {
        button->setAutoDefault(false);
        button->setMinimumHeight(34);
    }

    // Enter in the employee number moves on; Enter in the password logs in.
    connect(id, &QLineEdit::returnPressed, this, [this] { password->setFocus(); });
    connect(password, &QLineEdit::returnPressed, loginAction, &QAction::trigger);

    auto* fields = new QGridLayout;
    fields->setVerticalSpacing(14);
    fields->addWidget(new QLabel("員工編號:", this), 0, 0, Qt::AlignRight);
    fields->addWidget(id, 0, 1);
    fields->addWidget(new QLabel("密碼:", this), 1, 0, Qt::AlignRight);
    fields->addWidget(password, 1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(serverButton);
    buttons->addStretch();
    buttons->addWidget(login);
    buttons->addWidget(cancel);

    auto* right = new QVBoxLayout;
    right->addStretch();
    right->addLayout(fields);
    right->addStretch();
    right->addLayout(buttons);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(20);
    layout->addWidget(Image1, 0, Qt::AlignTop);
    layout->addLayout(right, 1);
    setMinimumWidth(520);
    installBig5Guard(this);
    id->setFocus();
}

void TLoginForm::loginActionExecute() {
    if (id->text().trimmed().isEmpty()) {
        showWarning("請輸入員工編號.", this);
        id->setFocus();
        return;
    }
    writeLoginSettings(settings);  // an unwritable file only means the settings are not kept
    done(kest::mrOk);
}

void TLoginForm::exitActionExecute() {
    done(kest::mrCancel);
}

void TLoginForm::serverButtonClick() {
    TClientSetupForm setup(clientFolder_, this);
    setup.ip->setText(settings.serverIp);
    setup.port->setText(QString::number(settings.port));
    setup.domain->setText(settings.domainName);
    setup.domainKeyPress();
    settings.serverIp = setup.ip->text();
    if (execModal(setup) != kest::mrOk) {
        return;
    }
    settings.domainName = setup.domain->text();
    settings.serverIp = setup.ip->text();
    bool ok = false;
    const int port = setup.port->text().toInt(&ok);
    if (ok) {
        settings.port = port;
    }
}
