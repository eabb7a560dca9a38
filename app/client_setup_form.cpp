// TClientSetupForm: layout, the domain lookup and the help page.
#include "client_setup_form.h"

#include <QAction>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "login_settings.h"
#include "shared/action_button.h"
#include "shared/big5_validator.h"
#include "shared/modal.h"

TClientSetupForm::TClientSetupForm(const QString& clientFolder, QWidget* owner)
    : QDialog(owner), clientFolder_(clientFolder) {
    setObjectName("TClientSetupForm");
    setWindowTitle("伺服器設定");
    setModal(true);

    Label3 = new QLabel(
        "請輸入伺服器的 IP 網址, 或輸入 Domain Name, 然後按 [Enter] 找 IP address.. ", this);
    Label3->setObjectName("Label3");
    Label3->setWordWrap(true);

    domain = new QLineEdit(this);
    domain->setObjectName("domain");
    ip = new QLineEdit("127.0.0.1", this);
    ip->setObjectName("ip");
    port = new QLineEdit("8001", this);
    port->setObjectName("port");
    // Only a port number can be typed, so the port never turns into something unusable.
    port->setValidator(new QIntValidator(1, 65535, port));

    saveAction = kest::makeAction(this, "saveAction", "儲存 F2", Qt::Key_F2);
    cancelAction = kest::makeAction(this, "cancelAction", "取消 Esc", Qt::Key_Escape);
    helpAction = kest::makeAction(this, "helpAction", "說明 F1", Qt::Key_F1);
    connect(saveAction, &QAction::triggered, this, [this] { saveActionExecute(); });
    connect(cancelAction, &QAction::triggered, this, [this] { cancelActionExecute(); });
    connect(helpAction, &QAction::triggered, this, [this] { helpActionExecute(); });
    connect(domain, &QLineEdit::returnPressed, this, [this] { domainKeyPress(); });

    YesButton = new kest::ActionButton(saveAction, this);
    YesButton->setObjectName("YesButton");
    YesButton->setAutoDefault(false);
    NoButton = new kest::ActionButton(cancelAction, this);
    NoButton->setObjectName("NoButton");
    NoButton->setAutoDefault(false);
    auto* helpButton = new kest::ActionButton(helpAction, this);
    helpButton->setObjectName("helpButton");
    helpButton->setAutoDefault(false);

    auto* fields = new QGridLayout;
    fields->addWidget(new QLabel("區域名稱 (Domain Name):", this), 0, 0, Qt::AlignRight);
    fields->addWidget(domain, 0, 1);
    fields->addWidget(new QLabel("IP 網址:", this), 1, 0, Qt::AlignRight);
    fields->addWidget(ip, 1, 1);
    fields->addWidget(new QLabel("Port 值:", this), 2, 0, Qt::AlignRight);
    fields->addWidget(port, 2, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(helpButton);
    buttons->addStretch();
    buttons->addWidget(YesButton);
    buttons->addWidget(NoButton);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(14);
    layout->addWidget(Label3);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    setMinimumWidth(600);
    installBig5Guard(this);
}

void TClientSetupForm::domainKeyPress() {
    if (domain->text().trimmed().isEmpty()) {
        if (isVisible()) {
            ip->setFocus();
        }
        return;
    }
    const std::optional<QString> address = lookupDomain(domain->text());
    if (!address) {
        return;
    }
    ip->setText(*address);
    if (isVisible()) {
        ip->setFocus();
        ip->selectAll();
    }
}

void TClientSetupForm::saveActionExecute() {
    done(kest::mrOk);
}

void TClientSetupForm::cancelActionExecute() {
    done(kest::mrCancel);
}

void TClientSetupForm::helpActionExecute() {
    const QString page = clientFolder_ + "/client_help/login.htm";
    if (QFileInfo(page).isFile()) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(page));
    }
}
