// File names on tapestrix-compose's command line that are not valid UTF-8.
//
// Qt 6 holds file names as text and turns text into a file name's bytes as UTF-8, whatever the
// locale says: a name that is not valid UTF-8 (a file from an older Latin-1 system, such as the
// bytes "\xE9t\xE9.jpg") comes out of QString with U+FFFD in place of each stray byte and names
// another file. Such a name on the command line is reached through a symbolic link with a UTF-8
// name in a private folder of this run: a link to the picture that keeps its extension (which
// chooses the decoder), or, for the output, a link to its folder, into which the result is written
// under a UTF-8 name and then renamed to its own.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class TByteNames {
public:
    // The arguments after the program name, as text; each file name that is not valid UTF-8 (the
    // values of --foreground, --background and --output) replaced by its link.
    QStringList Arguments(int argc, char** argv);
    // After the output was written: gives it its own name. False with *error set when that fails
    // (the written file is removed then).
    bool FinishOutput(QString* error);
    // `text` with every link replaced by the name it stands for, as well as it can be shown.
    QString Shown(QString text) const;

private:
    QString Input(const QByteArray& name);
    QString Output(const QByteArray& name);
    QString Link(const QByteArray& target, const QString& name);

    std::unique_ptr<QTemporaryDir> FDir;
    std::vector<std::pair<QString, QByteArray>> FLinks; // link, the name it stands for
    QByteArray FOutputFolder, FOutputTemporary, FOutputName;
};
