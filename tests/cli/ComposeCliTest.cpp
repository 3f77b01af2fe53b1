// tapestrix-compose run as a process: options, errors, exit codes, and output identical to the
// composer's for the same inputs.
#include "imaging/Wallpaper.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Result {
    int Code = -1;
    QString Out;
    QString Err;
    long PeakKiB = 0; // peak resident memory (RunWithBytes only)
};

Result RunCli(const QStringList& arguments, QProcessEnvironment env = QProcessEnvironment()) {
    QProcess process;
    if (env.isEmpty())
        env = QProcessEnvironment::systemEnvironment();
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TAPESTRIX_COMPOSE_EXE), arguments);
    EXPECT_TRUE(process.waitForFinished(60000)) << "tapestrix-compose did not finish";
    Result r;
    r.Code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.Out = QString::fromLocal8Bit(process.readAllStandardOutput());
    r.Err = QString::fromLocal8Bit(process.readAllStandardError());
    return r;
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::unique_ptr<TBitmap> Noise(int w, int h, uint64_t seed) {
    auto bitmap = std::make_unique<TBitmap>(w, h);
    std::mt19937_64 rng(seed);
    for (int y = 0; y < h; ++y) {
        uint8_t* line = bitmap->ScanLine(y);
        for (int x = 0; x < 3 * w; ++x)
            line[x] = uint8_t(rng() >> 7);
    }
    return bitmap;
}

class ComposeCli : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Foreground = Dir.filePath(QStringLiteral("fg.bmp"));
        Background = Dir.filePath(QStringLiteral("bg.bmp"));
        Noise(97, 61, 1)->SaveToFile(Foreground);
        Noise(143, 117, 2)->SaveToFile(Background);
    }
    // What the composer makes of the same files in this process.
    QByteArray InProcess(int w, int h, const QString& fg, const QString& bg, bool tile,
                         TColor colour) {
        std::unique_ptr<TBitmap> f, b;
        if (!fg.isEmpty()) {
            TPicture p;
            p.LoadFromFile(fg);
            f = PictureToBitmap(&p);
        }
        if (!bg.isEmpty()) {
            TPicture p;
            p.LoadFromFile(bg);
            b = PictureToBitmap(&p);
        }
        return ComposeWallpaper(w, h, f.get(), b.get(), tile, colour, nullptr, nullptr, nullptr)
            ->SaveToBytes();
    }

    QTemporaryDir Dir;
    QString Foreground, Background;
};

TEST_F(ComposeCli, HelpExplainsEveryOption) {
    const Result r = RunCli({QStringLiteral("--help")});
    EXPECT_EQ(r.Code, 0);
    for (const char* option : {"--size", "--foreground", "--background", "--tile", "--output",
                               "--apply", "--quiet", "--help"})
        EXPECT_TRUE(r.Out.contains(QLatin1String(option))) << option;
}

TEST_F(ComposeCli, UnusableCommandLinesExitWithTwo) {
    const QString out = Dir.filePath(QStringLiteral("o.bmp"));
    const QList<QStringList> cases = {
        {},
        {"--output", out},
        {"--size", "640x480"},
        {"--size", "640", "--output", out},
        {"--size", "0x10", "--output", out},
        {"--size", "640x480", "--output", out, "--bogus"},
        {"--size", "640x480", "--output"},
        {"--size=640x480", "--tile=yes", "--output", out},
    };
    for (const QStringList& args : cases) {
        const Result r = RunCli(args);
        EXPECT_EQ(r.Code, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.Err.contains(QLatin1String("--help"))) << r.Err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(out));
}

TEST_F(ComposeCli, SameBytesAsTheComposer) {
    struct Case {
        QStringList Args;
        QString Fg, Bg;
        bool Tile;
        TColor Colour;
        int W, H;
    };
    const Case cases[] = {
        {{"--background", "#FF"}, {}, {}, false, clRed, 40, 30},
        {{"--background", "#ff0000"}, {}, {}, false, clBlue, 31, 7},
        {{}, {}, {}, false, 0, 13, 9},
        {{"--background", ""}, {}, {}, false, 0, 13, 9},
        {{"--foreground", Foreground}, Foreground, {}, false, 0, 200, 150},
        {{"--background", Background}, {}, Background, false, 0, 320, 200},
        {{"--background", Background, "--tile"}, {}, Background, true, 0, 320, 200},
        {{"--foreground", Foreground, "--background", Background},
         Foreground,
         Background,
         false,
         0,
         301,
         199},
        {{"--foreground", Foreground, "--background", "#8000000F"},
         Foreground,
         {},
         false,
         clBtnFace,
         120,
         120},
    };
    int n = 0;
    for (const Case& c : cases) {
        const QString out = Dir.filePath(QStringLiteral("out%1.bmp").arg(n++));
        QStringList args = c.Args;
        args << "--size" << QStringLiteral("%1x%2").arg(c.W).arg(c.H) << "--output" << out;
        const Result r = RunCli(args);
        ASSERT_EQ(r.Code, 0) << args.join(' ').toStdString() << "\n" << r.Err.toStdString();
        EXPECT_TRUE(r.Err.isEmpty())
            << "no progress line when stderr is not a terminal: " << r.Err.toStdString();
        if (c.Colour == clBtnFace)
            continue; // the palette of another process's platform; size and format only
        EXPECT_EQ(ReadFile(out), InProcess(c.W, c.H, c.Fg, c.Bg, c.Tile, c.Colour))
            << args.join(' ').toStdString();
    }
}

