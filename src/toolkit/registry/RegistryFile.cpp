// The registry file on disk: cached loads, atomic saves, the folder lock and held changes.
#include "toolkit/registry/RegistryFile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kLockWaitMs = 10000;
constexpr int kCachedFiles = 8;
constexpr int kMaxLinks = 40; // as the kernel's limit on links followed in one path

std::atomic<int> gParses{0};
std::atomic<int> gWrites{0};

QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

QString Shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

QString ErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString FolderOf(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Holds an exclusive lock on a folder while the files in it are read and rewritten. The lock
// is the folder's own (flock on the open folder), so no lock file is left behind or synced.
class FolderLock {
public:
    explicit FolderLock(const QString& dir)
        : FFd(::open(Native(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (FFd < 0)
            return;
        QDeadlineTimer deadline(kLockWaitMs);
        while (::flock(FFd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired()) {
                ::close(FFd);
                FFd = -1;
                return;
            }
            QThread::msleep(5);
        }
    }
    ~FolderLock() {
        if (FFd >= 0)
            ::close(FFd); // closing releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool Locked() const { return FFd >= 0; }

private:
    int FFd;
};

// The new file written beside target is ".<name>.XXXXXX".
QString TemporaryPrefix(const QString& target) {
    return QStringLiteral(".") + target.mid(target.lastIndexOf(QLatin1Char('/')) + 1) +
           QLatin1Char('.');
}
constexpr int kTemporarySuffix = 6;

// Removes the new files that writers of target left behind when they were killed. Only under
// the folder's lock, which every writer holds while its new file exists.
void RemoveStaleTemporaries(const QString& target) {
    const QString dir = FolderOf(target);
    const QString prefix = TemporaryPrefix(target);
    const QStringList entries = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& entry : entries) {
        if (entry.startsWith(prefix) && entry.size() == prefix.size() + kTemporarySuffix)
            ::unlink(Native(dir + QLatin1Char('/') + entry).constData());
    }
}

// Writes content to a new file beside target and renames it over target. On success the new
// file is left open in *fd.
bool WriteAndRename(const QString& target, const QByteArray& content, int* fd, QString* why) {
    const QString dir = FolderOf(target);
    QByteArray temp = Native(dir + QLatin1Char('/') + TemporaryPrefix(target) +
                             QString(kTemporarySuffix, QLatin1Char('X')));
    *fd = ::mkostemp(temp.data(), O_CLOEXEC);
    int error = *fd < 0 ? errno : 0;
    if (error == 0) {
        struct stat old {};
        const bool replaces =
            ::lstat(Native(target).constData(), &old) == 0 && S_ISREG(old.st_mode);
        if (::fchmod(*fd, replaces ? old.st_mode & 07777 : 0600) != 0)
            error = errno;
    }
    for (qsizetype done = 0; error == 0 && done < content.size();) {
        const ssize_t n = ::write(*fd, content.constData() + done, size_t(content.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0)
            error = ENOSPC;
        else if (errno != EINTR)
            error = errno; // a disk that is full, a size limit
    }
    if (error == 0 && ::fsync(*fd) != 0)
        error = errno;
    if (error == 0 && ::rename(temp.constData(), Native(target).constData()) != 0)
        error = errno;
    if (error != 0) {
        if (*fd >= 0) {
            ::close(*fd);
            ::unlink(temp.constData());
        }
        *fd = -1;
        if (why)
            *why =
                QStringLiteral("%1 could not be written (%2)").arg(Shown(target), ErrorText(error));
        return false;
    }
    SyncFolder(dir);
    ++gWrites;
    return true;
}

std::shared_ptr<const TRegFileSnapshot> EmptySnapshot() {
    return std::make_shared<const TRegFileSnapshot>();
}

} // namespace

// The snapshots of the files read or written last, found again by the identity of the file.
class TRegFileCache {
public:
    static std::shared_ptr<const TRegFileSnapshot> Find(const QString& path) {
        const std::lock_guard<std::mutex> lock(FMutex);
        for (const auto& [cachedPath, snapshot] : FEntries) {
            if (cachedPath == path)
                return snapshot;
        }
        return nullptr;
    }

    static void Store(const QString& path, std::shared_ptr<const TRegFileSnapshot> snapshot) {
        const std::lock_guard<std::mutex> lock(FMutex);
        FEntries.remove_if([&path](const auto& entry) { return entry.first == path; });
        FEntries.emplace_front(path, std::move(snapshot));
        if (FEntries.size() > size_t(kCachedFiles))
            FEntries.pop_back();
    }

    static bool Matches(const TRegFileSnapshot& snapshot, const struct stat& info) {
        return snapshot.FFd >= 0 && snapshot.FDevice == info.st_dev &&
               snapshot.FInode == info.st_ino && snapshot.FSize == info.st_size &&
               SameTime(snapshot.FModified, info.st_mtim) &&
               SameTime(snapshot.FChanged, info.st_ctim);
    }

    // The snapshot keeps fd, the open file, from now on.
    static void Identify(TRegFileSnapshot& snapshot, int fd, const struct stat& info) {
        snapshot.FFd = fd;
        snapshot.FDevice = info.st_dev;
        snapshot.FInode = info.st_ino;
        snapshot.FSize = info.st_size;
        snapshot.FModified = info.st_mtim;
        snapshot.FChanged = info.st_ctim;
    }

    // Reads the file as it is now. Its text is parsed unless it is the one already cached.
    static std::shared_ptr<const TRegFileSnapshot> Read(const QString& path, QString* why) {
        auto fail = [&](const QString& reason) {
            if (why)
                *why = QStringLiteral("%1 cannot be read: %2").arg(Shown(path), reason);
            return nullptr;
        };
        // Not blocking: a FIFO or a device in the file's place must not stop the program.
        const int fd =
            ::open(Native(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0)
            return errno == ENOENT ? EmptySnapshot() : fail(ErrorText(errno));
        auto snapshot = std::make_shared<TRegFileSnapshot>();
        struct stat info {};
        const int statError = ::fstat(fd, &info) != 0 ? errno : 0;
        Identify(*snapshot, fd, info); // closed with the snapshot from here on
        if (statError != 0)
            return fail(ErrorText(statError));
        if (!S_ISREG(info.st_mode))
            return fail(QStringLiteral("not a regular file"));
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                snapshot->Raw.append(buffer, n);
            else if (n == 0)
                break;
            else if (errno != EINTR)
                return fail(ErrorText(errno));
        }
        const auto cached = Find(path);
        if (cached && cached->Raw == snapshot->Raw) {
            snapshot->Data = cached->Data;
        } else {
            snapshot->Data = ParseRegFile(snapshot->Raw);
            ++gParses;
        }
        Store(path, snapshot);
        return snapshot;
    }

private:
    static inline std::mutex FMutex;
    static inline std::list<std::pair<QString, std::shared_ptr<const TRegFileSnapshot>>> FEntries;
};

TRegFileSnapshot::~TRegFileSnapshot() {
    if (FFd >= 0)
        ::close(FFd);
}

void TRegFileEdit::ApplyTo(TRegFileData& data) const {
    switch (What) {
    case Kind::SetValue:
        data.Sections[Section][Name] = Value;
        break;
    case Kind::DeleteValue: {
        const auto section = data.Sections.find(Section);
        if (section != data.Sections.end())
            section->remove(Name);
        break;
    }
    case Kind::AddSection:
        if (!data.HasSection(Section))
            data.Sections[Section];
        break;
    case Kind::DeleteTree:
        data.RemoveTree(Section);
        break;
    }
}

std::shared_ptr<const TRegFileSnapshot> LoadRegFile(const QString& path, QString* why) {
    struct stat info {};
    if (::stat(Native(path).constData(), &info) != 0)
        return EmptySnapshot(); // missing, or nothing this user can see
    const auto cached = TRegFileCache::Find(path);
    if (cached && TRegFileCache::Matches(*cached, info))
        return cached;
    return TRegFileCache::Read(path, why);
}

QString RegFileTarget(const QString& path) {
    QString current = path;
    for (int hops = 0; hops < kMaxLinks; ++hops) {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink(Native(current).constData(), buffer, sizeof buffer);
        if (n < 0 || size_t(n) >= sizeof buffer)
            break; // not a link (or a missing file): the end
        const QString link = QFile::decodeName(QByteArray(buffer, n));
        current =
            link.startsWith(QLatin1Char('/')) ? link : FolderOf(current) + QLatin1Char('/') + link;
    }
    return current;
}

bool SaveFileAtomically(const QString& path, const QByteArray& content, TLinkPolicy links,
                        QString* why) {
    int fd = -1;
    if (!WriteAndRename(links == TLinkPolicy::WriteTarget ? RegFileTarget(path) : path, content,
                        &fd, why))
        return false;
    ::close(fd);
    return true;
}

void SyncFolder(const QString& dir) {
    const int fd = ::open(Native(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

TRegCommit CommitRegFileEdits(const QString& path, const QString& lockDir,
                              const std::vector<TRegFileEdit>& edits, QString* why,
                              std::shared_ptr<const TRegFileSnapshot>* result) {
    auto applied = [&edits](const TRegFileData& data) {
        TRegFileData changed = data;
        for (const TRegFileEdit& edit : edits)
            edit.ApplyTo(changed);
        return changed;
    };
    std::shared_ptr<const TRegFileSnapshot> current = LoadRegFile(path, why);
    if (!current)
        return TRegCommit::CannotRead;
    // Most saves write what is already there: answer those without the lock and the disk.
    if (!current->Data.Damaged && applied(current->Data) == current->Data) {
        if (result)
            *result = current;
        return TRegCommit::Done;
    }
    const FolderLock lock(lockDir);
    if (!lock.Locked()) {
        if (why)
            *why = QStringLiteral("%1 is locked by another program").arg(Shown(lockDir));
        return TRegCommit::Locked;
    }
    current = TRegFileCache::Read(path, why); // as it is now, under the lock
    if (!current)
        return TRegCommit::CannotRead;
    auto written = std::make_shared<TRegFileSnapshot>();
    written->Data = applied(current->Data);
    if (!current->Data.Damaged && written->Data == current->Data) {
        if (result)
            *result = current;
        return TRegCommit::Done;
    }
    if (current->Data.Damaged && !SaveFileAtomically(path + QLatin1String(".corrupt"), current->Raw,
                                                     TLinkPolicy::ReplaceLink, why))
        return TRegCommit::CannotWrite;
    written->Data.Damaged = false;
    written->Raw = SerializeRegFile(written->Data);
    const QString target = RegFileTarget(path);
    RemoveStaleTemporaries(target);
    int fd = -1;
    if (!WriteAndRename(target, written->Raw, &fd, why))
        return TRegCommit::CannotWrite;
    // What was written is what reading it would give: no need to parse it again.
    struct stat info {};
    ::fstat(fd, &info);
    TRegFileCache::Identify(*written, fd, info);
    TRegFileCache::Store(path, written);
    if (result)
        *result = written;
    return TRegCommit::Done;
}

TRegFileBatch::TRegFileBatch(const QString& path, const QString& lockDir)
    : FPath(path), FLockDir(lockDir) {
    if (const auto snapshot = LoadRegFile(path, nullptr))
        FView = snapshot->Data;
}

void TRegFileBatch::Apply(const TRegFileEdit& edit) {
    edit.ApplyTo(FView);
    FEdits.push_back(edit);
}

TRegCommit TRegFileBatch::Commit(QString* why) {
    if (FEdits.empty())
        return TRegCommit::Done;
    const std::vector<TRegFileEdit> edits = std::move(FEdits);
    FEdits.clear();
    std::shared_ptr<const TRegFileSnapshot> now;
    const TRegCommit rc = CommitRegFileEdits(FPath, FLockDir, edits, why, &now);
    if (rc != TRegCommit::Done)
        now = LoadRegFile(FPath, nullptr);
    FView = now ? now->Data : TRegFileData();
    return rc;
}

TRegFileStats RegFileStats() {
    return {gParses.load(), gWrites.load()};
}
