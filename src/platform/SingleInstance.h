// One running instance per user. The running instance holds a lock file for its whole life and
// listens on a local socket beside it, both in the user's runtime folder; a second start finds the
// lock taken, sends the restore request over the socket, waits until the running instance has
// handled it and then ends.
//
// Folder: $XDG_RUNTIME_DIR when it is a folder of this user's with no access for others;
// otherwise "tapestrix-<uid>" in $TMPDIR (or /tmp), then "tapestrix-runtime" in ~/.cache, each
// created with mode 0700 and accepted only when it belongs to this user and is no symbolic link.
// Another user can therefore neither reach the socket nor take the names; the server also checks
// every peer's user id.
//
// Protocol: the second start writes one request line, "restore\n" (show the running instance) or
// "change-now\n" (change the wallpaper now); the running instance runs its request handler and
// answers "ok\n". Any other line is refused by closing the connection. A lock whose holder has
// died is taken over, and the socket it left behind with it. Of starts at the same moment
// exactly one takes the lock.
#pragma once

#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QLocalServer;
class QLockFile;

// The validated per-user folder for the lock and the socket (see above); empty with *error set
// when none can be had.
QString instanceRuntimeFolder(QString* error = nullptr);

class TSingleInstance : public QObject {
    Q_OBJECT
public:
    // What a second start asks of the running instance.
    enum class TRequest {
        Restore,   // show the main window (what every second start asked before requests had kinds)
        ChangeNow, // change the wallpaper now, as the tray menu's command does
    };

    enum class TStartResult {
        Primary,     // this process holds the lock: it is the running instance
        Forwarded,   // another instance runs and has handled the restore request
        NoAnswer,    // another instance holds the lock but did not answer in time
        Unavailable, // no usable folder or lock file: see Error()
    };

    // folder empty: instanceRuntimeFolder().
    explicit TSingleInstance(const QString& folder = QString(), QObject* parent = nullptr);
    ~TSingleInstance() override;

    static constexpr int kConnectTimeoutMs = 20000;
    static constexpr int kAnswerTimeoutMs = 120000;

    // Takes the lock, or hands `request` to the instance that holds it and waits for its answer.
    // Blocking; needs no application object, so a second start sets nothing up. timeoutMs bounds
    // the time spent waiting for a running instance to accept the connection (it may just be
    // starting), answerTimeoutMs the wait for its answer once connected (it may be busy, for
    // instance finishing an automatic change before it exits).
    TStartResult Start(int timeoutMs = kConnectTimeoutMs, int answerTimeoutMs = kAnswerTimeoutMs,
                       TRequest request = TRequest::Restore);

    // After Start gave Primary and the application object exists: listen on the socket, taking
    // over one left behind by a crashed instance. False with Error() set when it fails.
    bool Listen();

    // Runs on the GUI thread for every request, one at a time. Requests that arrive before a
    // handler is set wait, unanswered, until it is set, so a second start never returns before
    // the running instance has done what it asked.
    void SetRequestHandler(std::function<void(TRequest)> handler);

    QString Error() const { return FError; }
    QString Folder() const { return FFolder; }
    QString SocketPath() const;
    QString LockPath() const;
    bool IsPrimary() const;

    enum class TSendResult {
        NotConnected, // no server accepts connections on the socket
        Answered,     // the server handled the request
        Closed,       // the server closed the connection without answering (it is ending)
        TimedOut,     // no answer within the time allowed
    };
    // Client side alone: sends `request` to the socket and waits for the answer.
    static TSendResult SendRequest(const QString& socketPath, int timeoutMs,
                                   TRequest request = TRequest::Restore);

private:
    void Accept();
    void ReadRequest(QLocalSocket* socket);
    void ServePending();

    QString FFolder;
    QString FError;
    std::unique_ptr<QLockFile> FLock;
    QLocalServer* FServer = nullptr;
    std::function<void(TRequest)> FHandler;
    std::vector<std::pair<QPointer<QLocalSocket>, TRequest>> FPending;
    bool FServing = false;
};
