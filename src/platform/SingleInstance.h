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
// Protocol: the second start writes "restore\n"; the running instance runs its restore handler
// and answers "ok\n". The lock is an advisory lock (flock) on the lock file, which the kernel
// releases when its holder ends however it ends: a lock file that no running process has locked
// names no running instance, whatever it holds (nothing, garbage, the number of a process that
// has ended or of another program), and is taken over, and the socket left behind with it. Of
// starts at the same moment exactly one takes the lock.
#pragma once

#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <vector>

class QLocalServer;

// The validated per-user folder for the lock and the socket (see above); empty with *error set
// when none can be had.
QString instanceRuntimeFolder(QString* error = nullptr);

class TSingleInstance : public QObject {
    Q_OBJECT
public:
    enum class TStartResult {
        Primary,     // this process holds the lock: it is the running instance
        Forwarded,   // another instance runs and has handled the restore request
        NoAnswer,    // another instance holds the lock but did not answer in time
        Unavailable, // no usable folder or lock file: see Error()
    };

    // folder empty: instanceRuntimeFolder().
    explicit TSingleInstance(const QString& folder = QString(), QObject* parent = nullptr);
    ~TSingleInstance() override;

    // Takes the lock, or hands the restore request to the instance that holds it and waits for
    // its answer. Blocking; needs no application object, so a second start sets nothing up.
    // timeoutMs bounds the time spent waiting for a running instance to accept the connection
    // (it may just be starting), answerTimeoutMs the wait for its answer once connected (it may
    // be busy, for instance finishing an automatic change before it exits).
    TStartResult Start(int timeoutMs = 20000, int answerTimeoutMs = 120000);

    // After Start gave Primary and the application object exists: listen on the socket, taking
    // over one left behind by a crashed instance. False with Error() set when it fails.
    bool Listen();

    // Runs on the GUI thread for every restore request. Requests that arrive before a handler is
    // set wait, unanswered, until it is set, so a second start never returns before the running
    // instance has shown itself.
    void SetRestoreHandler(std::function<void()> handler);

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
    // Client side alone: sends the restore request to the socket and waits for the answer.
    static TSendResult SendRestore(const QString& socketPath, int timeoutMs);

private:
    void Accept();
    void ReadRequest(QLocalSocket* socket);
    void ServePending();

    QString FFolder;
    QString FError;
    int FLockFd = -1; // the lock file, locked while this is the running instance
    QLocalServer* FServer = nullptr;
    std::function<void()> FHandler;
    std::vector<QPointer<QLocalSocket>> FPending;
    bool FServing = false;
};
