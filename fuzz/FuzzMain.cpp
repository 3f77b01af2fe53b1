// Shared set-up for the fuzz targets: a QGuiApplication on the offscreen platform, created once
// before the first input, so that painting and fonts work as in the program.
#include <QGuiApplication>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QGuiApplication* app = new QGuiApplication(*argc, *argv);
    (void)app;
    return 0;
}