TEST_F(ComposeCli, OutputIsTheSameRunToRun) {
    const QString a = Dir.filePath(QStringLiteral("a.bmp")),
                  b = Dir.filePath(QStringLiteral("b.bmp"));
    const QStringList common = {"--size",       "257x133",  "--foreground", Foreground,
                                "--background", Background, "--quiet"};
    ASSERT_EQ(RunCli(common + QStringList{"--output", a}).Code, 0);
    ASSERT_EQ(RunCli(common + QStringList{"--output", b}).Code, 0);
    const QByteArray bytes = ReadFile(a);
    EXPECT_EQ(bytes.size(), 54 + 772 * 133); // rows of 771 bytes padded to 772
    EXPECT_EQ(bytes, ReadFile(b));
    EXPECT_EQ(bytes.left(2), QByteArray("BM"));
    EXPECT_EQ(uint8_t(bytes[28]), 24) << "24 bits per pixel";
}

TEST_F(ComposeCli, JpegPictures) {
    REQUIRE_TESTDATA();
    const QString jpeg = testsupport::testData(QStringLiteral("jpeg/testorig.jpg"));
    const QString out = Dir.filePath(QStringLiteral("j.bmp"));
    const Result r = RunCli(
        {"--size", "160x90", "--foreground", jpeg, "--background", Background, "--output", out});
    ASSERT_EQ(r.Code, 0) << r.Err.toStdString();
    EXPECT_EQ(ReadFile(out), InProcess(160, 90, jpeg, Background, false, 0));
}

TEST_F(ComposeCli, JpegsDecodedWhileResampledGiveTheComposersBytes) {
    // JPEG and BMP files are decoded while they are resampled, other pictures converted first:
    // either way the bytes are the composer's.
    REQUIRE_TESTDATA();
    const auto jpeg = [](const char* name) {
        return testsupport::testData(QStringLiteral("jpeg/") + QLatin1String(name));
    };
    struct Case {
        QString Fg, Bg;
        int W, H;
    };
    const Case cases[] = {
        {jpeg("testorig.jpg"), jpeg("testimgint.jpg"), 100, 60}, // both reduced
        {jpeg("testorig.jpg"), jpeg("testorig.jpg"), 640, 480},  // both enlarged
        {jpeg("gray.jpg"), jpeg("testorig.jpg"), 333, 101},      // grey foreground
        {jpeg("testorig.jpg"), QStringLiteral("#FF8000"), 97, 203},
        {jpeg("testorig.jpg"), {}, 50, 50},
        {{}, jpeg("testorig.jpg"), 211, 77},
        {jpeg("progressive.jpg"), jpeg("testorig.jpg"), 120, 90},
        {jpeg("testorig.jpg"), jpeg("cmyk.jpg"), 120, 90},
        {jpeg("testorig.jpg"), Background, 120, 90}, // a BMP background
    };
    int n = 0;
    for (const Case& c : cases) {
        const QString out = Dir.filePath(QStringLiteral("s%1.bmp").arg(n++));
        QStringList args = {"--size", QStringLiteral("%1x%2").arg(c.W).arg(c.H), "--output", out};
        if (!c.Fg.isEmpty())
            args << "--foreground" << c.Fg;
        if (!c.Bg.isEmpty())
            args << "--background" << c.Bg;
        const Result r = RunCli(args);
        ASSERT_EQ(r.Code, 0) << args.join(' ').toStdString() << "\n" << r.Err.toStdString();
        const bool colour = c.Bg.startsWith(QLatin1Char('#'));
        EXPECT_EQ(ReadFile(out), InProcess(c.W, c.H, c.Fg, colour ? QString() : c.Bg, false,
                                           colour ? TextToColor(c.Bg) : 0))
            << args.join(' ').toStdString();
    }
    // A damaged file reports the toolkit's error, as the ordinary road does.
    const Result r =
        RunCli({"--size", "64x48", "--foreground", jpeg("truncated.jpg"), "--background",
                jpeg("testorig.jpg"), "--output", Dir.filePath(QStringLiteral("t.bmp"))});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains(QLatin1String("truncated.jpg"))) << r.Err.toStdString();
}

