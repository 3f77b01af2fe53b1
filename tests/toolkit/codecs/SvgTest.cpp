// SVG pictures: their own size, drawings at any size against rsvg-convert's at the same size,
// loading by content and compressed by extension, nothing loaded from outside the document,
// damaged and oversized files, the time limit, and one composition through tapestrix-compose.
#include "support/TestSupport.h"
#include "toolkit/Graphics.h"
#include "toolkit/codecs/SvgImage.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kRsvgConvert = QStringLiteral("/usr/bin/rsvg-convert");

#define REQUIRE_RSVG_CONVERT()                                                                     \
    do {                                                                                           \
        if (!QFileInfo::exists(kRsvgConvert))                                                      \
            GTEST_SKIP() << "rsvg-convert (librsvg2-bin) is not installed";                        \
    } while (0)

QByteArray Svg(const QByteArray& attributes, const QByteArray& body) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" "
           "xmlns:xlink=\"http://www.w3.org/1999/xlink\" " +
           attributes + ">" + body + "</svg>";
}

// Curves, gradients, transparency and an embedded picture: every pixel of the drawing counts.
const QByteArray kDrawing = Svg(
    R"x(width="97" height="61" viewBox="0 0 97 61")x",
    R"x(<defs><linearGradient id="g"><stop offset="0" stop-color="#f80"/>)x"
    R"x(<stop offset="1" stop-color="#08f" stop-opacity="0.3"/></linearGradient></defs>)x"
    R"x(<path d="M3 50 C 20 -10, 60 80, 94 8" stroke="#123" stroke-width="2.5" fill="url(#g)"/>)x"
    R"x(<circle cx="70" cy="40" r="17" fill="#3c6" fill-opacity="0.55"/>)x"
    R"x(<rect x="10.3" y="5.7" width="0.6" height="30" fill="#909"/>)x"
    R"x(<image x="40" y="30" width="12" height="9" xlink:href="data:image/png;base64,)x"
    R"x(iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAYAAABytg0kAAAAFklEQVQI12P4z8DwHwyBjP8MDAwMDAA2)x"
    R"x(WQQBxaX3WQAAAABJRU5ErkJggg=="/>)x");

class SvgTest : public ::testing::Test {
protected:
    QString Write(const QString& name, const QByteArray& bytes) {
        const QString path = FDir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }
    QByteArray Gzip(const QByteArray& bytes) {
        QProcess gzip;
        gzip.start(QStringLiteral("/bin/gzip"), {QStringLiteral("-c"), QStringLiteral("-n")});
        gzip.write(bytes);
        gzip.closeWriteChannel();
        EXPECT_TRUE(gzip.waitForFinished(60000));
        return gzip.readAllStandardOutput();
    }
    // rsvg-convert's drawing of the file at size, premultiplied like ours: its PNG holds
    // cairo's colours divided by alpha, which multiplying back with rounding gives exactly.
    QImage RsvgConvert(const QString& svg, QSize size, const QString& extraArgument = {}) {
        const QString png = FDir.filePath(QStringLiteral("rsvg-convert.png"));
        QStringList args{QStringLiteral("-w"),
                         QString::number(size.width()),
                         QStringLiteral("-h"),
                         QString::number(size.height()),
                         QStringLiteral("-o"),
                         png,
                         svg};
        if (!extraArgument.isEmpty())
            args.prepend(extraArgument);
        QProcess convert;
        convert.start(kRsvgConvert, args);
        EXPECT_TRUE(convert.waitForFinished(120000) && convert.exitCode() == 0)
            << convert.readAllStandardError().constData();
        QImage image(png);
        image = image.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const int a = qAlpha(row[x]);
                const auto mul = [a](int c) { return (c * a + 127) / 255; };
                row[x] = qRgba(mul(qRed(row[x])), mul(qGreen(row[x])), mul(qBlue(row[x])), a);
            }
        }
        image.reinterpretAsFormat(QImage::Format_ARGB32_Premultiplied);
        return image;
    }
    QTemporaryDir FDir;
};

