// Renders the warning, confirmation and input dialogs to PNG files so a person can look at them
// without a desktop: dialog_shots [folder] (default docs/screenshots under the current folder).
#include <QApplication>
#include <QDir>
#include <cstdio>

#include "client_font.h"
#include "input_form.h"
#include "line_edit.h"
#include "render.h"
#include "yes_no_form.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    kest::applyClientFont(app);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                    : QDir::current().filePath(QStringLiteral("docs/screenshots"));
    bool ok = true;

    TYesNoForm warning;
    warning.setupAsWarning(QStringLiteral("請先按 [設定] 鈕設定客戶類別."));
    ok &= kest::renderWindowToPng(&warning, folder + QStringLiteral("/dialog_warning.png"));

    TYesNoForm question;
    question.setupAsQuestion(QStringLiteral("刪除客戶 '大同貿易有限公司' 嗎?"));
    question.show();  // NoButton shows that it holds the focus
    QApplication::processEvents();
    ok &= kest::renderWindowToPng(&question, folder + QStringLiteral("/dialog_question.png"));

    TInputForm input;
    input.setup(QStringLiteral("請輸入新的客戶類別名稱:"), QStringLiteral("批發商"));
    input.show();  // the focus tint shows while the field is focused
    input.inputText->setFocus();
    QApplication::processEvents();
    ok &= kest::renderWindowToPng(&input, folder + QStringLiteral("/dialog_input.png"));

    std::printf("%s: %s\n", ok ? "written" : "FAILED", qPrintable(folder));
    return ok ? 0 : 1;
}