TEST_F(ComposeCli, IconsAndTiledJpegs) {
    REQUIRE_TESTDATA();
    const QString icon = testsupport::testData(QStringLiteral("ico/transparent.ico"));
    const QString jpeg = testsupport::testData(QStringLiteral("jpeg/testorig.jpg"));
    const QString out = Dir.filePath(QStringLiteral("i.bmp"));
    const Result r = RunCli({"--size", "300x200", "--foreground", icon, "--background", jpeg,
                             "--tile", "--output", out});
    ASSERT_EQ(r.Code, 0) << r.Err.toStdString();
    EXPECT_EQ(ReadFile(out), InProcess(300, 200, icon, jpeg, true, 0));
}

TEST_F(ComposeCli, ErrorsPrintTheMessageAndExitWithOne) {
    const QString out = Dir.filePath(QStringLiteral("e.bmp"));
    Result r = RunCli({"--size", "10x10", "--foreground", Dir.filePath(QStringLiteral("none.bmp")),
                       "--output", out});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains(QLatin1String("none.bmp"))) << r.Err.toStdString();

    r = RunCli({"--size", "10x10", "--background", "#12G4", "--output", out});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains(QLatin1String("'0x12G4' is not a valid integer value")))
        << r.Err.toStdString();

    r = RunCli({"--size", "10x10", "--background", Dir.filePath(QStringLiteral("x.txt")),
                "--output", out});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains(QLatin1String("Unknown picture file extension (.txt)")))
        << r.Err.toStdString();

    r = RunCli({"--size", "10x10", "--output", Dir.filePath(QStringLiteral("no/such/dir/o.bmp"))});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains(QLatin1String("o.bmp"))) << r.Err.toStdString();
    EXPECT_FALSE(QFile::exists(out));
}

// Runs tapestrix-compose with arguments as bytes (QProcess would pass them as UTF-8 text);
// returns its exit code, standard error and peak resident memory.
Result RunWithBytes(const std::vector<QByteArray>& arguments) {
    QTemporaryFile err;
    EXPECT_TRUE(err.open());
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv = {const_cast<char*>(TAPESTRIX_COMPOSE_EXE)};
        for (const QByteArray& argument : arguments)
            argv.push_back(const_cast<char*>(argument.constData()));
        argv.push_back(nullptr);
        ::dup2(err.handle(), STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Result r;
    r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.PeakKiB = usage.ru_maxrss;
    err.seek(0);
    r.Err = QString::fromLocal8Bit(err.readAll());
    return r;
}

// A file of a few bytes may declare the largest picture allowed (16384 x 16384 RLE-compressed
// pixels, 2^28): composed in every role it is read row by row, never held whole.
TEST_F(ComposeCli, TinyFilesDeclaringHugePicturesStayWithinAMemoryBudget) {
    using testsupport::Put16;
    using testsupport::Put32;
    QByteArray bmp("BM");
    Put32(bmp, 14 + 40 + 8 + 2); // file size
    Put32(bmp, 0);
    Put32(bmp, 14 + 40 + 8);                 // pixels' offset
    for (uint32_t v : {40u, 16384u, 16384u}) // header size, width, height
        Put32(bmp, v);
    Put16(bmp, 1);
    Put16(bmp, 8);
    for (uint32_t v : {1u, 2u, 0u, 0u, 2u, 0u}) // BI_RLE8, data size, dpi, colours used
        Put32(bmp, v);
    Put32(bmp, 0); // palette: black, white
    Put32(bmp, 0x00FFFFFF);
    bmp.append("\x00\x01", 2); // RLE8: end of picture at once (the rest is palette entry 0)
    const QString huge = Dir.filePath(QStringLiteral("huge.bmp"));
    QFile f(huge);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bmp);
    f.close();
    const QByteArray out = QFile::encodeName(Dir.filePath(QStringLiteral("o.bmp")));
    const QByteArray file = QFile::encodeName(huge);
    const std::vector<std::vector<QByteArray>> runs = {
        {"--foreground", file},
        {"--background", file},
        {"--background", file, "--tile"},
    };
    for (const auto& run : runs) {
        std::vector<QByteArray> arguments = {"--size", "1920x1080", "--quiet", "--output", out};
        arguments.insert(arguments.end(), run.begin(), run.end());
        const Result r = RunWithBytes(arguments);
        EXPECT_EQ(r.Code, 0) << r.Err.toStdString();
#ifndef __SANITIZE_ADDRESS__ // the sanitizer's own bookkeeping counts as resident memory
        EXPECT_LT(r.PeakKiB, 256 * 1024) << run[0].constData() << " " << run.size();
#endif
    }
}

