#include "toolkit/codecs/SvgProcess.h"

#include "toolkit/codecs/PictureDecoder.h"
#include "toolkit/codecs/SvgProtocol.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace svgrender {
namespace {

using TClock = std::chrono::steady_clock;

// Processor time: a base for reading the document and a small drawing, and a second more for
// every two megapixels drawn (a detailed document takes about a third of a second a megapixel).
constexpr int kBaseCpuSeconds = 5;
constexpr int64_t kPixelsPerCpuSecond = int64_t(2) << 20;
// The renderer's wall-clock time: its processor time times this, plus a start-up allowance, so
// that a loaded machine does not end a drawing that is within its processor time.
constexpr int kWallFactor = 3;
constexpr auto kWallAllowance = std::chrono::seconds(2);
// The renderer's address space: a base for librsvg and its threads, and room for the drawing and
// intermediate surfaces of its size (groups with opacity, masks, filters).
constexpr int64_t kBaseMemory = int64_t(1) << 30;
constexpr int64_t kSurfacesPerDrawing = 16;
// Descriptors handed over are first moved at or above this, out of the way of 0 to 4.
constexpr int kHighFd = 10;

class TFd {
public:
    TFd() = default;
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd() { Reset(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    void Reset(int fd = -1) {
        if (FFd >= 0)
            ::close(FFd);
        FFd = fd;
    }

private:
    int FFd = -1;
};

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

[[noreturn]] void CannotRun(const QString& name, const QString& why) {
    throw EInvalidGraphic(QStringLiteral("SVG image \"%1\" cannot be drawn: %2")
                              .arg(QDir::toNativeSeparators(name), why));
}

// The descriptor moved at or above kHighFd, close-on-exec (the spawn hands it over explicitly).
int High(int fd) {
    if (fd < 0 || fd >= kHighFd)
        return fd;
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, kHighFd);
    const int error = errno;
    ::close(fd);
    errno = error;
    return high;
}

int NewMemoryFile(const char* name, unsigned flags) {
    return High(::memfd_create(name, MFD_CLOEXEC | flags));
}

// librsvg's messages without the XML parser's error numbers.
QString CleanMessage(QString why) {
    static const QRegularExpression numbers(QStringLiteral("Error domain \\d+ code \\d+ "));
    why.remove(numbers);
    return why.trimmed();
}

// Starts the renderer with its output on output, the source and the pixels (when >= 0) on their
// descriptors, nothing else open, and every signal at its default (the processor-time limit ends
// it with SIGXCPU whatever this program does with that signal).
pid_t Spawn(const QString& program, std::vector<std::string>& args, int output, int source,
            int pixels, const QString& name) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    // Library diagnostics go nowhere.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, source, kSourceFd);
    if (pixels >= 0)
        posix_spawn_file_actions_adddup2(&actions, pixels, kPixelsFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, kPixelsFd + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, QFile::encodeName(program).constData(), &actions,
                                      &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        CannotRun(name, QStringLiteral("the SVG renderer \"%1\" cannot be started (%2)")
                            .arg(QDir::toNativeSeparators(program), ErrnoText(spawned)));
    return pid;
}

// Reads the renderer's answer until it closes its output and waits for its end, killing it at
// the deadline. Returns true when it was killed for that.
bool Collect(pid_t pid, int reader, TClock::time_point deadline, QByteArray* answer, int* status) {
    bool late = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
        if (left.count() <= 0) {
            late = true;
            break;
        }
        pollfd wait{reader, POLLIN, 0};
        const int ready = ::poll(&wait, 1, int(std::min<int64_t>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char buffer[512];
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        if (answer->size() < 4096)
            answer->append(buffer, qsizetype(n));
    }
    if (late)
        ::kill(pid, SIGKILL);
    for (;;) {
        const pid_t done = ::waitpid(pid, status, late ? 0 : WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            break;
        // Its output closed, it has not ended yet.
        if (TClock::now() >= deadline) {
            late = true;
            ::kill(pid, SIGKILL);
        } else {
            ::usleep(1000);
        }
    }
    return late;
}

// Runs the renderer with the arguments after the limits and returns its answer line, or raises.
QString Run(const char* command, const std::vector<std::string>& arguments, const TSource& source,
            int pixelsFd, int64_t pixels, const QString& name, int cpuSeconds) {
    const QString program = RendererPath();
    const int64_t memory = kBaseMemory + kSurfacesPerDrawing * 4 * pixels;
    std::vector<std::string> args{kProgramName, command, std::to_string(cpuSeconds),
                                  std::to_string(memory)};
    args.insert(args.end(), arguments.begin(), arguments.end());
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        CannotRun(name, ErrnoText(errno));
    TFd reader(High(ends[0])), writer(High(ends[1]));
    if (reader.Get() < 0 || writer.Get() < 0)
        CannotRun(name, ErrnoText(errno));
    const pid_t pid = Spawn(program, args, writer.Get(), source.Fd(), pixelsFd, name);
    writer.Reset();
    QByteArray answer;
    int status = 0;
    const bool late =
        Collect(pid, reader.Get(),
                TClock::now() + std::chrono::seconds(kWallFactor * cpuSeconds) + kWallAllowance,
                &answer, &status);

    const QString seconds = QStringLiteral("%1 second%2")
                                .arg(cpuSeconds)
                                .arg(cpuSeconds == 1 ? QString() : QStringLiteral("s"));
    const QString doing =
        pixelsFd >= 0 ? QStringLiteral("drawing it") : QStringLiteral("reading it");
    if (late ||
        (WIFSIGNALED(status) && (WTERMSIG(status) == SIGXCPU || WTERMSIG(status) == SIGKILL)))
        ThrowInvalidPicture(
            "SVG", name, QStringLiteral("%1 takes longer than the %2 allowed").arg(doing, seconds));
    if (WIFSIGNALED(status))
        ThrowInvalidPicture(
            "SVG", name,
            QStringLiteral("%1 failed: the SVG renderer stopped with signal %2 (%3; it may need "
                           "more than the %4 MiB of memory allowed)")
                .arg(doing)
                .arg(WTERMSIG(status))
                .arg(QString::fromLocal8Bit(strsignal(WTERMSIG(status))))
                .arg(memory >> 20));
    const QString line = QString::fromUtf8(answer).trimmed();
    if (line.startsWith(QLatin1String("error ")))
        ThrowInvalidPicture("SVG", name, CleanMessage(line.mid(6)));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || line.isEmpty())
        CannotRun(name, QStringLiteral("the SVG renderer \"%1\" gave no answer (exit status %2)")
                            .arg(QDir::toNativeSeparators(program))
                            .arg(WIFEXITED(status) ? WEXITSTATUS(status) : -1));
    return line;
}

std::string Number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void Unmap(void* info) {
    const auto* mapping = static_cast<std::pair<void*, size_t>*>(info);
    ::munmap(mapping->first, mapping->second);
    delete mapping;
}

} // namespace

TSource::TSource(const QByteArray& text) {
    FFd = NewMemoryFile("tapestrix-svg", MFD_ALLOW_SEALING);
    if (FFd < 0)
        throw EOutOfResources(
            QStringLiteral("Cannot hold an SVG document: %1").arg(ErrnoText(errno)));
    qsizetype done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(FFd, text.constData() + done, size_t(text.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = errno;
            ::close(FFd);
            throw EOutOfResources(
                QStringLiteral("Cannot hold an SVG document: %1").arg(ErrnoText(error)));
        }
        done += n;
    }
    // Nothing changes it from here on, not even a renderer.
    ::fcntl(FFd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
}

TSource::~TSource() {
    if (FFd >= 0)
        ::close(FFd);
}

QString RendererPath() {
    const QString configured = qEnvironmentVariable("TAPESTRIX_SVG_RENDER");
    if (!configured.isEmpty())
        return configured;
    const QString name = QString::fromLatin1(kProgramName);
    const QDir here =
        QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absoluteDir();
    const QString beside = here.filePath(name);
    if (QFileInfo::exists(beside))
        return beside;
    // Installed: in the prefix's libexec folder (PREFIX/bin/tapestrix and
    // PREFIX/libexec/tapestrix/tapestrix-svg-render).
    const QString installed = QDir::cleanPath(
        here.filePath(QStringLiteral("../libexec/tapestrix/")) + QLatin1Char('/') + name);
    if (QFileInfo::exists(installed))
        return installed;
    // A test, benchmark or fuzz program in a build folder (build/tests, build/fuzz): the renderer
    // the build made beside the programs.
    if (QFileInfo::exists(here.filePath(QStringLiteral("../CMakeCache.txt"))))
        return QDir::cleanPath(here.filePath(QStringLiteral("../src/")) + QLatin1Char('/') + name);
    return beside;
}

int DefaultCpuSeconds(int64_t pixels) {
    return kBaseCpuSeconds + int(pixels / kPixelsPerCpuSecond);
}

TFrame Measure(const TSource& source, const QString& name, int cpuSeconds) {
    const QString line = Run("measure", {}, source, -1, 0, name, cpuSeconds);
    const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    TFrame frame;
    double* fields[] = {&frame.X,
                        &frame.Y,
                        &frame.Width,
                        &frame.Height,
                        &frame.ViewportWidth,
                        &frame.ViewportHeight};
    bool ok = parts.size() == 7 && parts[0] == QLatin1String("frame");
    for (int i = 0; ok && i < 6; ++i)
        *fields[i] = parts[i + 1].toDouble(&ok);
    if (!ok)
        CannotRun(name,
                  QStringLiteral("the SVG renderer's answer \"%1\" is not understood").arg(line));
    return frame;
}

QImage Render(const TSource& source, const TFrame& frame, QSize target, const QRect& part,
              const QString& name, int cpuSeconds) {
    const size_t bytes = size_t(part.width()) * size_t(part.height()) * 4;
    TFd pixels(NewMemoryFile("tapestrix-svg-pixels", 0));
    if (pixels.Get() < 0 || ::ftruncate(pixels.Get(), off_t(bytes)) != 0)
        throw EOutOfResources(QStringLiteral("SVG image \"%1\": cannot hold %2 x %3 pixels (%4)")
                                  .arg(QDir::toNativeSeparators(name))
                                  .arg(part.width())
                                  .arg(part.height())
                                  .arg(ErrnoText(errno)));
    const std::vector<std::string> arguments{Number(frame.X),
                                             Number(frame.Y),
                                             Number(frame.Width),
                                             Number(frame.Height),
                                             Number(frame.ViewportWidth),
                                             Number(frame.ViewportHeight),
                                             std::to_string(target.width()),
                                             std::to_string(target.height()),
                                             std::to_string(part.left()),
                                             std::to_string(part.top()),
                                             std::to_string(part.width()),
                                             std::to_string(part.height())};
    Run("render", arguments, source, pixels.Get(), int64_t(part.width()) * part.height(), name,
        cpuSeconds);
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, pixels.Get(), 0);
    if (data == MAP_FAILED)
        throw EOutOfResources(QStringLiteral("SVG image \"%1\": cannot map its pixels (%2)")
                                  .arg(QDir::toNativeSeparators(name), ErrnoText(errno)));
    return QImage(static_cast<uchar*>(data), part.width(), part.height(), part.width() * 4,
                  QImage::Format_ARGB32_Premultiplied, &Unmap,
                  new std::pair<void*, size_t>(data, bytes));
}

} // namespace svgrender
