// An Xvfb server of a test's own, on a free display number, kept alive past its last client
// (-noreset, so a root pixmap survives). Several tests may start servers at the same time.
#pragma once

#include <QProcess>
#include <QString>

namespace testsupport {

class XvfbServer {
public:
    XvfbServer(int width, int height, int depth = 24);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool Started() const { return !FDisplay.isEmpty(); }
    QString Display() const { return FDisplay; } // ":N", empty when it did not start
    QString Error() const { return FError; }

private:
    QProcess FServer;
    QString FDisplay;
    QString FError;
};

} // namespace testsupport