// Pixels whose channels differ by more than tolerance between two premultiplied pictures of one
// size, with the first of them.
std::string Differences(const QImage& mine, const QImage& reference, int tolerance = 0) {
    if (mine.size() != reference.size())
        return QStringLiteral("sizes %1 x %2 and %3 x %4")
            .arg(mine.width())
            .arg(mine.height())
            .arg(reference.width())
            .arg(reference.height())
            .toStdString();
    int count = 0;
    QString first;
    for (int y = 0; y < mine.height(); ++y)
        for (int x = 0; x < mine.width(); ++x) {
            const QRgb a = mine.pixel(x, y), b = reference.pixel(x, y);
            const bool near = std::abs(qRed(a) - qRed(b)) <= tolerance &&
                              std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
                              std::abs(qBlue(a) - qBlue(b)) <= tolerance &&
                              std::abs(qAlpha(a) - qAlpha(b)) <= tolerance;
            if (!near && count++ == 0)
                first = QStringLiteral(" first at (%1, %2): %3 against %4")
                            .arg(x)
                            .arg(y)
                            .arg(a, 8, 16, QLatin1Char('0'))
                            .arg(b, 8, 16, QLatin1Char('0'));
        }
    return count ? (QStringLiteral("%1 pixels differ;").arg(count) + first).toStdString() : "";
}

// The message of the exception that f raises, or "" when it raises none.
template <class E> QString ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    }
    return {};
}

int CountColour(const QImage& image, QRgb colour) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += image.pixel(x, y) == colour;
    return count;
}

} // namespace

TEST_F(SvgTest, OwnSizeFromWidthAndHeightElseTheViewBoxAt96Dpi) {
    const QByteArray rect = R"x(<rect x="5" y="7" width="20" height="30" fill="#f00"/>)x";
    const struct {
        const char* Attributes;
        int Width, Height;
    } cases[] = {
        {R"x(width="40" height="30")x", 40, 30},
        {R"x(width="40px" height="30.5px")x", 40, 31}, // fractions are rounded up
        {R"x(width="10mm" height="1in")x", 38, 96},    // 37.8 x 96
        {R"x(width="72pt" height="6pc")x", 96, 96},
        {R"x(width="2.5cm" height="3em")x", 95, 36},
        {R"x(viewBox="0 0 120 80")x", 120, 80},
        {R"x(width="100%" height="100%" viewBox="10 10 120 80")x", 120, 80},
        {R"x(width="200" viewBox="0 0 120 80")x", 200, 134}, // the other side by the viewBox
        {R"x(height="1in" viewBox="0 0 120 80")x", 144, 96},
        {R"x(width="50" height="60" viewBox="0 0 120 80")x", 50, 60},
        {R"x(width="50%" height="30" viewBox="0 0 120 80")x", 45, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Attributes);
        const QString path = Write(QStringLiteral("size.svg"), Svg(c.Attributes, rect));
        TSvgImage svg;
        svg.LoadFromFile(path);
        EXPECT_EQ(svg.Width(), c.Width);
        EXPECT_EQ(svg.Height(), c.Height);
        if (QFileInfo::exists(kRsvgConvert)) { // its own size is rsvg-convert's
            QProcess convert;
            convert.start(kRsvgConvert, {QStringLiteral("-o"), path + ".png", path});
            EXPECT_TRUE(convert.waitForFinished(60000));
            EXPECT_EQ(QImage(path + ".png").size(), QSize(c.Width, c.Height));
        }
    }
    // Neither: the extents of what it draws, from their corner (rsvg-convert cuts them off).
    TSvgImage svg;
    svg.LoadFromBytes(Svg("", rect), QStringLiteral("extents.svg"));
    ASSERT_EQ(QSize(svg.Width(), svg.Height()), QSize(20, 30));
    EXPECT_EQ(CountColour(svg.Render(QSize(40, 60)), 0xFFFF0000), 40 * 60);
}

