// Test main for the core libraries: a QGuiApplication (fonts, palette, painting) on the
// offscreen platform unless another was chosen.
#include "support/TestSupport.h"

#include <QGuiApplication>

int main(int argc, char** argv) {
    testsupport::preferOffscreenPlatform();
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