TEST_F(ComposeCli, FileNamesThatAreNotUtf8) {
    // Latin-1 names, as an older system wrote them: "\xE9t\xE9.bmp" is not valid UTF-8.
    const QByteArray dir = QFile::encodeName(Dir.path());
    const QByteArray foreground = dir + "/\xE9t\xE9.bmp";
    const QByteArray background = dir + "/fond \xE0 carreaux.bmp";
    const QByteArray folder = dir + "/dossier-\xE9";
    ASSERT_EQ(::rename(QFile::encodeName(Foreground).constData(), foreground.constData()), 0);
    ASSERT_EQ(::rename(QFile::encodeName(Background).constData(), background.constData()), 0);
    ASSERT_EQ(::mkdir(folder.constData(), 0700), 0);
    // The reference: the same pictures under UTF-8 names.
    const QString fgCopy = Dir.filePath("fg-copy.bmp"), bgCopy = Dir.filePath("bg-copy.bmp");
    ASSERT_EQ(::link(foreground.constData(), QFile::encodeName(fgCopy).constData()), 0);
    ASSERT_EQ(::link(background.constData(), QFile::encodeName(bgCopy).constData()), 0);
    const QByteArray reference = InProcess(160, 120, fgCopy, bgCopy, true, 0);
    const struct {
        const char* what;
        QByteArray output;
        std::vector<QByteArray> names;
    } cases[] = {
        {"in the output's name",
         folder + "/r\xE9sultat.bmp",
         {"--foreground", foreground, "--background", background}},
        {"in its folder, relative names",
         "dossier-\xE9/result.bmp",
         {"--foreground=\xE9t\xE9.bmp", "--background=fond \xE0 carreaux.bmp"}},
    };
    for (const auto& c : cases) {
        std::vector<QByteArray> arguments = {"--size",  "160x120",  "--tile",
                                             "--quiet", "--output", c.output};
        arguments.insert(arguments.end(), c.names.begin(), c.names.end());
        const QByteArray cwd = QFile::encodeName(QDir::currentPath());
        ASSERT_EQ(::chdir(dir.constData()), 0);
        const Result r = RunWithBytes(arguments);
        ASSERT_EQ(::chdir(cwd.constData()), 0);
        EXPECT_EQ(r.Code, 0) << c.what << ": " << r.Err.toStdString();
        const QByteArray written = c.output.startsWith('/') ? c.output : dir + '/' + c.output;
        QFile file;
        const int fd = ::open(written.constData(), O_RDONLY);
        ASSERT_GE(fd, 0) << c.what;
        ASSERT_TRUE(file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
        EXPECT_TRUE(file.readAll() == reference) << c.what;
    }
    // Nothing else is left in the output's folder (no temporary file).
    QList<QByteArray> entries;
    if (DIR* d = ::opendir(folder.constData())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")))
                entries << QByteArray(e->d_name);
        ::closedir(d);
    }
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (QList<QByteArray>{"result.bmp", "r\xE9sultat.bmp"}));
    // A name that does not exist is reported as the user typed it, as well as it can be shown.
    const Result missing = RunWithBytes({"--size", "8x8", "--quiet", "--output", dir + "/o.bmp",
                                         "--foreground", dir + "/absent-\xE9.bmp"});
    EXPECT_EQ(missing.Code, 1);
    EXPECT_TRUE(missing.Err.contains(QString::fromUtf8("absent-\uFFFD.bmp\". No such file")))
        << missing.Err.toStdString();
}

TEST_F(ComposeCli, RunsWithoutAWindowSystem) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    const QString out = Dir.filePath(QStringLiteral("n.bmp"));
    const Result r = RunCli({"--size", "64x48", "--foreground", Foreground, "--output", out}, env);
    EXPECT_EQ(r.Code, 0) << r.Err.toStdString();
    EXPECT_TRUE(r.Err.isEmpty()) << r.Err.toStdString();
    EXPECT_EQ(ReadFile(out).size(), 54 + 64 * 3 * 48);
}

} // namespace
