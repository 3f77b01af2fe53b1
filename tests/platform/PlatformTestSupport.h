// Helpers for the desktop-wallpaper tests: a private session bus, an Xvfb server, fake tools on
// PATH, and re-running this test program as a child with its own environment.
#pragma once

#include <QByteArray>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QtGlobal>

#include "support/Xvfb.h"

#include <memory>
#include <vector>

namespace platformtest {

// True when the program is on this process's PATH.
bool haveProgram(const QString& program);

// A dbus-daemon of our own with its own config, data and runtime folders, so that the services
// it starts (dconf-service, xfconfd) store nothing in the user's real home. Without
// systemServices it starts none at all: a service is there only when a test provides it.
class PrivateBus {
public:
    explicit PrivateBus(bool systemServices = true);
    ~PrivateBus();
    bool started() const { return !FAddress.isEmpty(); }
    QString error() const { return FError; }
    QString address() const { return FAddress; }
    QString root() const { return FDir.path(); }
    // This process's environment with the bus and the private folders in place of the user's.
    QProcessEnvironment environment() const;

private:
    QTemporaryDir FDir;
    QProcess FDaemon;
    QString FAddress;
    QString FError;
};

// A service of the tests' own on a bus: `object` answers every call on `path` and the paths below
// it, on a thread of its own, so that the test thread can make blocking calls to it.
class ServiceHost {
public:
    ServiceHost(const QString& address, const QString& service, const QString& path,
                QDBusVirtualObject* object);
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;
    bool ok() const { return FOk; }

private:
    QString FName;
    QThread FThread;
    bool FOk = false;
};

// A ServiceHost with its object, an Object (a QDBusVirtualObject), made and kept here.
template <class Object> class FakeService {
public:
    FakeService(const QString& address, const QString& service, const QString& path)
        : FHost(address, service, path, &FObject) {}
    bool ok() const { return FHost.ok(); }
    Object& object() { return FObject; }

private:
    Object FObject; // outlives the host, which stops its thread
    ServiceHost FHost;
};

// An Xvfb server on a free display number, kept alive past its last client (-noreset).
class XServer {
public:
    XServer(int width, int height, int depth);
    ~XServer();
    bool started() const { return FServer->Started(); }
    QString error() const { return FServer->Error(); }
    QString display() const { return FServer->Display(); }

private:
    std::unique_ptr<testsupport::XvfbServer> FServer;
};

// A folder of fake programs that record their arguments. Each call appends one record to the
// log: the program's name and its arguments.
class FakeTools {
public:
    FakeTools();
    // Adds an executable `name` that records its call and then runs `script` (bash).
    void add(const QString& name, const QString& script = QString());
    QString dir() const { return FDir.path(); }
    QString logPath() const { return FDir.path() + QStringLiteral("/calls.log"); }
    // PATH holding only the fake programs' folder and the system's.
    QProcessEnvironment environment(const QProcessEnvironment& base) const;
    // Every recorded call: program name first, then its arguments.
    std::vector<QStringList> calls() const;

private:
    QTemporaryDir FDir;
};

// Records Qt's warnings (anything above debug and info) from every thread while it is installed.
class QtWarningRecorder {
public:
    QtWarningRecorder();
    ~QtWarningRecorder();
    QtWarningRecorder(const QtWarningRecorder&) = delete;
    QtWarningRecorder& operator=(const QtWarningRecorder&) = delete;
    void stop(); // restores the previous handler
    QStringList warnings() const;

private:
    QtMessageHandler FPrevious = nullptr;
    bool FInstalled = false;
};

struct ChildResult {
    int exitCode = -1;
    QString output;
};
// Runs this test program again with `filter` (disabled tests included) and `env`.
ChildResult runSelf(const QString& filter, const QProcessEnvironment& env, int timeoutMs = 60000);

// An uncompressed 24-bit BMP, bottom-up rows padded to four bytes, from `pixel(x, y)` (0xRRGGBB).
QByteArray makeBmp(int width, int height, uint32_t (*pixel)(int x, int y));
bool writeFile(const QString& path, const QByteArray& bytes);

} // namespace platformtest
