// The single-instance rule: a second start hands over the restore request and returns only after
// the running instance has handled it; a crashed instance's lock and socket are taken over;
// simultaneous starts leave one instance; the folder is private to the user.
#include "platform/SingleInstance.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Start = TSingleInstance::TStartResult;

// Runs the event loop until `done` or the timeout; true when done.
template <typename Pred> bool pumpUntil(Pred done, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

using Request = TSingleInstance::TRequest;

// A second start on its own thread, so that the running instance's event loop keeps going here.
std::future<Start> startOnThread(const QString& folder, int timeoutMs = 10000,
                                 int answerTimeoutMs = 10000, Request request = Request::Restore) {
    return std::async(std::launch::async, [folder, timeoutMs, answerTimeoutMs, request] {
        TSingleInstance other(folder);
        return other.Start(timeoutMs, answerTimeoutMs, request);
    });
}

// A client of our own on the socket; -1 when it cannot connect.
int connectTo(const QString& socketPath) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends `line` and returns everything the server answers until it closes.
QByteArray exchange(const QString& socketPath, const QByteArray& line) {
    const int fd = connectTo(socketPath);
    if (fd < 0 || ::write(fd, line.constData(), size_t(line.size())) != line.size())
        return "<not sent>";
    QByteArray answer;
    char buffer[64];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        answer.append(buffer, n);
    ::close(fd);
    return answer;
}

template <class T> bool ready(const std::future<T>& f) {
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Child processes: this test program run again with a filter selecting DISABLED_ChildStart.
QProcess* startChild(const QString& folder, const QString& mode, QObject* parent) {
    auto* child = new QProcess(parent);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TAPESTRIX_SI_FOLDER"), folder);
    env.insert(QStringLiteral("TAPESTRIX_SI_MODE"), mode);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child->setProcessEnvironment(env);
    child->setProcessChannelMode(QProcess::MergedChannels);
    child->start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--gtest_filter=SingleInstanceChild.DISABLED_ChildStart"),
                  QStringLiteral("--gtest_also_run_disabled_tests")});
    return child;
}

QString resultOf(QProcess* child) {
    const QString output = QString::fromLocal8Bit(child->readAll());
    for (const QString& line : output.split(QLatin1Char('\n')))
        if (line.startsWith(QStringLiteral("RESULT ")))
            return line.mid(7).trimmed();
    return QStringLiteral("no result: ") + output;
}

class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        FFolder = FDir.path() + QStringLiteral("/run");
        ASSERT_TRUE(QDir().mkpath(FFolder));
        ::chmod(QFile::encodeName(FFolder).constData(), 0700);
    }
    QTemporaryDir FDir;
    QString FFolder;
};

} // namespace

// Child body, run only through startChild. Modes: "start" (take part in a start; a primary
// stays until the file "stop" appears and reports how many restores it handled), "crash"
// (become the running instance and die without any clean-up). Every child first waits for the
// file "go", so that a group of children starts at the same moment.
TEST(SingleInstanceChild, DISABLED_ChildStart) {
    const QString folder = qEnvironmentVariable("TAPESTRIX_SI_FOLDER");
    const QString mode = qEnvironmentVariable("TAPESTRIX_SI_MODE");
    ASSERT_FALSE(folder.isEmpty());
    while (!QFile::exists(folder + QStringLiteral("/../go")))
        QThread::usleep(500);
    TSingleInstance instance(folder);
    const Start result = instance.Start(20000);
    if (result != Start::Primary) {
        printf("RESULT %s\n", result == Start::Forwarded ? "forwarded" : "failed");
        return;
    }
    ASSERT_TRUE(instance.Listen()) << instance.Error().toStdString();
    if (mode == QStringLiteral("crash")) {
        printf("RESULT listening\n");
        fflush(stdout);
        std::_Exit(9); // no destructors: lock file and socket stay behind
    }
    int restores = 0;
    instance.SetRequestHandler([&restores](TSingleInstance::TRequest) { ++restores; });
    pumpUntil([&] { return QFile::exists(folder + QStringLiteral("/../stop")); }, 60000);
    printf("RESULT primary %d\n", restores);
}

