#include "PlatformTestSupport.h"

#include <mutex>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace platformtest {

bool haveProgram(const QString& program) {
    return !QStandardPaths::findExecutable(program).isEmpty();
}

// ---------------------------------------------------------------------------------------------

PrivateBus::PrivateBus(bool systemServices) {
    if (!haveProgram(QStringLiteral("dbus-daemon"))) {
        FError = QStringLiteral("dbus-daemon is not installed");
        return;
    }
    if (!FDir.isValid()) {
        FError = QStringLiteral("no temporary folder");
        return;
    }
    for (const char* sub : {"config", "data", "cache", "runtime", "home"})
        QDir(FDir.path()).mkpath(QLatin1String(sub));
    QFile::setPermissions(FDir.path() + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    FDaemon.setProcessEnvironment(environment());
    FDaemon.setProgram(QStringLiteral("dbus-daemon"));
    const QString listen =
        QStringLiteral("unix:path=") + FDir.path() + QStringLiteral("/runtime/bus");
    QStringList arguments = {QStringLiteral("--nofork"), QStringLiteral("--nosyslog"),
                             QStringLiteral("--print-address=1")};
    if (systemServices) {
        arguments << QStringLiteral("--session") << QStringLiteral("--address=") + listen;
    } else {
        // The session bus's rules without its service folders.
        const QString config = FDir.path() + QStringLiteral("/bus.conf");
        writeFile(config, QStringLiteral(
                              "<!DOCTYPE busconfig PUBLIC "
                              "\"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                              "<busconfig><type>session</type><listen>%1</listen>\n"
                              "<auth>EXTERNAL</auth><policy context=\"default\">"
                              "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                              "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                              "</busconfig>\n")
                              .arg(listen.toHtmlEscaped())
                              .toUtf8());
        arguments << QStringLiteral("--config-file=") + config;
    }
    FDaemon.setArguments(arguments);
    FDaemon.setProcessChannelMode(QProcess::SeparateChannels);
    FDaemon.start();
    QByteArray line;
    while (FDaemon.waitForReadyRead(10000)) {
        line += FDaemon.readAllStandardOutput();
        if (line.contains('\n'))
            break;
    }
    FAddress = QString::fromUtf8(line).trimmed();
    if (FAddress.isEmpty())
        FError = QStringLiteral("dbus-daemon did not start: ") +
                 QString::fromLocal8Bit(FDaemon.readAllStandardError());
}

PrivateBus::~PrivateBus() {
    if (FDaemon.state() != QProcess::NotRunning) {
        FDaemon.terminate();
        if (!FDaemon.waitForFinished(3000)) {
            FDaemon.kill();
            FDaemon.waitForFinished(3000);
        }
    }
}

QProcessEnvironment PrivateBus::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString root = FDir.path();
    env.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/cache"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/runtime"));
    env.remove(QStringLiteral("DISPLAY")); // no X11 autolaunch of another bus
    env.remove(QStringLiteral("GSETTINGS_BACKEND"));
    if (!FAddress.isEmpty())
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), FAddress);
    else
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    return env;
}

// ---------------------------------------------------------------------------------------------

ServiceHost::ServiceHost(const QString& address, const QString& service, const QString& path,
                         QDBusVirtualObject* object)
    : FName(QStringLiteral("fake-") + service) {
    // Registered before it moves, so that what the registration attaches to it moves along.
    QDBusConnection bus = QDBusConnection::connectToBus(address, FName);
    FOk = bus.isConnected() && bus.registerVirtualObject(path, object, QDBusConnection::SubPath);
    object->moveToThread(&FThread);
    FThread.start();
    FOk = FOk && bus.registerService(service);
}

ServiceHost::~ServiceHost() {
    QDBusConnection::disconnectFromBus(FName);
    FThread.quit();
    FThread.wait();
}

// ---------------------------------------------------------------------------------------------

XServer::XServer(int width, int height, int depth)
    : FServer(std::make_unique<testsupport::XvfbServer>(width, height, depth)) {}

