#include "toolkit/widgets/Dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace {

TOpenDialog::TExecuteHook& ExecuteHook() {
    static TOpenDialog::TExecuteHook hook;
    return hook;
}

} // namespace

void TOpenDialog::SetExecuteHook(TExecuteHook hook) {
    ExecuteHook() = std::move(hook);
}

QStringList TOpenDialog::NameFilters(const QString& filter) {
    QStringList result;
    const QStringList parts = filter.split(QLatin1Char('|'));
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        QString text = parts[i];
        // The text usually repeats the patterns in brackets already; Qt reads the patterns from
        // the last brackets of the entry.
        if (!text.endsWith(QLatin1Char(')')))
            text += QStringLiteral(" (") + patterns + QLatin1Char(')');
        else
            text = text.left(text.lastIndexOf(QLatin1Char('('))) + QLatin1Char('(') + patterns +
                   QLatin1Char(')');
        result << text;
    }
    return result;
}

bool TOpenDialog::Execute(QWidget* parent) {
    if (ExecuteHook())
        return ExecuteHook()(*this);

    QFileDialog dialog(parent, FTitle);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(HasOption(TOpenOption::ofFileMustExist) ? QFileDialog::ExistingFile
                                                               : QFileDialog::AnyFile);
    dialog.setSizeGripEnabled(HasOption(TOpenOption::ofEnableSizing));
    const QStringList filters = NameFilters(FFilter);
    dialog.setNameFilters(filters);
    if (FFilterIndex >= 1 && FFilterIndex <= filters.size())
        dialog.selectNameFilter(filters[FFilterIndex - 1]);
    QString dir = FInitialDir;
    if (dir.isEmpty() && !FFileName.isEmpty())
        dir = QFileInfo(FFileName).absolutePath();
    if (!dir.isEmpty() && QDir(dir).exists())
        dialog.setDirectory(dir);
    if (!FFileName.isEmpty())
        dialog.selectFile(QFileInfo(FFileName).fileName());
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return false;
    if (HasOption(TOpenOption::ofPathMustExist) && !QFileInfo(files.first()).dir().exists())
        return false;
    FFileName = QDir::toNativeSeparators(files.first());
    FFilterIndex = int(filters.indexOf(dialog.selectedNameFilter())) + 1;
    return true;
}