TEST_F(SingleInstance, SecondStartIsAnsweredOnlyAfterTheRestoreWasHandled) {
    TSingleInstance first(FFolder);
    ASSERT_EQ(first.Start(), Start::Primary);
    ASSERT_TRUE(first.Listen()) << first.Error().toStdString();
    std::atomic<int> restores{0};
    std::atomic<bool> answeredEarly{false};
    auto second = startOnThread(FFolder);
    first.SetRequestHandler([&](TSingleInstance::TRequest) {
        // The second start is still waiting while the handler runs.
        QThread::msleep(200);
        if (restores == 0)
            answeredEarly = ready(second);
        ++restores;
    });
    ASSERT_TRUE(pumpUntil([&] { return ready(second); }));
    EXPECT_EQ(second.get(), Start::Forwarded);
    EXPECT_EQ(restores.load(), 1);
    EXPECT_FALSE(answeredEarly.load());
    EXPECT_TRUE(first.IsPrimary());

    // A third start is served the same way.
    auto third = startOnThread(FFolder);
    ASSERT_TRUE(pumpUntil([&] { return ready(third); }));
    EXPECT_EQ(third.get(), Start::Forwarded);
    EXPECT_EQ(restores.load(), 2);
}

TEST_F(SingleInstance, EveryRequestReachesTheHandlerWithItsKind) {
    TSingleInstance first(FFolder);
    ASSERT_EQ(first.Start(), Start::Primary);
    ASSERT_TRUE(first.Listen());
    std::vector<Request> handled;
    first.SetRequestHandler([&](Request request) { handled.push_back(request); });
    auto changeNow = startOnThread(FFolder, 10000, 10000, Request::ChangeNow);
    ASSERT_TRUE(pumpUntil([&] { return ready(changeNow); }));
    EXPECT_EQ(changeNow.get(), Start::Forwarded);
    auto restore = startOnThread(FFolder, 10000, 10000, Request::Restore);
    ASSERT_TRUE(pumpUntil([&] { return ready(restore); }));
    EXPECT_EQ(restore.get(), Start::Forwarded);
    // The line every second start of an earlier version writes is still the restore request;
    // an unknown kind is refused.
    for (const auto& [line, answer] : {std::pair<QByteArray, QByteArray>{"restore\n", "ok\n"},
                                       {"change-now\n", "ok\n"},
                                       {"change-later\n", ""}}) {
        auto exchanged =
            std::async(std::launch::async, [&] { return exchange(first.SocketPath(), line); });
        ASSERT_TRUE(pumpUntil([&] { return ready(exchanged); }));
        EXPECT_EQ(exchanged.get(), answer) << line.constData();
    }
    EXPECT_EQ(handled, (std::vector<Request>{Request::ChangeNow, Request::Restore, Request::Restore,
                                             Request::ChangeNow}));
}

TEST_F(SingleInstance, RequestsWaitUntilTheRunningInstanceSetsItsHandler) {
    TSingleInstance first(FFolder);
    ASSERT_EQ(first.Start(), Start::Primary);
    // A second start while the running instance is still creating its windows: not listening
    // yet, then listening without a handler.
    auto second = startOnThread(FFolder);
    pumpUntil([] { return false; }, 300);
    EXPECT_FALSE(ready(second));
    ASSERT_TRUE(first.Listen());
    pumpUntil([] { return false; }, 300);
    EXPECT_FALSE(ready(second));
    int restores = 0;
    first.SetRequestHandler([&](TSingleInstance::TRequest) { ++restores; });
    ASSERT_TRUE(pumpUntil([&] { return ready(second); }));
    EXPECT_EQ(second.get(), Start::Forwarded);
    EXPECT_EQ(restores, 1);
}