TEST_F(SvgTest, DrawnAtEverySizeAsRsvgConvertDrawsIt) {
    REQUIRE_RSVG_CONVERT();
    const QString path = Write(QStringLiteral("drawing.svg"), kDrawing);
    TSvgImage svg;
    svg.LoadFromFile(path);
    ASSERT_EQ(QSize(svg.Width(), svg.Height()), QSize(97, 61));
    for (const QSize size :
         {QSize(97, 61), QSize(23, 15), QSize(291, 183), QSize(1000, 120), QSize(1, 1)}) {
        SCOPED_TRACE(QStringLiteral("%1 x %2").arg(size.width()).arg(size.height()).toStdString());
        const QImage reference = RsvgConvert(path, size);
        const QImage drawn = svg.Render(size);
        EXPECT_EQ(drawn.format(), QImage::Format_ARGB32_Premultiplied);
        EXPECT_EQ(Differences(drawn, reference), "");
        // A part alone is the same part of the whole drawing, but for a few edge pixels that
        // cairo rasterises and samples with other rounding when the drawing is offset (up to 10
        // levels seen at the edge of the embedded picture).
        const QRect part(size.width() / 3, size.height() / 4, (size.width() + 1) / 2,
                         (size.height() + 1) / 2);
        EXPECT_EQ(Differences(svg.RenderPart(size, part), reference.copy(part), 16), "");
    }

    // Wider than a tile (16384 pixels): drawn in tiles without a seam.
    TSvgImage wide;
    wide.LoadFromBytes(Svg(R"x(width="400" height="2")x",
                           R"x(<linearGradient id="h"><stop offset="0" stop-color="#f00"/>)x"
                           R"x(<stop offset="1" stop-color="#00f"/></linearGradient>)x"
                           R"x(<rect width="400" height="2" fill="url(#h)"/>)x"),
                       QStringLiteral("wide.svg"));
    const QImage across = wide.Render(QSize(40000, 2));
    EXPECT_EQ(CountColour(across, 0), 0);
    const QRect seam(16300, 0, 100, 2);
    EXPECT_EQ(Differences(wide.RenderPart(QSize(40000, 2), seam), across.copy(seam), 16), "");

    // Painted at the target's size, only what the painter reaches: a bitmap's canvas draws it
    // at 4 times its size from (-50, -30) and shows the same pixels over white.
    const QSize big(388, 244);
    const QImage reference = RsvgConvert(path, big, QStringLiteral("--background-color=white"));
    TBitmap bitmap(150, 100);
    {
        TCanvasLock lock(bitmap.Canvas());
        bitmap.Canvas()->StretchDraw(Rect(-50, -30, -50 + big.width(), -30 + big.height()), &svg);
    }
    int off = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 150; ++x) {
            const QRgb want = reference.pixel(x + 50, y + 30);
            const TColor got = bitmap.Canvas()->Pixels(x, y);
            off += std::abs(qRed(want) - (got & 0xFF)) > 1 ||
                   std::abs(qGreen(want) - ((got >> 8) & 0xFF)) > 1 ||
                   std::abs(qBlue(want) - ((got >> 16) & 0xFF)) > 1;
        }
    EXPECT_EQ(off, 0) << "pixels more than 1 away from rsvg-convert's over white";
}

TEST_F(SvgTest, LoadedByContentAndCompressedByExtension) {
    const QByteArray marked = "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- made by hand -->\n"
                              "<!DOCTYPE svg>\n" +
                              kDrawing;
    const QByteArray compressed = Gzip(kDrawing);
    TSvgImage plain;
    plain.LoadFromBytes(kDrawing, QStringLiteral("plain.svg"));
    const QImage expected = plain.Render(QSize(50, 30));
    for (const auto& [name, bytes] : {std::pair{QStringLiteral("drawing.jpg"), kDrawing},
                                      {QStringLiteral("marked.bmp"), marked},
                                      {QStringLiteral("blank.ico"), " \n\t" + kDrawing},
                                      {QStringLiteral("drawing.svgz"), compressed},
                                      {QStringLiteral("gz.svg"), compressed}}) {
        SCOPED_TRACE(name.toStdString());
        TPicture picture;
        picture.LoadFromFile(Write(name, bytes));
        auto* svg = dynamic_cast<TSvgImage*>(picture.Graphic());
        ASSERT_NE(svg, nullptr);
        EXPECT_TRUE(svg->Scalable() && svg->Transparent());
        EXPECT_EQ(Differences(svg->Render(QSize(50, 30)), expected), "");
        EXPECT_EQ(Differences(svg->Clone()->Render(QSize(50, 30)), expected), "");
    }
    // Compressed data named as another format is not taken for SVG.
    TPicture picture;
    const QString jpeg = Write(QStringLiteral("gz.jpg"), compressed);
    EXPECT_THROW(picture.LoadFromFile(jpeg), EInvalidGraphic);
    EXPECT_EQ(dynamic_cast<TSvgImage*>(picture.Graphic()), nullptr);
}

TEST_F(SvgTest, NothingOutsideTheDocumentIsLoaded) {
    // A green picture beside the document, and a server that counts who calls.
    QImage green(8, 8, QImage::Format_RGB32);
    green.fill(0xFF00FF00);
    const QString png = FDir.filePath(QStringLiteral("green.png"));
    ASSERT_TRUE(green.save(png));
    Write(QStringLiteral("green.xml"), R"x(<rect width="20" height="20" fill="#0f0"/>)x");
    Write(QStringLiteral("green.css"), "rect { fill: #0f0 }");
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(server, 16), 0);
    ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(ntohs(address.sin_port));
    const QByteArray file = "file://" + QFile::encodeName(png);

    const QByteArray image = R"x(<image width="20" height="20" xlink:href=")x";
    const QByteArray rect = R"x(<rect width="20" height="20"/>)x";
    const struct {
        const char* What;
        QByteArray Document;
        bool LoadsWithABaseFile; // rsvg-convert, which gives librsvg one, shows the green
    } cases[] = {
        {"image beside it", Svg("", image + "green.png\"/>"), true},
        {"image by file URL", Svg("", image + file + "\"/>"), false},
        {"image by HTTP", Svg("", image + url + "/green.png\"/>"), false},
        {"filter image",
         Svg("", "<filter id='f'><feImage xlink:href='green.png'/></filter>"
                 "<rect width='20' height='20' filter='url(#f)'/>"),
         true},
        {"XInclude",
         Svg(R"x(xmlns:xi="http://www.w3.org/2001/XInclude")x",
             R"x(<xi:include href="green.xml"/>)x"),
         true},
        {"style sheet", "<?xml-stylesheet type=\"text/css\" href=\"green.css\"?>" + Svg("", rect),
         true},
        {"style import", Svg("", "<style>@import url(\"" + url + "/green.css\");</style>" + rect),
         false},
        {"external entity", "<!DOCTYPE svg [<!ENTITY e SYSTEM \"green.xml\">]>" + Svg("", "&e;"),
         false},
        {"entity by HTTP", "<!DOCTYPE svg [<!ENTITY e SYSTEM \"" + url + "/e\">]>" + Svg("", "&e;"),
         false},
        {"DTD by HTTP", "<!DOCTYPE svg SYSTEM \"" + url + "/svg.dtd\">" + Svg("", rect), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const QByteArray document =
            QByteArray(c.Document).replace("<svg ", "<svg width='20' height='20' ");
        const QString path = Write(QStringLiteral("outside.svg"), document);
        if (c.LoadsWithABaseFile && QFileInfo::exists(kRsvgConvert)) {
            EXPECT_GT(CountColour(RsvgConvert(path, QSize(20, 20)), 0xFF00FF00), 300)
                << "the case does not refer to the file as librsvg reads it";
        }
        // Either the document is refused or it draws without what it refers to.
        QImage drawn;
        try {
            TPicture picture;
            picture.LoadFromFile(path);
            drawn = picture.Graphic()->Render(QSize(20, 20));
        } catch (const EInvalidGraphic& e) {
            EXPECT_TRUE(e.Message().contains(QStringLiteral("is not valid"))) << e.what();
        }
        EXPECT_EQ(CountColour(drawn, 0xFF00FF00), 0);
        pollfd call{server, POLLIN, 0};
        EXPECT_EQ(::poll(&call, 1, 50), 0) << "the server was called";
    }
    ::close(server);

    // Pictures inside the document are drawn.
    QFile pngFile(png);
    ASSERT_TRUE(pngFile.open(QIODevice::ReadOnly));
    TSvgImage svg;
    svg.LoadFromBytes(Svg(R"x(width="20" height="20")x",
                          image + "data:image/png;base64," + pngFile.readAll().toBase64() + "\"/>"),
                      QStringLiteral("inside.svg"));
    EXPECT_EQ(CountColour(svg.Render(QSize(20, 20)), 0xFF00FF00), 400);
}

TEST_F(SvgTest, DamagedFilesAreRefusedNamingTheFile) {
    const QByteArray compressed = Gzip(kDrawing);
    QByteArray damaged = compressed;
    damaged[damaged.size() / 2] = char(damaged[damaged.size() / 2] ^ 0x55);
    const QByteArray rect = R"x(<rect width="4" height="3"/>)x";
    const struct {
        const char* What;
        QByteArray Bytes;
        const char* Why;
    } cases[] = {
        {"empty", "", "the file is empty"},
        {"not XML", "just text", "XML parse error"},
        {"not SVG", "<html><body/></html>", "XML does not have <svg> root"},
        {"unclosed", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4\">", "XML parse error"},
        {"nothing drawn, no size", Svg("", ""), "it has no size"},
        {"width 0", Svg(R"x(width="0" height="3")x", rect), "it has no size"},
        {"compressed, cut short", compressed.left(compressed.size() / 2),
         "the compressed data ends too early"},
        {"compressed, damaged", damaged, "the compressed data is damaged"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const QString path = Write(QStringLiteral("damaged.svg"), c.Bytes);
        TSvgImage svg;
        const QString error = ErrorOf<EInvalidGraphic>([&] { svg.LoadFromFile(path); });
        const QString prefix =
            QStringLiteral("SVG image \"%1\" is not valid: ").arg(QDir::toNativeSeparators(path));
        EXPECT_TRUE(error.startsWith(prefix + QLatin1String(c.Why))) << error.toStdString();
        EXPECT_TRUE(svg.Empty());
    }
    // Every truncation of a small document is refused.
    const QByteArray small = R"x(<svg xmlns="http://www.w3.org/2000/svg" width="4" height="3"/>)x";
    for (int n = 0; n < small.size(); ++n)
        EXPECT_FALSE(ErrorOf<EInvalidGraphic>([&] {
                         TSvgImage().LoadFromBytes(small.left(n), QStringLiteral("cut.svg"));
                     }).isEmpty())
            << n << " bytes";
}

TEST_F(SvgTest, TextAndDrawingsBeyondTheLimitsAreRefused) {
    const QByteArray huge =
        Svg(R"x(width="4" height="3")x", "<!--" + QByteArray(svgrender::kMaxSvgBytes, ' ') + "-->");
    const QString plain = Write(QStringLiteral("huge.svg"), huge);
    const QString compressed = Write(QStringLiteral("huge.svgz"), Gzip(huge));
    ASSERT_LT(QFileInfo(compressed).size(), 1 << 20);
    const QString wide =
        Write(QStringLiteral("wide.svg"), Svg(R"x(width="70000" height="10")x", ""));
    for (const auto& [path, why] :
         {std::pair{plain, QStringLiteral("File \"%1\" is too large")},
          {compressed, QStringLiteral("SVG image \"%1\" is too large (more than 33554432 bytes")},
          {wide, QStringLiteral("SVG image \"%1\" is too large (70000 x 10 pixels)")}}) {
        const QString error =
            ErrorOf<EOutOfResources>([&, p = path] { TSvgImage().LoadFromFile(p); });
        EXPECT_TRUE(error.startsWith(why.arg(QDir::toNativeSeparators(path))))
            << error.toStdString();
    }
    TSvgImage svg;
    svg.LoadFromBytes(kDrawing, QStringLiteral("drawing.svg"));
    EXPECT_THROW(svg.Render(QSize(65537, 1)), EOutOfResources);
    EXPECT_THROW(svg.Render(QSize(20000, 20000)), EOutOfResources);
    EXPECT_THROW(svg.Render(QSize(0, 5)), EInvalidGraphic);
}

TEST_F(SvgTest, DocumentsThatTakeTooLongEndWithAClearError) {
    // Fifty dilations by 200 pixels over a large filter region.
    QByteArray filter = R"x(<filter id="f" x="-10" y="-10" width="20" height="20">)x";
    for (int i = 0; i < 50; ++i)
        filter += R"x(<feMorphology operator="dilate" radius="200"/>)x";
    filter += R"x(</filter><rect width="100" height="100" filter="url(#f)"/>)x";
    // Two hundred nested groups, each drawn apart for its opacity.
    const QByteArray nested = QByteArray("<g opacity='0.99'>").repeated(200) +
                              "<rect width='100' height='100'/>" + QByteArray("</g>").repeated(200);
    // A use of a use of ... twice at every level: 2^29 rectangles.
    QByteArray uses = R"x(<defs><rect id="u0" width="1" height="1"/>)x";
    for (int i = 1; i < 30; ++i)
        uses += QStringLiteral(R"x(<g id="u%1"><use xlink:href="#u%2"/><use xlink:href="#u%2" )x"
                               R"x(x="1"/></g>)x")
                    .arg(i)
                    .arg(i - 1)
                    .toUtf8();
    uses += R"x(</defs><use xlink:href="#u29"/>)x";
    // A billion laughs in entities.
    QByteArray laughs = "<!DOCTYPE svg [<!ENTITY a0 \"lol lol lol lol lol\">";
    for (int i = 1; i < 10; ++i)
        laughs += "<!ENTITY a" + QByteArray::number(i) + " \"" +
                  ("&a" + QByteArray::number(i - 1) + ";").repeated(10) + "\">";
    laughs += "]>" + Svg(R"x(width="100" height="100")x", "<text y='20'>&a9;</text>");

    const QString sized = QStringLiteral(R"x(width="100" height="100")x");
    const struct {
        const char* What;
        QByteArray Document;
        int TimeLimit; // 0: the default
        QString Why;
    } cases[] = {
        {"huge filter", Svg(sized.toUtf8(), filter), 0,
         QStringLiteral("drawing it takes longer than the %1 seconds allowed")
             .arg(svgrender::DefaultCpuSeconds(1500 * 1500))},
        {"nested groups", Svg(sized.toUtf8(), nested), 1, QString()},
        {"uses of uses, measured", Svg("", uses), 1, QString()},
        {"entities", laughs, 0, QStringLiteral("XML parse error")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        QElapsedTimer timer;
        timer.start();
        const QString error = ErrorOf<EInvalidGraphic>([&] {
            TSvgImage svg;
            svg.SetTimeLimit(c.TimeLimit);
            svg.LoadFromBytes(c.Document, QStringLiteral("slow.svg"));
            svg.Render(QSize(1500, 1500));
        });
        EXPECT_TRUE(
            error.startsWith(QStringLiteral("SVG image \"slow.svg\" is not valid: ") + c.Why))
            << error.toStdString();
        // The processor-time limit, or on a busy machine the wall-clock one (3 x + 2 s), with
        // some seconds for the measuring and starting.
        const int limit = c.TimeLimit ? c.TimeLimit : svgrender::DefaultCpuSeconds(1500 * 1500);
        EXPECT_LT(timer.elapsed(), (3 * limit + 2 + 8) * 1000);
    }
}

TEST_F(SvgTest, ComposedAtTheFittedSizeOnA4KWallpaper) {
    REQUIRE_RSVG_CONVERT();
    const QString compose = QStringLiteral(TAPESTRIX_BINARY_DIR "/src/tapestrix-compose");
    if (!QFileInfo::exists(compose))
        GTEST_SKIP() << "tapestrix-compose is not built";
    // 4:3 with hairlines that an enlarged small drawing would blur.
    QByteArray lines;
    for (int i = 0; i < 40; ++i)
        lines += QStringLiteral(R"x(<line x1="%1" y1="0" x2="%2" y2="90" stroke="#000" )x"
                                R"x(stroke-width="0.05"/>)x")
                     .arg(i * 3.01)
                     .arg(120 - i * 2.9)
                     .toUtf8();
    const QString path =
        Write(QStringLiteral("fore.svg"), Svg(R"x(viewBox="0 0 120 90")x", lines + kDrawing));
    const QString output = FDir.filePath(QStringLiteral("out.bmp"));
    QProcess run;
    run.start(compose, {QStringLiteral("--size"), QStringLiteral("3840x2160"),
                        QStringLiteral("--foreground"), path, QStringLiteral("--background"),
                        QStringLiteral("#996633"), QStringLiteral("--output"), output});
    ASSERT_TRUE(run.waitForFinished(300000) && run.exitCode() == 0)
        << run.readAllStandardError().constData();
    TBitmap wallpaper;
    wallpaper.LoadFromFile(output);
    const QImage& out = wallpaper.Image();
    ASSERT_EQ(out.size(), QSize(3840, 2160));
    const QRect place(480, 0, 2880, 2160);
    const QImage drawn = RsvgConvert(path, place.size());
    const QRgb background = qRgb(0x33, 0x66, 0x99);
    int off = 0;
    for (int y = 0; y < out.height(); ++y) {
        const auto* row = out.constScanLine(y);
        for (int x = 0; x < out.width(); ++x, row += 3) {
            QRgb want = background;
            if (place.contains(x, y)) { // premultiplied colour over the background
                const QRgb p = drawn.pixel(x - place.left(), y - place.top());
                const int keep = 255 - qAlpha(p);
                const auto over = [keep](int c, int under) {
                    return (255 * c + keep * under + 127) / 255;
                };
                want = qRgb(over(qRed(p), qRed(background)), over(qGreen(p), qGreen(background)),
                            over(qBlue(p), qBlue(background)));
            }
            off += qRgb(row[2], row[1], row[0]) != want;
        }
    }
    EXPECT_EQ(off, 0) << "pixels unlike rsvg-convert's drawing at 2880 x 2160 over the background";
}

TEST_F(SvgTest, RendererFailuresAreReportedNeverWaitedOn) {
    // Renderers that stand in for one that crashes, answers nothing, hangs without using the
    // processor (only the wall-clock limit ends it) or is missing.
    const struct {
        const char* What;
        QByteArray Script; // empty: no program
        QString Why;
    } cases[] = {
        {"crashes", "kill -SEGV $$",
         QStringLiteral("is not valid: reading it failed: the SVG "
                        "renderer stopped with signal 11")},
        {"says nothing", "exit 0",
         QStringLiteral("cannot be drawn: the SVG renderer \"%1\" gave "
                        "no answer (exit status 0)")},
        {"hangs", "exec sleep 600",
         QStringLiteral("is not valid: reading it takes longer than "
                        "the 1 second allowed")},
        {"is missing", "",
         QStringLiteral("cannot be drawn: the SVG renderer \"%1\" cannot be "
                        "started (No such file or directory)")},
    };
    const QByteArray saved = qgetenv("TAPESTRIX_SVG_RENDER");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const QString program = FDir.filePath(QStringLiteral("renderer-") + c.What);
        if (!c.Script.isEmpty()) {
            Write(QFileInfo(program).fileName(), "#!/bin/sh\n" + c.Script + "\n");
            QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);
        }
        qputenv("TAPESTRIX_SVG_RENDER", QFile::encodeName(program));
        QElapsedTimer timer;
        timer.start();
        TSvgImage svg;
        svg.SetTimeLimit(1);
        const QString error = ErrorOf<EInvalidGraphic>(
            [&] { svg.LoadFromBytes(kDrawing, QStringLiteral("drawing.svg")); });
        EXPECT_TRUE(
            error.startsWith(QStringLiteral("SVG image \"drawing.svg\" ") + c.Why.arg(program)))
            << error.toStdString();
        EXPECT_LT(timer.elapsed(), (3 * 1 + 2 + 5) * 1000);
    }
    if (saved.isNull())
        qunsetenv("TAPESTRIX_SVG_RENDER");
    else
        qputenv("TAPESTRIX_SVG_RENDER", saved);
}
