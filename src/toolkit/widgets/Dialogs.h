// The file-open dialog as the toolkit's non-visual component: a file name that stays after the
// dialog has closed, an initial folder, a filter in the toolkit's "Text|patterns|Text|patterns"
// form and options. Execute runs the desktop's dialog; tests replace it.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

enum class TOpenOption {
    ofPathMustExist = 1 << 0,
    ofFileMustExist = 1 << 1,
    ofEnableSizing = 1 << 2,
    ofDontAddToRecent = 1 << 3,
};

class TOpenDialog {
public:
    TOpenDialog() = default;

    QString FileName() const { return FFileName; }
    void SetFileName(const QString& name) { FFileName = name; }
    QString InitialDir() const { return FInitialDir; }
    void SetInitialDir(const QString& dir) { FInitialDir = dir; }
    QString Filter() const { return FFilter; }
    void SetFilter(const QString& filter) { FFilter = filter; }
    int FilterIndex() const { return FFilterIndex; }
    void SetFilterIndex(int index) { FFilterIndex = index; }
    int Options() const { return FOptions; }
    void SetOptions(int options) { FOptions = options; }
    bool HasOption(TOpenOption option) const { return (FOptions & int(option)) != 0; }
    QString Title() const { return FTitle; }
    void SetTitle(const QString& title) { FTitle = title; }

    // Shows the dialog; true and FileName() set when the user chose a file, false when cancelled
    // (FileName() unchanged then).
    bool Execute(QWidget* parent = nullptr);

    // The Qt name filters of the toolkit filter: "Pictures (*.bmp *.jpg)", ...
    static QStringList NameFilters(const QString& filter);

    // Replaces the desktop dialog for every TOpenDialog (tests): the function gets the dialog,
    // may set its file name and returns whether a file was chosen. Empty restores the default.
    using TExecuteHook = std::function<bool(TOpenDialog& dialog)>;
    static void SetExecuteHook(TExecuteHook hook);

private:
    QString FFileName;
    QString FInitialDir;
    QString FFilter;
    QString FTitle;
    int FFilterIndex = 1;
    int FOptions = 0;
};
