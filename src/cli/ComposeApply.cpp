// --apply: one desktop job, run by the drawing thread as the program runs it: compose at the
// primary screen's size, write the per-user wallpaper file, set the desktop wallpaper.
#include "cli/ComposeOptions.h"
#include "platform/Monitors.h"
#include "platform/Screen.h"
#include "worker/BackWallpaper.h"

#include <QGuiApplication>

#include <cstdio>

namespace {

// False (with a message) when Qt runs on its offscreen platform, which has no real monitors.
bool HaveDisplay(const char* what) {
    if (QGuiApplication::platformName() != QLatin1String("offscreen") ||
        !qEnvironmentVariableIsEmpty("TAPESTRIX_ALLOW_OFFSCREEN_APPLY"))
        return true;
    const QString problems = platformStartProblems();
    std::fprintf(stderr, "tapestrix-compose: %s (%s)\n", what,
                 problems.isEmpty() ? "DISPLAY or WAYLAND_DISPLAY is not set or cannot be reached"
                                    : problems.toLocal8Bit().constData());
    return false;
}

} // namespace

int RunListMonitors() {
    if (!HaveDisplay("--list-monitors needs a display"))
        return 1;
    std::printf("%s", describeMonitors(monitorList()).toLocal8Bit().constData());
    return 0;
}

int RunApply(const TComposeOptions& options) {
    if (!HaveDisplay("--apply needs a display: it composes at the size of the primary screen and "
                     "sets that desktop's wallpaper"))
        return 1;
    BackBack job({TPreset{options.Foreground, options.Background, options.Tile}}, options.Monitors);
    if (!options.Quiet)
        job.SetStatusObserver([](const QString& text) {
            std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
            std::fflush(stderr);
        });
    job.Resume();
    job.WaitFor(); // serves the job's calls to this (the GUI) thread meanwhile
    const QString status = job.Status();
    if (status.startsWith(QLatin1String("Exception: "))) {
        if (options.Quiet)
            std::fprintf(stderr, "tapestrix-compose: %s\n", status.toLocal8Bit().constData());
        return 1;
    }
    std::printf("%s\n", GetWallpaperFileName().toLocal8Bit().constData());
    return 0;
}
