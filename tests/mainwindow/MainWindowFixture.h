// Shared set-up of the main window tests: private settings and data folders, a desktop that
// records the wallpapers it is given, a small screen, scripted file dialogs, a clock the test
// moves, and the error display and terminate request recorded instead of acted on.
#pragma once

#include "mainwindow/MainForm.h"
#include "platform/DesktopWallpaper.h"
#include "support/Doubles.h"
#include "support/Pictures.h"
#include "toolkit/Graphics.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace mainwindowtest {

// Records the wallpaper files it is asked to set, with a copy of each file's bytes.
using testsupport::RecordingDesktop;
using testsupport::WriteBmp;
using testsupport::WritePatternBmp;

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new main window over the current settings (started with "/autostart" when asked);
    // its timers are stopped so that the test drives the poll and the automation itself.
    std::unique_ptr<TForm1> NewForm(bool autoStart = false);
    // Destroys a window as the program does at its end (writing the settings once more).
    void Destroy(std::unique_ptr<TForm1>& form);

    // Polls (Timer1Timer) until the window has no drawing thread; false on timeout.
    bool PollUntilIdle(TForm1& form, int timeoutMs = 20000);
    // Lets the event loop run for a while.
    static void ProcessEvents(int ms = 0);

    // The next file dialogs answer with these files in turn; an empty text cancels.
    void QueueDialogAnswer(const QString& file) { FDialogAnswers.push_back(file); }

    // The settings file and direct access to what it holds (as the next start reads it).
    QString SettingsFile() const;
    QString Read(const QString& section, const QString& ident) const;
    bool HasSection(const QString& section) const;
    void Write(const QString& section, const QString& ident, const QString& value);
    void WritePreset(int index, const QString& fg, const QString& bg, bool tile);
    QString AutostartFile() const;

    QTemporaryDir FDir;
    QString FConfigHome, FDataHome, FPictures;
    std::shared_ptr<RecordingDesktop> FDesktop;
    QStringList FErrors;      // messages the default error display was given
    int FTerminations = 0;    // terminate requests
    QStringList FDialogDirs;  // the initial folder each dialog opened with
    QStringList FDialogNames; // the file name each dialog opened with
    std::deque<QString> FDialogAnswers;
    double FClock = 45000.5; // the window's clock, in days
};

} // namespace mainwindowtest
