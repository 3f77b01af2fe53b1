// The main window: the foreground and background editors, the preview, apply and stop commands
// with the status poll, the preset list, the settings store and the automation.
//
// The layout lives in MainForm.ui; every control is a member under its design name (Image1,
// BtnPreview, StringGrid1, ...). The window is created hidden; its creation handler FormCreate
// runs in the constructor and reads the settings, the presets and the "Auto start" switch, and
// carries out an automatic start. Closing the window only hides it (after the settings have been
// written); the program ends through BtnExitClick.
#pragma once

#include "mainwindow/Settings.h"
#include "toolkit/SysUtils.h"
#include "toolkit/widgets/Dialogs.h"
#include "toolkit/widgets/Forms.h"
#include "ui_MainForm.h"
#include "worker/MonitorWallpaper.h"
#include "worker/Preset.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <random>
#include <vector>

class BackBack;
class QTimer;
class TMonitorWatcher;
class TFormSaver;
struct TRect;
enum class TProgressStage;

class TForm1 : public QWidget, public Ui::TForm1 {
    Q_OBJECT
public:
    // Reads whether the program was started with "/autostart" from the application's arguments.
    explicit TForm1(QWidget* parent = nullptr);
    // startedWithAutoStart: the first program argument was exactly "/autostart".
    explicit TForm1(bool startedWithAutoStart, QWidget* parent = nullptr);
    ~TForm1() override;

    // True when the first argument after the program name is exactly "/autostart".
    static bool IsAutoStartCommandLine(const QStringList& arguments);

    // Components without a window.
    TOpenDialog OpenDialog1;
    TOpenDialog OpenDialog2;
    QTimer* Timer1 = nullptr; // status poll, 100 ms
    QTimer* Timer2 = nullptr; // automation check, 15 s
    TFormSaver* FormSaver1 = nullptr;

    // --- Form events
    void FormCreate(QObject* Sender);
    // Writes every setting and sets Action to hide. Registry errors propagate.
    void FormClose(QObject* Sender, TCloseAction& Action);
    void FormDestroy(QObject* Sender);
    // Writes the settings and the window placement, as the window's destruction at the end of
    // the program does (also when the session ends without Exit). A failure of either is
    // reported and does not keep the other from being written.
    void SaveState();

    // --- Editors, preview, apply, stop
    void BtnBrowseFClick(QObject* Sender);
    void BtnBrowseBClick(QObject* Sender);
    void BtnClearForeClick(QObject* Sender);
    void BtnClearBackClick(QObject* Sender);
    void DisplayColor();
    void ColorBox1Change(QObject* Sender);
    void ColorBox1CloseUp(QObject* Sender);
    void CopyAddress1Click(QObject* Sender);
    void MenuItem3Click(QObject* Sender);
    void BtnPreviewClick(QObject* Sender);
    void BtnSetClick(QObject* Sender);
    void BitBtn5Click(QObject* Sender);
    void Timer1Timer(QObject* Sender);
    void Image1Progress(TObject* Sender, TProgressStage Stage, uint8_t PercentDone, bool RedrawNow,
                        const TRect& R, const QString& Msg);
    void Panel2Resize(QObject* Sender);
    void Hidemainwindow1Click(QObject* Sender);
    // Writes the settings, stops a drawing that still runs (waiting for it, so that the
    // wallpaper file is never cut short) and ends the application.
    void BtnExitClick(QObject* Sender);
    void BtnAboutClick(QObject* Sender);

    // --- Preset list
    void RefreshPresetGrid();
    void SelectPresetRow(int R);
    void SelectNoPreset();
    void BitBtn6Click(QObject* Sender);          // Add
    void BitBtn7Click(QObject* Sender);          // Delete
    void BtnUpClick(QObject* Sender);            // Up
    void BitBtn1Click(QObject* Sender);          // Down
    void BtnUseClick(QObject* Sender);           // Use
    void BtnUseAndPreviewClick(QObject* Sender); // Use and preview

    // --- Automation
    void Timer2Timer(QObject* Sender);
    // Chooses the next (or a random) preset and starts applying it. A drawing that runs is
    // stopped and freed first, so the command always takes effect.
    void ChangeBackgroundNow();
    void Chengebackgroundnow1Click(QObject* Sender);
    // The monitors changed: the wallpaper set last (by Apply or a change) is set again with the
    // same presets and the same mode, for the monitors there are now.
    void MonitorsChanged();
    // The monitors' mode chosen beside the automation options.
    TMonitorMode MonitorMode() const;

    // Shows the window in front with the keyboard focus (the tray's "Show main window").
    void ShowInFront();

    // The editors' state.
    QString ForegroundPath() const { return OpenDialog1.FileName(); }
    QString BackgroundPath() const { return OpenDialog2.FileName(); }
    // The preset the editors describe: the background path, or the colour text in colour mode.
    TPreset CurrentPreset() const;
    // What a save writes: the editors, the options, the fields and the preset list.
    TSettings CurrentSettings() const;
    // The settings key, taken from the placement saver.
    QString SettingsKey() const;
    bool StartedWithAutoStart() const { return FAutoStart; }

    // Fields.
    std::unique_ptr<BackBack> FBack; // the one drawing thread, or none
    TDateTime FLastChange = 0;
    QString FLastBrowse1;
    QString FLastBrowse2;
    std::vector<TPreset> FPresets;
    int32_t FLastImage = 0;
    int32_t FMaxPresetCount = 0;
    // The last desktop job's presets and mode; empty before the first.
    std::vector<TPreset> FLastPresets;
    TMonitorMode FLastMode = TMonitorMode::Each;
    TMonitorWatcher* FMonitorWatcher = nullptr;

    // The clock for FLastChange and the automation (local date-time); tests make it step.
    static void SetClock(std::function<TDateTime()> clock); // empty restores Now
    static TDateTime ClockNow();
    // The uniform integer generator for the random order: a value in [0, n). Tests replace it.
    void SetRandomSource(std::function<int(int n)> random);

    // The settings key the window's placement saver is given.
    static const QString kSettingsKey;

    // Folder part of a path (up to and including the last '/'; empty when there is none) and
    // the name after it.
    static QString FolderPart(const QString& path);
    static QString NamePart(const QString& path);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Init();
    void SetUpControls();
    void ConnectEvents();
    void CreateFormSaver();
    // Runs the close handlers (the window's and the placement saver's) with the action.
    void DoClose(TCloseAction& action);
    // Stops, waits for and frees the drawing thread; errors are swallowed.
    void StopAndFreeThread();
    void WaitForStoppedThread();
    void StartThread(const TPreset& preset, bool preview);
    void StartDesktopThread(const std::vector<TPreset>& presets, TMonitorMode mode);
    void AutomaticStart();
    bool MatchesEditors(const TPreset& preset) const;
    // The stored options into their controls and fields (the pictures and presets are restored
    // by FormCreate itself).
    void ApplyOptions(const TSettings& settings);
    void LoadPicture(TImageView* view, const QString& path);
    // Loads a picture the settings name; a failure shows "Error loading <path>: <reason>".
    void LoadRestoredPicture(TImageView* view, const QString& path);
    int RandomIndex(int n);
    void PopUp(QMenu* menu, QWidget* widget, const QPoint& pos);

    std::vector<QMetaObject::Connection> FConnections; // the handlers' connections
    bool FAutoStart = false;
    bool FDestroyed = false;
    std::mt19937 FRandomEngine;
    std::function<int(int)> FRandom;
};
