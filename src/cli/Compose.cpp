// tapestrix-compose: composes a wallpaper the way the program does, for scripts, cron jobs,
// benchmarks and checks. See ComposeOptions.h for the command line.
#include "cli/ByteNames.h"
#include "cli/ComposeOptions.h"

#include "imaging/Hv3DException.h"
#include "imaging/PictureCompose.h"
#include "imaging/Wallpaper.h"
#include "platform/Screen.h"
#include "toolkit/Graphics.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

void Print(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

bool IsMetafile(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("emf") || suffix == QLatin1String("wmf");
}

bool NeedsGuiApplication(const TComposeOptions& options) {
    if (options.Mode != TComposeMode::Compose)
        return true;
    if (IsColorText(options.Background)) {
        bool ok = false;
        // A system colour has the top bit set; a text that does not convert fails later.
        const uint32_t value = options.Background.mid(1).toUInt(&ok, 16);
        return !ok || (value & 0x80000000u) != 0;
    }
    return IsMetafile(options.Foreground) || IsMetafile(options.Background);
}

// One status line on stderr, rewritten in place while the work runs.
class TProgressLine {
public:
    TProgressLine(TStatusText* status, TProgressVar* progress, bool enabled)
        : FStatus(status), FProgress(progress), FEnabled(enabled) {
        if (FEnabled)
            FThread = std::thread([this] { Run(); });
    }
    ~TProgressLine() { Finish(); }

    // Draws the last state and ends the line.
    void Finish() {
        if (!FThread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(FMutex);
            FStop = true;
        }
        FWake.notify_all();
        FThread.join();
        Draw();
        Print(stderr, QStringLiteral("\n"));
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(FMutex);
        while (!FStop) {
            Draw();
            FWake.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    void Draw() {
        Print(stderr,
              QStringLiteral("\r\x1b[K%1 %2%").arg(FStatus->Get()).arg(FProgress->load(), 3));
    }

    TStatusText* FStatus;
    TProgressVar* FProgress;
    bool FEnabled;
    std::thread FThread;
    std::mutex FMutex;
    std::condition_variable FWake;
    bool FStop = false;
};

// Loads a picture file by its extension with the drawing thread's status texts: read, and its
// header parsed (a JPEG is decoded when it is drawn or read row by row). Status and Progress may
// be null.
std::unique_ptr<TPicture> LoadPicture(const QString& path, TStatusText* status,
                                      TProgressVar* progress) {
    auto picture = std::make_unique<TPicture>();
    picture->OnProgress = [status, progress](TObject*, TProgressStage stage, uint8_t percent, bool,
                                             const TRect&, const QString& message) {
        if (status)
            status->Set((stage == TProgressStage::psStarting  ? QStringLiteral("Opening file... ")
                         : stage == TProgressStage::psRunning ? QStringLiteral("Loading image... ")
                                                              : QStringLiteral("Image loaded. ")) +
                        message);
        if (progress)
            progress->store(percent);
    };
    if (status)
        status->Set(QStringLiteral("Loading ") + path);
    picture->LoadFromFile(path);
    return picture;
}

} // namespace

int RunCompose(const TComposeOptions& options) {
    TStatusText status;
    TProgressVar progress{0};
    TCancelVar cancel{false};
    TProgressLine line(&status, &progress, !options.Quiet && isatty(STDERR_FILENO));

    // Colour: a background text starting with "#" is a colour text; anything else gives 0.
    const bool colourText = IsColorText(options.Background);
    const TColor colour = colourText ? TextToColor(options.Background) : TColor(0);
    const QString backgroundPath = colourText ? QString() : options.Background;

    std::unique_ptr<TPicture> foreground, background;
    if (!options.Foreground.isEmpty())
        foreground = LoadPicture(options.Foreground, &status, &progress);
    if (!backgroundPath.isEmpty())
        background = LoadPicture(backgroundPath, &status, &progress);
    TGraphic* foregroundGraphic = foreground ? foreground->Graphic() : nullptr;
    TGraphic* backgroundGraphic = background ? background->Graphic() : nullptr;

    // Each picture takes the road that suits it: decoded while it is resampled where it can be.
    const std::unique_ptr<TBitmap> image =
        ComposePictures(options.Width, options.Height, foregroundGraphic, backgroundGraphic,
                        options.Tile, colour, &status, &progress, &cancel);
    status.Set(QStringLiteral("Saving image to file..."));
    image->SaveToFile(options.Output);
    status.Set(QStringLiteral("Done."));
    return 0;
}

int main(int argc, char** argv) {
    TByteNames names;
    const QStringList arguments = names.Arguments(argc, argv);

    TComposeOptions options;
    try {
        options = ParseComposeOptions(arguments);
    } catch (const TUsageError& e) {
        Print(stderr, QStringLiteral("tapestrix-compose: %1\nTry \"tapestrix-compose --help\".\n")
                          .arg(e.Message));
        return 2;
    }
    if (options.Mode == TComposeMode::Help || options.Mode == TComposeMode::Version) {
        Print(stdout,
              options.Mode == TComposeMode::Help ? ComposeHelpText() : ComposeVersionText());
        return 0;
    }

    // Qt's own notes (such as the missing runtime folder under cron) are not this tool's output.
    if (qEnvironmentVariableIsEmpty("TAPESTRIX_QT_MESSAGES"))
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                Print(stderr, text + QLatin1Char('\n'));
        });
    // The GUI application object brings the system colours (the palette) and the fonts that
    // metafiles draw text with. Bitmaps, JPEG pictures and icons need neither, and starting a
    // platform costs more than some whole compositions, so it is made only when needed.
    std::unique_ptr<QCoreApplication> app;
    if (NeedsGuiApplication(options)) {
        // Composing needs no display: without one that Qt can reach, its offscreen platform does
        // (--apply then refuses, RunApply). The tools run later get the user's own setting back.
        const bool userPlatform = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
        const QByteArray userValue = qgetenv("QT_QPA_PLATFORM");
        qputenv("QT_QPA_PLATFORM", platformPluginList("offscreen"));
        {
            TPlatformStartGuard guard([](const QString& problems) {
                Print(stderr, QStringLiteral(
                                  "tapestrix-compose: no Qt platform plugin can be started: %1\n")
                                  .arg(problems));
            });
            app = std::make_unique<QGuiApplication>(argc, argv);
        }
        if (userPlatform)
            qputenv("QT_QPA_PLATFORM", userValue);
        else
            qunsetenv("QT_QPA_PLATFORM");
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    // Errors are printed once, below; the imaging errors' box has nothing to add here.
    SetHv3DPresenter([](const QString&) {});
    QString error;
    try {
        const int status = options.Mode == TComposeMode::Apply          ? RunApply(options)
                           : options.Mode == TComposeMode::ListMonitors ? RunListMonitors()
                                                                        : RunCompose(options);
        if (status != 0 || names.FinishOutput(&error))
            return status;
    } catch (const Exception& e) {
        error = e.Message();
    } catch (const std::exception& e) {
        error = QString::fromLocal8Bit(e.what());
    }
    Print(stderr, QStringLiteral("tapestrix-compose: %1\n").arg(names.Shown(error)));
    return 1;
}