TEST_F(SingleInstance, WaitingStartTakesOverWhenTheRunningInstanceEndsWithoutAnswering) {
    auto first = std::make_unique<TSingleInstance>(FFolder);
    ASSERT_EQ(first->Start(), Start::Primary);
    ASSERT_TRUE(first->Listen());
    auto second = startOnThread(FFolder);
    pumpUntil([] { return false; }, 300); // connected, waiting for the answer
    EXPECT_FALSE(ready(second));
    first.reset(); // ends (for instance an automatic start that exits) without a handler
    ASSERT_TRUE(pumpUntil([&] { return ready(second); }));
    EXPECT_EQ(second.get(), Start::Primary);
}

TEST_F(SingleInstance, StartGivesUpWhenTheRunningInstanceNeverListens) {
    TSingleInstance first(FFolder);
    ASSERT_EQ(first.Start(), Start::Primary);
    auto second = startOnThread(FFolder, 500);
    ASSERT_TRUE(pumpUntil([&] { return ready(second); }, 5000));
    EXPECT_EQ(second.get(), Start::NoAnswer);
}

TEST_F(SingleInstance, StartGivesUpWhenTheRunningInstanceNeverAnswers) {
    TSingleInstance first(FFolder);
    ASSERT_EQ(first.Start(), Start::Primary);
    ASSERT_TRUE(first.Listen()); // but no handler: the request is never answered
    auto second = startOnThread(FFolder, 10000, 400);
    ASSERT_TRUE(pumpUntil([&] { return ready(second); }, 5000));
    EXPECT_EQ(second.get(), Start::NoAnswer);
    EXPECT_TRUE(first.IsPrimary());
}

TEST_F(SingleInstance, LockAndSocketOfACrashedInstanceAreTakenOver) {
    QFile(FDir.path() + QStringLiteral("/go")).open(QIODevice::WriteOnly);
    std::unique_ptr<QProcess> crashed(startChild(FFolder, QStringLiteral("crash"), nullptr));
    ASSERT_TRUE(crashed->waitForFinished(30000));
    ASSERT_EQ(resultOf(crashed.get()), QStringLiteral("listening"));
    EXPECT_EQ(crashed->exitCode(), 9);
    TSingleInstance probe(FFolder);
    ASSERT_TRUE(QFile::exists(probe.LockPath()));
    ASSERT_TRUE(QFile::exists(probe.SocketPath()));
    EXPECT_EQ(TSingleInstance::SendRequest(probe.SocketPath(), 1000),
              TSingleInstance::TSendResult::NotConnected);

    TSingleInstance next(FFolder);
    ASSERT_EQ(next.Start(3000), Start::Primary);
    ASSERT_TRUE(next.Listen()) << next.Error().toStdString();
    int restores = 0;
    next.SetRequestHandler([&](TSingleInstance::TRequest) { ++restores; });
    auto second = startOnThread(FFolder);
    ASSERT_TRUE(pumpUntil([&] { return ready(second); }));
    EXPECT_EQ(second.get(), Start::Forwarded);
    EXPECT_EQ(restores, 1);
}

TEST_F(SingleInstance, ACleanEndLeavesNeitherLockNorSocket) {
    QString lock, socket;
    {
        TSingleInstance first(FFolder);
        ASSERT_EQ(first.Start(), Start::Primary);
        ASSERT_TRUE(first.Listen());
        lock = first.LockPath();
        socket = first.SocketPath();
        EXPECT_TRUE(QFile::exists(lock));
        EXPECT_TRUE(QFile::exists(socket));
        EXPECT_EQ(modeOf(socket) & 077, 0u) << "socket open to others";
    }
    EXPECT_FALSE(QFile::exists(lock));
    EXPECT_FALSE(QFile::exists(socket));
}

