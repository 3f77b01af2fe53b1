// Test main for the window code: a QApplication on the offscreen platform unless another was
// chosen (the screenshot tests run under Xvfb with QT_QPA_PLATFORM=xcb).
#include "support/TestSupport.h"

#include <QApplication>

int main(int argc, char** argv) {
    testsupport::preferOffscreenPlatform();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
