// tapestrix-svg-render: measures or draws one SVG document with librsvg for the SVG picture (see
// SvgProtocol.h), in a process of its own so that a document that takes too long or too much
// memory ends this process and not the program. It reads the document from memory with no base
// file, so librsvg loads nothing the document refers to but data: URLs, and it cannot open
// network sockets or start programs.
#include "toolkit/codecs/SvgProtocol.h"

#include <librsvg/rsvg.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using namespace svgrender;

// Cairo takes surfaces of up to 32767 pixels a side, but draws gradients on one that large as
// nothing: tiles stay well below.
constexpr int64_t kTileSide = 16384;

[[noreturn]] void Fail(const std::string& why) {
    std::string line = "error " + why;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    line += '\n';
    (void)!write(1, line.data(), line.size());
    _exit(1);
}

[[noreturn]] void Fail(GError* error) {
    Fail(error && error->message ? error->message : "librsvg failed without saying why");
}

void Answer(const std::string& line) {
    const std::string text = line + '\n';
    if (write(1, text.data(), text.size()) != ssize_t(text.size()))
        _exit(1);
}

double Number(const char* text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value))
        Fail(std::string("bad argument ") + text);
    return value;
}

int64_t Integer(const char* text, int64_t low, int64_t high) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        Fail(std::string("bad argument ") + text);
    return value;
}

void Limit(int resource, rlim_t soft, rlim_t hard) {
    const rlimit limit{soft, hard};
    if (setrlimit(resource, &limit) != 0)
        Fail(std::string("cannot limit the renderer: ") + std::strerror(errno));
}

// No sockets and no programs from here on: whatever the document says, nothing can reach the
// network or run. Other architectures go without the filter (librsvg's own rules still hold).
void ForbidSocketsAndPrograms() {
#if defined(__x86_64__)
    constexpr uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr uint32_t arch = AUDIT_ARCH_AARCH64;
#else
    constexpr uint32_t arch = 0;
#endif
    if (arch == 0)
        return;
    constexpr uint32_t deny = SECCOMP_RET_ERRNO | EACCES;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#if defined(__x86_64__)
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1), // the x32 calls
        BPF_STMT(BPF_RET | BPF_K, deny),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execve, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execveat, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, deny),
    };
    const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0)
        Fail(std::string("cannot restrict the renderer: ") + std::strerror(errno));
}

// The descriptor's whole content mapped, or nullptr when it is empty.
void* MapWhole(int fd, int prot, size_t* size) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        Fail(std::string("no input: ") + std::strerror(errno));
    *size = size_t(st.st_size);
    if (*size == 0)
        return nullptr;
    void* data = mmap(nullptr, *size, prot, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED)
        Fail(std::string("cannot map the input: ") + std::strerror(errno));
    return data;
}

RsvgHandle* Load() {
    size_t size = 0;
    const void* data = MapWhole(kSourceFd, PROT_READ, &size);
    close(kSourceFd);
    if (size == 0)
        Fail("the file is empty");
    if (int64_t(size) > kMaxSvgBytes)
        Fail("the SVG text is too large");
    GInputStream* stream = g_memory_input_stream_new_from_data(data, gssize(size), nullptr);
    GError* error = nullptr;
    // No base file: references to other files and URLs are refused. Without
    // RSVG_HANDLE_FLAG_UNLIMITED the XML parser keeps its limits (entity expansion and depth).
    RsvgHandle* handle =
        rsvg_handle_new_from_stream_sync(stream, nullptr, RSVG_HANDLE_FLAGS_NONE, nullptr, &error);
    g_object_unref(stream);
    if (!handle)
        Fail(error);
    rsvg_handle_set_dpi(handle, kDpi);
    return handle;
}

// A length that is not a percentage in pixels at 96 dots per inch; font-relative units at the
// initial font size (12 pixels), as librsvg takes them where no font size is set.
double Pixels(const RsvgLength& length) {
    switch (length.unit) {
    case RSVG_UNIT_IN:
        return length.length * kDpi;
    case RSVG_UNIT_CM:
        return length.length * kDpi / 2.54;
    case RSVG_UNIT_MM:
        return length.length * kDpi / 25.4;
    case RSVG_UNIT_PT:
        return length.length * kDpi / 72;
    case RSVG_UNIT_PC:
        return length.length * kDpi / 6;
    case RSVG_UNIT_EM:
        return length.length * 12;
    case RSVG_UNIT_EX:
        return length.length * 6;
    default:
        return length.length;
    }
}