XServer::~XServer() = default;

// ---------------------------------------------------------------------------------------------

FakeTools::FakeTools() = default;

void FakeTools::add(const QString& name, const QString& script) {
    const QString path = FDir.path() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    // One record per call: NUL-terminated fields, then a record separator field.
    file.write(QStringLiteral("#!/bin/bash\n"
                              "printf '%s\\0' \"$(basename \"$0\")\" \"$@\" $'\\x1e' >> '%1'\n"
                              "%2\n")
                   .arg(logPath(), script)
                   .toUtf8());
    file.close();
    QFile::setPermissions(path,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QProcessEnvironment FakeTools::environment(const QProcessEnvironment& base) const {
    QProcessEnvironment env = base;
    env.insert(QStringLiteral("PATH"), FDir.path() + QStringLiteral(":/usr/bin:/bin"));
    return env;
}

std::vector<QStringList> FakeTools::calls() const {
    std::vector<QStringList> result;
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return result;
    QStringList current;
    for (const QByteArray& field : file.readAll().split('\0')) {
        if (field == "\x1e") {
            result.push_back(current);
            current.clear();
        } else if (!field.isEmpty() || !current.isEmpty()) {
            current << QString::fromUtf8(field);
        }
    }
    return result;
}

// ---------------------------------------------------------------------------------------------

ChildResult runSelf(const QString& filter, const QProcessEnvironment& env, int timeoutMs) {
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=") + filter,
                 QStringLiteral("--gtest_also_run_disabled_tests")});
    ChildResult result;
    if (!child.waitForFinished(timeoutMs)) {
        child.kill();
        child.waitForFinished(3000);
        result.output = QStringLiteral("timed out\n");
    }
    result.output += QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() == QProcess::NormalExit)
        result.exitCode = child.exitCode();
    return result;
}

QByteArray makeBmp(int width, int height, uint32_t (*pixel)(int x, int y)) {
    const int stride = (width * 3 + 3) / 4 * 4;
    const uint32_t imageSize = uint32_t(stride) * uint32_t(height);
    QByteArray bytes;
    auto put16 = [&bytes](uint32_t v) {
        bytes.append(char(v & 0xFF));
        bytes.append(char((v >> 8) & 0xFF));
    };
    auto put32 = [&put16](uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    };
    bytes.append("BM");
    put32(14 + 40 + imageSize);
    put32(0);
    put32(14 + 40);
    put32(40);
    put32(uint32_t(width));
    put32(uint32_t(height)); // positive: bottom-up
    put16(1);
    put16(24);
    put32(0); // BI_RGB
    put32(imageSize);
    put32(2835);
    put32(2835);
    put32(0);
    put32(0);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            const uint32_t rgb = pixel(x, y);
            bytes.append(char(rgb & 0xFF));         // blue
            bytes.append(char((rgb >> 8) & 0xFF));  // green
            bytes.append(char((rgb >> 16) & 0xFF)); // red
        }
        bytes.append(QByteArray(stride - width * 3, '\0'));
    }
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

namespace {
std::mutex gWarningsMutex;
QStringList gWarnings;
void RecordWarning(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg) {
        std::lock_guard<std::mutex> lock(gWarningsMutex);
        gWarnings << text;
    }
}
} // namespace

QtWarningRecorder::QtWarningRecorder() {
    {
        std::lock_guard<std::mutex> lock(gWarningsMutex);
        gWarnings.clear();
    }
    FPrevious = qInstallMessageHandler(RecordWarning);
    FInstalled = true;
}

QtWarningRecorder::~QtWarningRecorder() {
    stop();
}

void QtWarningRecorder::stop() {
    if (FInstalled)
        qInstallMessageHandler(FPrevious);
    FInstalled = false;
}

QStringList QtWarningRecorder::warnings() const {
    std::lock_guard<std::mutex> lock(gWarningsMutex);
    return gWarnings;
}

} // namespace platformtest
