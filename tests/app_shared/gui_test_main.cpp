// main() of every GUI test program: a QApplication on the offscreen platform (unless the
// environment names another one) with the client's fonts, then GoogleTest.
#include <gtest/gtest.h>

#include <QApplication>

#include "client_font.h"

int main(int argc, char** argv) {
    // Also during test discovery at build time, where the test's ENVIRONMENT does not apply.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    kest::applyClientFont(app);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