// The picture's frame and layout viewport: width and height where both are absolute; else the
// viewBox, scaled to the one side that is absolute; else the extents of what it draws.
void Measure(RsvgHandle* handle) {
    gboolean hasWidth = false, hasHeight = false, hasViewBox = false;
    RsvgLength width{}, height{};
    RsvgRectangle viewBox{};
    rsvg_handle_get_intrinsic_dimensions(handle, &hasWidth, &width, &hasHeight, &height,
                                         &hasViewBox, &viewBox);
    const bool absoluteWidth = hasWidth && width.unit != RSVG_UNIT_PERCENT;
    const bool absoluteHeight = hasHeight && height.unit != RSVG_UNIT_PERCENT;
    hasViewBox = hasViewBox && viewBox.width > 0 && viewBox.height > 0;
    RsvgRectangle frame{0, 0, 0, 0}, viewport{0, 0, 0, 0};
    double w = 0, h = 0;
    if (absoluteWidth && absoluteHeight &&
        rsvg_handle_get_intrinsic_size_in_pixels(handle, &w, &h)) {
        frame = {0, 0, w, h};
    } else if (hasViewBox) {
        if (absoluteWidth)
            frame = {0, 0, Pixels(width), Pixels(width) * viewBox.height / viewBox.width};
        else if (absoluteHeight)
            frame = {0, 0, Pixels(height) * viewBox.width / viewBox.height, Pixels(height)};
        else
            frame = {0, 0, viewBox.width, viewBox.height};
    } else {
        viewport = {0, 0, 1, 1};
        RsvgRectangle ink{}, logical{};
        GError* error = nullptr;
        if (!rsvg_handle_get_geometry_for_layer(handle, nullptr, &viewport, &ink, &logical, &error))
            Fail(error);
        frame = logical;
    }
    if (viewport.width == 0)
        viewport = {0, 0, frame.width, frame.height};
    if (!(frame.width > 0 && frame.height > 0 && std::isfinite(frame.width) &&
          std::isfinite(frame.height) && std::isfinite(frame.x) && std::isfinite(frame.y)))
        Fail("it has no size");
    char line[256];
    std::snprintf(line, sizeof line, "frame %.17g %.17g %.17g %.17g %.17g %.17g", frame.x, frame.y,
                  frame.width, frame.height, viewport.width, viewport.height);
    Answer(line);
}

void Render(RsvgHandle* handle, char** arg) {
    const double x = Number(arg[0]), y = Number(arg[1]), width = Number(arg[2]),
                 height = Number(arg[3]), viewportWidth = Number(arg[4]),
                 viewportHeight = Number(arg[5]);
    const double targetWidth = double(Integer(arg[6], 1, INT32_MAX)),
                 targetHeight = double(Integer(arg[7], 1, INT32_MAX));
    const int64_t left = Integer(arg[8], 0, INT32_MAX), top = Integer(arg[9], 0, INT32_MAX);
    const int64_t columns = Integer(arg[10], 1, INT32_MAX / 4),
                  rows = Integer(arg[11], 1, INT32_MAX);
    if (!(width > 0 && height > 0 && viewportWidth > 0 && viewportHeight > 0))
        Fail("bad frame");
    size_t size = 0;
    auto* pixels = static_cast<unsigned char*>(MapWhole(kPixelsFd, PROT_READ | PROT_WRITE, &size));
    if (size != size_t(columns) * size_t(rows) * 4)
        Fail("the pixel buffer does not fit the drawing");
    // A larger part is drawn in tiles, each a surface over its place in the buffer, offset to its
    // place in the whole drawing.
    const RsvgRectangle viewport{0, 0, viewportWidth, viewportHeight};
    for (int64_t ty = 0; ty < rows; ty += kTileSide)
        for (int64_t tx = 0; tx < columns; tx += kTileSide) {
            cairo_surface_t* surface = cairo_image_surface_create_for_data(
                pixels + (ty * columns + tx) * 4, CAIRO_FORMAT_ARGB32,
                int(std::min(columns - tx, kTileSide)), int(std::min(rows - ty, kTileSide)),
                int(columns * 4));
            cairo_surface_set_device_offset(surface, -double(left + tx), -double(top + ty));
            cairo_t* cr = cairo_create(surface);
            cairo_scale(cr, targetWidth / width, targetHeight / height);
            cairo_translate(cr, -x, -y);
            GError* error = nullptr;
            if (!rsvg_handle_render_document(handle, cr, &viewport, &error))
                Fail(error);
            if (cairo_status(cr) != CAIRO_STATUS_SUCCESS)
                Fail(cairo_status_to_string(cairo_status(cr)));
            cairo_destroy(cr);
            cairo_surface_flush(surface);
            cairo_surface_destroy(surface);
        }
    Answer("ok");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        Fail("usage: tapestrix-svg-render measure|render CPU_SECONDS MEMORY_BYTES ...");
    const std::string command = argv[1];
    const bool render = command == "render";
    if ((!render && command != "measure") || argc != (render ? 16 : 4))
        Fail("bad arguments");
    // Limits first: processor time (SIGXCPU at the soft limit, SIGKILL a second later), address
    // space, and no core files.
    const rlim_t seconds = rlim_t(Integer(argv[2], 1, 3600));
    Limit(RLIMIT_CPU, seconds, seconds + 1);
    const rlim_t memory = rlim_t(Integer(argv[3], int64_t(64) << 20, INT64_MAX));
    Limit(RLIMIT_AS, memory, memory);
    Limit(RLIMIT_CORE, 0, 0);
    ForbidSocketsAndPrograms();

    RsvgHandle* handle = Load();
    if (render)
        Render(handle, argv + 4);
    else
        Measure(handle);
    g_object_unref(handle);
    return 0;
}
