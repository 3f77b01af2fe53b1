// Helpers shared by the desktop backends: URIs, quoting, tools with time limits, the session bus.
#include "platform/WallpaperBackends.h"

#include <QAtomicInt>
#include <QDBusConnection>
#include <QDBusError>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace wallpaper {

QStringList Context::connectedOutputs() const {
    return outputs ? outputs() : x11ConnectedOutputs(env);
}

QString fileUri(const QString& path) {
    return QStringLiteral("file://") +
           QString::fromLatin1(QFileInfo(path).absoluteFilePath().toUtf8().toPercentEncoding("/"));
}

namespace {

// A JavaScript string literal that stays one literal whatever the text holds.
QString jsQuote(const QString& text) {
    QString out = QStringLiteral("\"");
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '"' || u == '\\')
            out += QLatin1Char('\\') + c;
        else if (u < 0x20 || u == 0x7F || u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

// Text worth quoting in a message: the tool's error output, trimmed and bounded.
QString shortText(const QByteArray& bytes) {
    QString text = QString::fromLocal8Bit(bytes).trimmed();
    text.replace(QLatin1Char('\n'), QStringLiteral(" / "));
    if (text.size() > 300)
        text = text.left(300) + QStringLiteral("...");
    return text;
}

} // namespace

namespace {

// The lines that make desktop `d` show `uri` centred, unscaled (FillMode 6 is Qt Quick's
// Image.Pad).
const char* const kPlasmaSetImage = "    d.wallpaperPlugin = \"org.kde.image\";\n"
                                    "    d.currentConfigGroup = Array(\"Wallpaper\", "
                                    "\"org.kde.image\", \"General\");\n"
                                    "    d.writeConfig(\"Image\", uri);\n"
                                    "    d.writeConfig(\"FillMode\", 6);\n";

} // namespace

QString plasmaWallpaperScript(const QString& uri) {
    return QStringLiteral("var uri = %1;\n"
                          "var all = desktops();\n"
                          "for (var i = 0; i < all.length; i++) {\n"
                          "    var d = all[i];\n")
               .arg(jsQuote(uri)) +
           QLatin1String(kPlasmaSetImage) + QStringLiteral("}\n");
}

QString plasmaMonitorsScript(const TWallpaperFiles& files) {
    QString list;
    for (const TMonitorFile& monitor : files.Monitors)
        list += QStringLiteral("    {x: %1, y: %2, uri: %3},\n")
                    .arg(monitor.Monitor.Geometry.x())
                    .arg(monitor.Monitor.Geometry.y())
                    .arg(jsQuote(fileUri(monitor.Path)));
    return QStringLiteral("var monitors = [\n%1];\n"
                          "var primary = %2;\n"
                          "var all = desktops();\n"
                          "for (var i = 0; i < all.length; i++) {\n"
                          "    var d = all[i];\n"
                          "    var uri = primary;\n"
                          "    try {\n"
                          "        var g = screenGeometry(d.screen);\n"
                          "        for (var k = 0; k < monitors.length; k++)\n"
                          "            if (monitors[k].x == g.x && monitors[k].y == g.y)\n"
                          "                uri = monitors[k].uri;\n"
                          "    } catch (e) {\n"
                          "    }\n")
               .arg(list, jsQuote(fileUri(files.Primary))) +
           QLatin1String(kPlasmaSetImage) + QStringLiteral("}\n");
}

QString gvariantQuote(const QString& text) {
    QString out = QStringLiteral("'");
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\'' || u == '\\')
            out += QLatin1Char('\\') + c;
        else if (u < 0x20 || u == 0x7F)
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('\'');
}

