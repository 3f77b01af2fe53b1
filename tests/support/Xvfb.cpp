#include "support/Xvfb.h"

#include <QFile>
#include <QStandardPaths>

#include <unistd.h>

#ifdef TAPESTRIX_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace testsupport {

namespace {

bool Accepts(const QString& display) {
#ifdef TAPESTRIX_HAVE_XCB
    xcb_connection_t* c = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    const bool ok = !xcb_connection_has_error(c);
    xcb_disconnect(c);
    return ok;
#else
    return QFile::exists(QStringLiteral("/tmp/.X11-unix/X") + display.mid(1));
#endif
}

} // namespace

XvfbServer::XvfbServer(int width, int height, int depth) {
    const QString exe = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (exe.isEmpty()) {
        FError = QStringLiteral("Xvfb is not installed");
        return;
    }
    // Servers of other tests start at the same moment: pick a number that looks free, and move
    // on to another when the server does not come up on it.
    for (int attempt = 0; attempt < 30 && FDisplay.isEmpty(); ++attempt) {
        const int number = 100 + int((getpid() * 7919 + attempt * 131) % 800);
        if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
            continue;
        const QString display = QStringLiteral(":%1").arg(number);
        FServer.setProcessChannelMode(QProcess::MergedChannels);
        FServer.start(exe, {display, QStringLiteral("-noreset"), QStringLiteral("-nolisten"),
                            QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                            QStringLiteral("%1x%2x%3").arg(width).arg(height).arg(depth)});
        if (!FServer.waitForStarted(5000)) {
            FError = QStringLiteral("Xvfb did not start: ") + FServer.errorString();
            continue;
        }
        for (int i = 0; i < 200 && FDisplay.isEmpty(); ++i) {
            if (FServer.state() != QProcess::Running)
                break;
            if (Accepts(display))
                FDisplay = display;
            else
                usleep(25000);
        }
        if (FDisplay.isEmpty()) {
            FError = QStringLiteral("Xvfb did not start: ") +
                     QString::fromLocal8Bit(FServer.readAll()).right(500);
            FServer.kill();
            FServer.waitForFinished(2000);
        }
    }
}

XvfbServer::~XvfbServer() {
    if (FServer.state() == QProcess::NotRunning)
        return;
    FServer.terminate();
    if (!FServer.waitForFinished(5000)) {
        FServer.kill();
        FServer.waitForFinished(3000);
    }
}

} // namespace testsupport
