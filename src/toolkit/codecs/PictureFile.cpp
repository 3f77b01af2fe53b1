#include "toolkit/codecs/PictureFile.h"

#include "toolkit/SysUtils.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex gHookMutex;
std::function<void(const QString&)> gReadHook;

void RunReadHook(const QString& fileName) {
    std::function<void(const QString&)> hook;
    {
        std::lock_guard<std::mutex> lock(gHookMutex);
        hook = gReadHook;
    }
    if (hook)
        hook(fileName);
}

QString Shown(const QString& fileName) {
    return QDir::toNativeSeparators(fileName);
}

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// An open regular file, closed on every path.
class TPictureFileHandle {
public:
    explicit TPictureFileHandle(const QString& fileName) : FName(fileName) {
        RunReadHook(fileName);
        // O_NONBLOCK: opening a FIFO would otherwise wait for a writer.
        FFd = ::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (FFd < 0)
            throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2")
                                  .arg(Shown(fileName), ErrnoText(errno)));
        struct stat st {};
        if (::fstat(FFd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const int error = errno;
            ::close(FFd);
            throw EFOpenError(
                QStringLiteral("Cannot open file \"%1\". %2")
                    .arg(Shown(fileName), S_ISREG(st.st_mode)
                                              ? ErrnoText(error)
                                              : QStringLiteral("It is not a regular file")));
        }
        FSize = int64_t(st.st_size);
    }
    ~TPictureFileHandle() { ::close(FFd); }
    TPictureFileHandle(const TPictureFileHandle&) = delete;
    TPictureFileHandle& operator=(const TPictureFileHandle&) = delete;

    int64_t Size() const { return FSize; }

    // Up to `bytes` bytes from the start (fewer at the end of the file).
    QByteArray Read(int64_t bytes) {
        QByteArray data;
        data.resize(qsizetype(bytes));
        int64_t done = 0;
        while (done < bytes) {
            const ssize_t n = ::read(FFd, data.data() + done, size_t(bytes - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw EReadError(QStringLiteral("Cannot read file \"%1\". %2")
                                     .arg(Shown(FName), ErrnoText(errno)));
            if (n == 0)
                break;
            done += n;
        }
        data.resize(qsizetype(done));
        return data;
    }

private:
    QString FName;
    int FFd = -1;
    int64_t FSize = 0;
};

} // namespace

QByteArray ReadPictureFile(const QString& fileName, int64_t maxBytes) {
    TPictureFileHandle file(fileName);
    if (file.Size() > maxBytes)
        throw EOutOfResources(QStringLiteral("File \"%1\" is too large (%2 bytes)")
                                  .arg(Shown(fileName))
                                  .arg(file.Size()));
    // One byte more than the limit tells a file that grew past it while it was read.
    const QByteArray data =
        file.Read(std::min(maxBytes + 1, std::max<int64_t>(file.Size(), 0) + 1));
    if (data.size() > maxBytes)
        throw EOutOfResources(QStringLiteral("File \"%1\" is too large (more than %2 bytes)")
                                  .arg(Shown(fileName))
                                  .arg(maxBytes));
    return data;
}

QByteArray ReadPictureHead(const QString& fileName, int bytes) {
    TPictureFileHandle file(fileName);
    return file.Read(bytes);
}

void SetPictureReadHook(std::function<void(const QString& fileName)> hook) {
    std::lock_guard<std::mutex> lock(gHookMutex);
    gReadHook = std::move(hook);
}