std::optional<QString> gvariantUnquote(const QString& input) {
    const QString text = input.trimmed();
    if (text.size() < 2)
        return std::nullopt;
    const QChar quote = text.front();
    if ((quote != QLatin1Char('\'') && quote != QLatin1Char('"')) || text.back() != quote)
        return std::nullopt;
    QString out;
    const qsizetype end = text.size() - 1;
    for (qsizetype i = 1; i < end; ++i) {
        const QChar c = text[i];
        if (c == quote)
            return std::nullopt; // a second string or trailing text
        if (c != QLatin1Char('\\')) {
            out += c;
            continue;
        }
        if (++i >= end)
            return std::nullopt;
        const char16_t e = text[i].unicode();
        switch (e) {
        case 'a':
            out += QChar(0x07);
            break;
        case 'b':
            out += QChar(0x08);
            break;
        case 'f':
            out += QChar(0x0C);
            break;
        case 'n':
            out += QChar(0x0A);
            break;
        case 'r':
            out += QChar(0x0D);
            break;
        case 't':
            out += QChar(0x09);
            break;
        case 'v':
            out += QChar(0x0B);
            break;
        case 'u':
        case 'U': {
            const int digits = e == 'u' ? 4 : 8;
            if (i + digits >= end)
                return std::nullopt;
            bool ok = false;
            const uint code = text.mid(i + 1, digits).toUInt(&ok, 16);
            if (!ok || code > 0x10FFFF)
                return std::nullopt;
            out += QString::fromUcs4(reinterpret_cast<const char32_t*>(&code), 1);
            i += digits;
            break;
        }
        default:
            out += QChar(e); // \\, \', \" and any other escaped character stand for themselves
        }
    }
    return out;
}

QString swayQuote(const QString& text) {
    QString out = QStringLiteral("\"");
    for (QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        out += c;
    }
    return out + QLatin1Char('"');
}

QString findTool(const Context& context, const QString& program) {
    if (program.contains(QLatin1Char('/')))
        return QFileInfo(program).isExecutable() ? program : QString();
    const QStringList dirs =
        context.env.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    // An environment without PATH finds nothing rather than falling back to the process's.
    if (dirs.isEmpty())
        return QString();
    return QStandardPaths::findExecutable(program, dirs);
}

ToolResult runTool(const Context& context, const QString& program, const QStringList& arguments) {
    const QString path = findTool(context, program);
    if (path.isEmpty())
        throw Exception(QStringLiteral("%1 is not installed (not found on PATH)").arg(program));
    QProcess process;
    process.setProcessEnvironment(context.env);
    process.setProgram(path);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(context.timeoutMs))
        throw Exception(
            QStringLiteral("%1 could not be started: %2").arg(program, process.errorString()));
    if (!process.waitForFinished(context.timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        throw Exception(
            QStringLiteral("%1 did not finish within %2 ms").arg(program).arg(context.timeoutMs));
    }
    ToolResult result;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    if (process.exitStatus() != QProcess::NormalExit)
        throw Exception(QStringLiteral("%1 crashed").arg(program));
    result.exitCode = process.exitCode();
    return result;
}

ToolResult runToolChecked(const Context& context, const QString& program,
                          const QStringList& arguments) {
    ToolResult result = runTool(context, program, arguments);
    if (result.exitCode != 0) {
        QString detail = shortText(result.err);
        if (detail.isEmpty())
            detail = shortText(result.out);
        throw Exception(QStringLiteral("%1 %2 failed with exit code %3%4")
                            .arg(program, arguments.value(0))
                            .arg(result.exitCode)
                            .arg(detail.isEmpty() ? QString() : QStringLiteral(": ") + detail));
    }
    return result;
}

SessionBus::SessionBus(const Context& context) {
    QString address = context.env.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    if (address.isEmpty()) {
        const QString runtime = context.env.value(QStringLiteral("XDG_RUNTIME_DIR"));
        const QString socket = runtime + QStringLiteral("/bus");
        if (!runtime.isEmpty() && QFileInfo::exists(socket))
            address = QStringLiteral("unix:path=") + socket;
    }
    if (address.isEmpty())
        throw Exception(QStringLiteral("no session bus (DBUS_SESSION_BUS_ADDRESS is not set)"));
    static QAtomicInt counter;
    FName = QStringLiteral("tapestrix-wallpaper-%1").arg(counter.fetchAndAddRelaxed(1));
    QDBusConnection bus = QDBusConnection::connectToBus(address, FName);
    if (!bus.isConnected()) {
        const QString error = bus.lastError().message();
        QDBusConnection::disconnectFromBus(FName);
        throw Exception(
            QStringLiteral("cannot connect to the session bus %1: %2").arg(address, error));
    }
}

SessionBus::~SessionBus() {
    QDBusConnection::disconnectFromBus(FName);
}

QDBusConnection SessionBus::connection() const {
    return QDBusConnection(FName);
}

} // namespace wallpaper
