// Helpers for GUI tests. See gui_testkit.h.
#include "gui_testkit.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QTest>

namespace kest::testkit {

bool showActive(QWidget& window) {
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window, 5000)) {
        return false;
    }
    // The platform window may report active before QApplication has moved its active window
    // (and the keyboard focus) over; keys sent in between go to the previous window.
    QDeadlineTimer deadline(5000);
    while (QApplication::activeWindow() != window.window() && !deadline.hasExpired()) {
        QTest::qWait(5);
    }
    return QApplication::activeWindow() == window.window();
}

void typeText(QWidget* widget, const QString& text) {
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = (text[i].isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        const QString ch = text.mid(i, n);
        if (n == 1 && ch[0].unicode() < 0x80) {
            QTest::keyClicks(widget, ch);
        } else {
            QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, ch, Qt::NoModifier);
            QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, ch, Qt::NoModifier);
        }
        i += n;
    }
}

kest::ModalHandler playUser(std::function<void(QDialog&)> user, int* stillOpen) {
    return [user = std::move(user), stillOpen](QDialog& dialog) {
        dialog.setResult(0);
        showActive(dialog);
        user(dialog);
        QApplication::processEvents();
        if (dialog.isVisible()) {
            if (stillOpen != nullptr) {
                ++*stillOpen;
            }
            dialog.reject();
        }
        return dialog.result();
    };
}

}  // namespace kest::testkit
