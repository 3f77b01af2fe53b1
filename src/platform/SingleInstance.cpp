#include "platform/SingleInstance.h"

#include "platform/UserFolders.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char kSocketName[] = "tapestrix.socket";
const char kLockName[] = "tapestrix.lock";
const QByteArray kAnswer = "ok\n";

// The request lines, one per kind.
QByteArray requestLine(TSingleInstance::TRequest request) {
    switch (request) {
    case TSingleInstance::TRequest::ChangeNow:
        return "change-now\n";
    case TSingleInstance::TRequest::Restore:
        break;
    }
    return "restore\n";
}

std::optional<TSingleInstance::TRequest> requestOfLine(const QByteArray& line) {
    for (const auto request :
         {TSingleInstance::TRequest::Restore, TSingleInstance::TRequest::ChangeNow})
        if (line == requestLine(request))
            return request;
    return std::nullopt;
}

// A connection that has not sent its request by then is dropped.
constexpr int kRequestTimeoutMs = 10000;

// Room for the socket's name in a socket address, terminating zero included.
constexpr size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

// Accepts `dir` as a folder private to this user. With `create` the folder is made (mode 0700)
// when missing, must not be a symbolic link, and loses any access for others it has; without,
// it must already be a folder of this user's that others cannot enter.
bool privateFolder(const QString& dir, bool create, QString* why) {
    const QByteArray path = QFile::encodeName(dir);
    if (create && ::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        *why = QStringLiteral("%1 cannot be created: %2")
                   .arg(dir, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    struct stat st {};
    if ((create ? ::lstat(path.constData(), &st) : ::stat(path.constData(), &st)) != 0) {
        *why = QStringLiteral("%1: %2").arg(dir, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = QStringLiteral("%1 is not a folder").arg(dir);
        return false;
    }
    if (st.st_uid != ::getuid()) {
        *why = QStringLiteral("%1 belongs to another user").arg(dir);
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        if (!create || ::chmod(path.constData(), 0700) != 0) {
            *why = QStringLiteral("%1 is open to other users").arg(dir);
            return false;
        }
    }
    if (QFile::encodeName(dir + QLatin1Char('/') + QLatin1String(kSocketName)).size() >
        qsizetype(kMaxSocketPath)) {
        *why = QStringLiteral("%1 is too long a path for a local socket").arg(dir);
        return false;
    }
    return true;
}

enum class TLockResult { Taken, Held, Failed };

// Takes the lock file at `path`: opens (or creates) it and locks it without waiting. The lock
// belongs to the open file, so it is always the file now at `path` that gets locked: a file
// removed meanwhile by the instance that ended is given up and the new one tried. On success the
// file holds this process's number, program name and host name, one a line (for people).
TLockResult takeLockFile(const QByteArray& path, int* fd, QString* why) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int f = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (f < 0) {
            // A symbolic link in the lock's place names no instance either.
            if (errno == ELOOP && ::unlink(path.constData()) == 0)
                continue;
            if (errno == EINTR)
                continue;
            *why = QString::fromLocal8Bit(strerror(errno));
            return TLockResult::Failed;
        }
        if (::flock(f, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(f);
            if (error == EWOULDBLOCK)
                return TLockResult::Held;
            if (error == EINTR)
                continue;
            *why = QString::fromLocal8Bit(strerror(error));
            return TLockResult::Failed;
        }
        struct stat locked {
        }, named{};
        if (::fstat(f, &locked) != 0 || ::lstat(path.constData(), &named) != 0 ||
            locked.st_dev != named.st_dev || locked.st_ino != named.st_ino) {
            ::close(f);
            continue;
        }
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        const QByteArray text = QByteArray::number(qint64(::getpid())) + '\n' +
                                QByteArray(program_invocation_short_name) + '\n' +
                                QByteArray(host) + '\n';
        if (::ftruncate(f, 0) != 0 || ::pwrite(f, text.constData(), size_t(text.size()), 0) < 0) {
            // The lock holds all the same; the text is only for people.
        }
        *fd = f;
        return TLockResult::Taken;
    }
    *why = QStringLiteral("it keeps being replaced");
    return TLockResult::Failed;
}

// Removes the lock file while it is still locked, then gives the lock up: whoever waits for the
// lock finds the file gone and makes a new one.
void releaseLockFile(const QByteArray& path, int* fd) {
    if (*fd < 0)
        return;
    ::unlink(path.constData());
    ::close(*fd);
    *fd = -1;
}

bool peerIsThisUser(qintptr descriptor) {
    ucred cred{};
    socklen_t size = sizeof cred;
    return ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 &&
           cred.uid == ::getuid();
}

} // namespace

QString instanceRuntimeFolder(QString* error) {
    QStringList reasons;
    QString why;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime)) {
        if (privateFolder(QDir::cleanPath(runtime), false, &why))
            return QDir::cleanPath(runtime);
        reasons << why;
    }
    QString tmp = qEnvironmentVariable("TMPDIR");
    if (tmp.isEmpty() || !QDir::isAbsolutePath(tmp))
        tmp = QStringLiteral("/tmp");
    const QString inTmp =
        QDir::cleanPath(tmp) + QStringLiteral("/tapestrix-%1").arg(qulonglong(::getuid()));
    if (privateFolder(inTmp, true, &why))
        return inTmp;
    reasons << why;
    if (const QString home = homeFolder(); !home.isEmpty()) {
        const QString cache = home + QStringLiteral("/.cache");
        QDir().mkpath(cache);
        const QString inCache = cache + QStringLiteral("/tapestrix-runtime");
        if (privateFolder(inCache, true, &why))
            return inCache;
        reasons << why;
    }
    if (error)
        *error = QStringLiteral("No private folder for the instance lock: ") +
                 reasons.join(QStringLiteral("; "));
    return QString();
}

