#include "platform/SingleInstance.h"

#include "platform/UserFolders.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLockFile>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <optional>
#include <poll.h>
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
    if (FLock)
        FLock->unlock();
}

QString TSingleInstance::SocketPath() const {
    return FFolder + QLatin1Char('/') + QLatin1String(kSocketName);
}

QString TSingleInstance::LockPath() const {
    return FFolder + QLatin1Char('/') + QLatin1String(kLockName);
}

bool TSingleInstance::IsPrimary() const {
    return FLock && FLock->isLocked();
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
    if (!FLock) {
        FLock = std::make_unique<QLockFile>(LockPath());
        // Never stale by age: only a holder that no longer runs gives the lock up.
        FLock->setStaleLockTime(0);
    }
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (FLock->tryLock(0)) {
            // Normally nobody listens now. One that does is an instance whose lock file was
            // deleted under it: it is still the running instance.
            const TSendResult sent = SendRequest(SocketPath(), answerTimeoutMs, request);
            if (sent == TSendResult::NotConnected || sent == TSendResult::Closed)
                return TStartResult::Primary;
            FLock->unlock();
            return sent == TSendResult::Answered ? TStartResult::Forwarded : TStartResult::NoAnswer;
        }
        if (FLock->error() != QLockFile::LockFailedError) {
            FError = QStringLiteral("The lock file %1 cannot be created").arg(LockPath());
            return TStartResult::Unavailable;
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