TEST_F(SingleInstance, SimultaneousStartsLeaveExactlyOneInstance) {
    constexpr int kStarts = 8;
    QObject owner;
    std::vector<QProcess*> children;
    for (int i = 0; i < kStarts; ++i)
        children.push_back(startChild(FFolder, QStringLiteral("start"), &owner));
    for (QProcess* child : children)
        ASSERT_TRUE(child->waitForStarted(10000));
    QThread::msleep(300); // every child is waiting for "go"
    QFile(FDir.path() + QStringLiteral("/go")).open(QIODevice::WriteOnly);
    // Every start but the running instance ends by itself.
    auto finished = [&] {
        int n = 0;
        for (QProcess* child : children)
            n += child->state() == QProcess::NotRunning;
        return n;
    };
    ASSERT_TRUE(pumpUntil([&] { return finished() >= kStarts - 1; }, 60000));
    QFile(FDir.path() + QStringLiteral("/stop")).open(QIODevice::WriteOnly);
    ASSERT_TRUE(pumpUntil([&] { return finished() == kStarts; }, 30000));
    int primaries = 0, forwarded = 0;
    for (QProcess* child : children) {
        const QString result = resultOf(child);
        if (result.startsWith(QStringLiteral("primary "))) {
            ++primaries;
            EXPECT_EQ(result, QStringLiteral("primary %1").arg(kStarts - 1));
        } else {
            EXPECT_EQ(result, QStringLiteral("forwarded"));
            ++forwarded;
        }
    }
    EXPECT_EQ(primaries, 1);
    EXPECT_EQ(forwarded, kStarts - 1);
}

TEST_F(SingleInstance, ForeignConnectionsAndGarbageDoNotBlockTheNextStart) {
    TSingleInstance first(FFolder);
    ASSERT_EQ(first.Start(), Start::Primary);
    ASSERT_TRUE(first.Listen());
    int restores = 0;
    first.SetRequestHandler([&](TSingleInstance::TRequest) { ++restores; });
    // A client that sends something else is dropped without a restore.
    const int fd = connectTo(first.SocketPath());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "hello\n", 6), 6);
    pumpUntil([] { return false; }, 200);
    char c;
    EXPECT_EQ(::read(fd, &c, 1), 0) << "connection closed without an answer";
    ::close(fd);
    EXPECT_EQ(restores, 0);
    auto second = startOnThread(FFolder);
    ASSERT_TRUE(pumpUntil([&] { return ready(second); }));
    EXPECT_EQ(second.get(), Start::Forwarded);
    EXPECT_EQ(restores, 1);
}

TEST_F(SingleInstance, AnotherUserCanNeitherConnectNorTakeTheNames) {
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    TSingleInstance first(FFolder);
    ASSERT_EQ(first.Start(), Start::Primary);
    ASSERT_TRUE(first.Listen());
    const QByteArray socketPath = QFile::encodeName(first.SocketPath());
    const QByteArray lockPath = QFile::encodeName(first.LockPath());
    const QByteArray otherName = QFile::encodeName(FFolder + QStringLiteral("/tapestrix.other"));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Only system calls here: the parent has threads.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            ::_exit(11);
        if (::open(lockPath.constData(), O_RDWR) >= 0)
            ::_exit(12);
        if (::open(otherName.constData(), O_CREAT | O_RDWR, 0600) >= 0)
            ::_exit(13);
        if (::unlink(socketPath.constData()) == 0)
            ::_exit(14);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid, 11 connected, 12 opened the lock, "
                                         "13 created a name, 14 removed the socket";
}

// ---------------------------------------------------------------------------------------------
// The folder.

class InstanceFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "HOME"})
            FSaved.emplace_back(name, qgetenv(name));
        FTmp = FDir.path() + QStringLiteral("/tmp");
        QDir().mkpath(FTmp);
        qputenv("TMPDIR", QFile::encodeName(FTmp));
        qputenv("HOME", QFile::encodeName(FDir.path() + QStringLiteral("/home")));
    }
    void TearDown() override {
        for (const auto& [name, value] : FSaved) {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value);
        }
    }
    QString fallback() const { return FTmp + QStringLiteral("/tapestrix-%1").arg(::getuid()); }
    QString makeFolder(const char* name, mode_t mode) {
        const QString path = FDir.path() + QLatin1Char('/') + QLatin1String(name);
        QDir().mkpath(path);
        ::chmod(QFile::encodeName(path).constData(), mode);
        return path;
    }

    QTemporaryDir FDir;
    QString FTmp;
    std::vector<std::pair<const char*, QByteArray>> FSaved;
};