TSingleInstance::TSingleInstance(const QString& folder, QObject* parent)
    : QObject(parent), FFolder(folder) {}

TSingleInstance::~TSingleInstance() {
    // The socket goes before the lock, so that whoever takes the lock next finds no server.
    if (FServer) {
        FServer->close();
        delete FServer;
        FServer = nullptr;
    }
    releaseLockFile(QFile::encodeName(LockPath()), &FLockFd);
}

QString TSingleInstance::SocketPath() const {
    return FFolder + QLatin1Char('/') + QLatin1String(kSocketName);
}

QString TSingleInstance::LockPath() const {
    return FFolder + QLatin1Char('/') + QLatin1String(kLockName);
}

bool TSingleInstance::IsPrimary() const {
    return FLockFd >= 0;
}

TSingleInstance::TSendResult TSingleInstance::SendRequest(const QString& socketPath, int timeoutMs,
                                                          TRequest request) {
    const QByteArray line = requestLine(request);
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    if (size_t(path.size()) > kMaxSocketPath)
        return TSendResult::NotConnected;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return TSendResult::NotConnected;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return TSendResult::NotConnected;
    }
    TSendResult result = TSendResult::TimedOut;
    if (::send(fd, line.constData(), size_t(line.size()), MSG_NOSIGNAL) != ssize_t(line.size())) {
        result = TSendResult::Closed;
    } else {
        QDeadlineTimer deadline(timeoutMs);
        QByteArray answer;
        while (!answer.contains('\n')) {
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, int(deadline.remainingTime()));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break; // time is up
            char buffer[64];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                result = TSendResult::Closed;
                break;
            }
            answer.append(buffer, n);
        }
        if (answer.contains('\n'))
            result = answer.startsWith(kAnswer) ? TSendResult::Answered : TSendResult::Closed;
    }
    ::close(fd);
    return result;
}

