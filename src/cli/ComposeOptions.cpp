#include "cli/ComposeOptions.h"

#include "toolkit/Graphics.h"
#include "toolkit/codecs/PictureFormats.h"

#include "Version.h"

#include <QRegularExpression>

namespace {

void ParseSize(const QString& text, TComposeOptions& options) {
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,6})[xX](\\d{1,6})$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        throw TUsageError{
            QStringLiteral("--size takes WIDTHxHEIGHT in pixels, such as 1920x1080, not \"%1\"")
                .arg(text)};
    const int w = m.captured(1).toInt(), h = m.captured(2).toInt();
    if (w < 1 || h < 1 || w > kMaxPictureSide || h > kMaxPictureSide ||
        int64_t(w) * h > kMaxPicturePixels)
        throw TUsageError{QStringLiteral("--size %1 x %2 is outside 1 x 1 to %3 pixels")
                              .arg(w)
                              .arg(h)
                              .arg(kMaxPicturePixels)};
    options.Width = w;
    options.Height = h;
}

} // namespace

TComposeOptions ParseComposeOptions(const QStringList& arguments) {
    TComposeOptions options;
    bool haveSize = false, apply = false, monitors = false;
    for (int i = 0; i < arguments.size(); ++i) {
        QString arg = arguments[i];
        QString value;
        bool inlineValue = false;
        if (arg.startsWith(QLatin1String("--")) && arg.contains(QLatin1Char('='))) {
            value = arg.mid(arg.indexOf(QLatin1Char('=')) + 1);
            arg = arg.left(arg.indexOf(QLatin1Char('=')));
            inlineValue = true;
        }
        const auto takeValue = [&]() -> QString {
            if (inlineValue)
                return value;
            if (i + 1 >= arguments.size())
                throw TUsageError{QStringLiteral("%1 needs a value").arg(arg)};
            return arguments[++i];
        };
        const auto noValue = [&] {
            if (inlineValue)
                throw TUsageError{QStringLiteral("%1 takes no value").arg(arg)};
        };
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            noValue();
            options.Mode = TComposeMode::Help;
            return options;
        } else if (arg == QLatin1String("--version")) {
            noValue();
            options.Mode = TComposeMode::Version;
            return options;
        } else if (arg == QLatin1String("--size")) {
            ParseSize(takeValue(), options);
            haveSize = true;
        } else if (arg == QLatin1String("--foreground")) {
            options.Foreground = takeValue();
        } else if (arg == QLatin1String("--background")) {
            options.Background = takeValue();
        } else if (arg == QLatin1String("--tile")) {
            noValue();
            options.Tile = true;
        } else if (arg == QLatin1String("--output")) {
            options.Output = takeValue();
            if (options.Output.isEmpty())
                throw TUsageError{QStringLiteral("--output needs a file name")};
        } else if (arg == QLatin1String("--quiet") || arg == QLatin1String("-q")) {
            noValue();
            options.Quiet = true;
        } else if (arg == QLatin1String("--apply")) {
            noValue();
            apply = true;
        } else if (arg == QLatin1String("--monitors")) {
            const QString mode = takeValue();
            const std::optional<TMonitorMode> parsed = ParseMonitorMode(mode);
            if (!parsed || *parsed == TMonitorMode::PerMonitor)
                throw TUsageError{
                    QStringLiteral("--monitors takes each or span, not \"%1\"").arg(mode)};
            options.Monitors = *parsed;
            monitors = true;
        } else if (arg == QLatin1String("--list-monitors")) {
            noValue();
            if (arguments.size() != 1)
                throw TUsageError{QStringLiteral("--list-monitors takes no other argument")};
            options.Mode = TComposeMode::ListMonitors;
            return options;
        } else {
            throw TUsageError{QStringLiteral("unknown argument \"%1\"").arg(arguments[i])};
        }
    }
    if (apply) {
        if (haveSize || !options.Output.isEmpty())
            throw TUsageError{QStringLiteral(
                "--apply composes at the screen's size into the wallpaper file; it takes no "
                "--size or --output")};
        options.Mode = TComposeMode::Apply;
        return options;
    }
    if (monitors)
        throw TUsageError{QStringLiteral("--monitors goes with --apply")};
    if (!haveSize)
        throw TUsageError{QStringLiteral("--size is required")};
    if (options.Output.isEmpty())
        throw TUsageError{QStringLiteral("--output is required")};
    return options;
}

QString ComposeHelpText() {
    return QStringLiteral(
               "Usage: tapestrix-compose --size WIDTHxHEIGHT [--foreground FILE]\n"
               "                         [--background FILE|COLOUR] [--tile] --output FILE.bmp\n"
               "       tapestrix-compose --apply [--foreground FILE] [--background FILE|COLOUR] "
               "[--tile]\n"
               "                         [--monitors each|span]\n"
               "       tapestrix-compose --list-monitors\n"
               "       tapestrix-compose --help | --version\n"
               "\n"
               "Composes a wallpaper exactly as Tapestrix does and writes it as a 24-bit BMP file, "
               "or\n"
               "with --apply makes it the desktop wallpaper.\n"
               "\n"
               "  --size WIDTHxHEIGHT   size of the picture made, in pixels (for example "
               "1920x1080)\n"
               "  --foreground FILE     picture scaled to the largest size that fits with its\n"
               "                        proportions kept, and centred\n"
               "  --background VALUE    what a preset's background holds: a picture file, or a\n"
               "                        colour text \"#\" + hexadecimal colour value, red in the "
               "low\n"
               "                        byte (\"#FF\" red, \"#FF0000\" blue, \"#8000000F\" the "
               "button\n"
               "                        face colour); absent or empty means black\n"
               "  --tile                repeat the background picture at its own size from the\n"
               "                        top-left corner instead of stretching it to the whole "
               "size\n"
               "  --output FILE.bmp     the file to write (replaced when it exists)\n"
               "  --apply               compose at the screen's size (each monitor's, see "
               "--monitors),\n"
               "                        write the per-user wallpaper file and set it as the "
               "desktop\n"
               "                        wallpaper, printing the file's path; needs a display, "
               "takes\n"
               "                        no --size or --output\n"
               "  --monitors each|span  with --apply and several monitors: each monitor gets the\n"
               "                        composition at its own size (each, the default), or one\n"
               "                        composition of the whole desktop is shared out (span)\n"
               "  --list-monitors       print the monitors, left to right: name, size and place "
               "in\n"
               "                        physical pixels, scale, and which is the primary one\n"
               "  --quiet               no progress line (it is shown only when stderr is a "
               "terminal)\n"
               "  --help                this text\n"
               "  --version             print the version and exit\n"
               "\n"
               "Picture formats, each read by its content (the extension decides only where the\n"
               "content has no signature):\n"
               "  %1\n"
               "\n"
               "Without a window system the offscreen platform is used, so it runs from scripts "
               "and\n"
               "cron jobs. Exit status: 0 when the file was written, 1 on an error (the message "
               "goes to\n"
               "stderr), 2 for a command line that cannot be used.\n")
        .arg(PictureFormatNames());
}

QString ComposeVersionText() {
    return QStringLiteral("tapestrix-compose " TAPESTRIX_VERSION "\n");
}