TEST_F(InstanceFolder, RuntimeFolderOfTheUserIsUsedWhenPrivate) {
    const QString runtime = makeFolder("runtime", 0700);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime + QStringLiteral("/")));
    EXPECT_EQ(instanceRuntimeFolder(), runtime);
}

TEST_F(InstanceFolder, RuntimeFolderOpenToOthersOrMissingFallsBackToAPrivateTemporaryFolder) {
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(makeFolder("open", 0755)));
    EXPECT_EQ(instanceRuntimeFolder(), fallback());
    EXPECT_EQ(modeOf(fallback()), mode_t(0700));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(FDir.path() + QStringLiteral("/missing")));
    EXPECT_EQ(instanceRuntimeFolder(), fallback());
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(instanceRuntimeFolder(), fallback());
    qputenv("XDG_RUNTIME_DIR", "relative");
    EXPECT_EQ(instanceRuntimeFolder(), fallback());
}

TEST_F(InstanceFolder, OwnFallbackOpenToOthersIsClosedAgain) {
    qunsetenv("XDG_RUNTIME_DIR");
    QDir().mkpath(fallback());
    ::chmod(QFile::encodeName(fallback()).constData(), 0777);
    EXPECT_EQ(instanceRuntimeFolder(), fallback());
    EXPECT_EQ(modeOf(fallback()), mode_t(0700));
}

TEST_F(InstanceFolder, PlantedSymbolicLinkIsRefusedAndTheHomeCacheUsed) {
    qunsetenv("XDG_RUNTIME_DIR");
    const QString target = makeFolder("elsewhere", 0700);
    ASSERT_TRUE(QFile::link(target, fallback()));
    const QString home = FDir.path() + QStringLiteral("/home/.cache/tapestrix-runtime");
    EXPECT_EQ(instanceRuntimeFolder(), home);
    EXPECT_EQ(modeOf(home), mode_t(0700));
}

TEST_F(InstanceFolder, FoldersOfAnotherUserAreRefused) {
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to give a folder to another user";
    const QString runtime = makeFolder("theirs", 0700);
    ASSERT_EQ(::chown(QFile::encodeName(runtime).constData(), 65534, 65534), 0);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    // The fallback in the temporary folder was created by someone else first.
    QDir().mkpath(fallback());
    ASSERT_EQ(::chown(QFile::encodeName(fallback()).constData(), 65534, 65534), 0);
    ::chmod(QFile::encodeName(fallback()).constData(), 0700);
    EXPECT_EQ(instanceRuntimeFolder(),
              FDir.path() + QStringLiteral("/home/.cache/tapestrix-runtime"));
}

TEST_F(InstanceFolder, NoUsableFolderIsReportedAndStartSaysSo) {
    qputenv("XDG_RUNTIME_DIR",
            QFile::encodeName(QStringLiteral("/") + QString(120, QLatin1Char('x'))));
    const QString longTmp = FDir.path() + QLatin1Char('/') + QString(110, QLatin1Char('t'));
    QDir().mkpath(longTmp);
    qputenv("TMPDIR", QFile::encodeName(longTmp));
    qputenv("HOME", QFile::encodeName(FDir.path() + QStringLiteral("/file")));
    QFile(FDir.path() + QStringLiteral("/file")).open(QIODevice::WriteOnly); // not a folder
    QString error;
    EXPECT_EQ(instanceRuntimeFolder(&error), QString());
    EXPECT_TRUE(error.contains(QStringLiteral("too long"))) << error.toStdString();
    TSingleInstance instance;
    EXPECT_EQ(instance.Start(100), Start::Unavailable);
    EXPECT_FALSE(instance.Error().isEmpty());
}