TSingleInstance::TStartResult TSingleInstance::Start(int timeoutMs, int answerTimeoutMs,
                                                     TRequest request) {
    if (FFolder.isEmpty()) {
        FFolder = instanceRuntimeFolder(&FError);
        if (FFolder.isEmpty())
            return TStartResult::Unavailable;
    }
    if (IsPrimary())
        return TStartResult::Primary;
    const QByteArray lockPath = QFile::encodeName(LockPath());
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        QString why;
        switch (takeLockFile(lockPath, &FLockFd, &why)) {
        case TLockResult::Taken: {
            // Normally nobody listens now. One that does is an instance whose lock file was
            // deleted under it: it is still the running instance.
            const TSendResult sent = SendRequest(SocketPath(), answerTimeoutMs, request);
            if (sent == TSendResult::NotConnected || sent == TSendResult::Closed)
                return TStartResult::Primary;
            releaseLockFile(lockPath, &FLockFd);
            return sent == TSendResult::Answered ? TStartResult::Forwarded : TStartResult::NoAnswer;
        }
        case TLockResult::Failed:
            FError = QStringLiteral("The lock file %1 cannot be used: %2").arg(LockPath(), why);
            return TStartResult::Unavailable;
        case TLockResult::Held:
            break;
        }
        switch (SendRequest(SocketPath(), answerTimeoutMs, request)) {
        case TSendResult::Answered:
            return TStartResult::Forwarded;
        case TSendResult::TimedOut:
            return TStartResult::NoAnswer;
        case TSendResult::Closed:
            // The running instance is ending: try to take over.
        case TSendResult::NotConnected:
            // The holder is starting (not listening yet) or ending.
            break;
        }
        if (deadline.hasExpired())
            return TStartResult::NoAnswer;
        QThread::msleep(50);
    }
}

bool TSingleInstance::Listen() {
    if (!IsPrimary()) {
        FError = QStringLiteral("Listening needs the instance lock");
        return false;
    }
    if (FServer)
        return true;
    FServer = new QLocalServer(this);
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    // Whatever is left at the socket's path belongs to a dead instance: we hold the lock.
    QLocalServer::removeServer(SocketPath());
    if (!FServer->listen(SocketPath())) {
        FError =
            QStringLiteral("Cannot listen on %1: %2").arg(SocketPath(), FServer->errorString());
        delete FServer;
        FServer = nullptr;
        return false;
    }
    connect(FServer, &QLocalServer::newConnection, this, &TSingleInstance::Accept);
    return true;
}

void TSingleInstance::SetRequestHandler(std::function<void(TRequest)> handler) {
    FHandler = std::move(handler);
    ServePending();
}

void TSingleInstance::Accept() {
    while (QLocalSocket* socket = FServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!peerIsThisUser(socket->socketDescriptor())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { ReadRequest(socket); });
        QTimer::singleShot(kRequestTimeoutMs, socket, [socket] {
            if (!socket->property("tapestrixRequest").toBool())
                socket->abort();
        });
        ReadRequest(socket);
    }
}

void TSingleInstance::ReadRequest(QLocalSocket* socket) {
    if (socket->property("tapestrixRequest").toBool() || !socket->canReadLine()) {
        if (socket->bytesAvailable() > 256)
            socket->abort(); // not our client
        return;
    }
    const std::optional<TRequest> request = requestOfLine(socket->readLine(256));
    if (!request) {
        socket->abort();
        return;
    }
    socket->setProperty("tapestrixRequest", true);
    FPending.emplace_back(socket, *request);
    ServePending();
}

void TSingleInstance::ServePending() {
    // The handler may run a nested event loop; requests arriving meanwhile are served by the
    // outer call once it returns.
    if (FServing || !FHandler)
        return;
    FServing = true;
    while (!FPending.empty()) {
        const auto [socket, request] = FPending.front();
        FPending.erase(FPending.begin());
        // A second start that has given up waiting still asked for it.
        try {
            FHandler(request);
        } catch (...) {
            // The handler reports its own errors; the second start is answered regardless.
        }
        if (socket && socket->state() == QLocalSocket::ConnectedState) {
            socket->write(kAnswer);
            socket->flush();
            socket->disconnectFromServer();
        }
    }
    FServing = false;
}
