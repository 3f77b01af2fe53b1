// The text form of one registry file: a key's values and all its subkeys.
//
//   LastChange=@Binary(0000000040e2e340)      values of the key itself come first
//
//   [Options]                                 a subkey; nested ones are [Preset0\Deeper]
//   Foreground=/home/me/Pictures/a b.jpg      strings as they are, UTF-8
//   Padded="  text  "                         quoted when they begin or end with a blank or "@"
//   Lines=one\ntwo                            \\ \n \r \t \" and \xHH escapes
//
// Names escape "%", "=", "[", "]", ";", "#", quotes, control characters and blanks at their ends
// as %HH. Lines that begin with ";" or "#" are comments. Anything after "=" that begins with "@"
// and is not @Binary(<hex>) is a value of unknown type, kept as it was written. A file that does
// not follow this form is read as far as it can be and marked damaged; lines that cannot be
// placed are skipped.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

struct TRegFileValue {
    enum class Kind { String, Binary, Other };
    Kind Type = Kind::String;
    QString Text;     // String: the text; Other: the text after "=" as written
    QByteArray Bytes; // Binary: the data
    bool operator==(const TRegFileValue&) const = default;
};

struct TRegFileData {
    // Section path ("" for the key itself, "Options", "Preset0\\Deeper") -> value name -> value.
    // A section may be empty: the subkey exists without values.
    QMap<QString, QMap<QString, TRegFileValue>> Sections;
    bool Damaged = false; // the text did not follow the form throughout
    // Equal content; the key's own values are there whether or not the map holds them.
    bool operator==(const TRegFileData& other) const;
};

TRegFileData ParseRegFile(const QByteArray& text);
QByteArray SerializeRegFile(const TRegFileData& data);

// Reads a file; a missing file is an empty one. False (with a reason) when it cannot be read.
bool LoadRegFile(const QString& path, TRegFileData* data, QByteArray* raw, QString* why);
// Replaces the file's content atomically and durably: a new file in the same folder is written,
// synced and renamed over the old one, then the folder is synced. False (with a reason) when any
// step fails; the old file is then untouched.
bool SaveFileAtomically(const QString& path, const QByteArray& content, QString* why);
// Makes a rename, a new file or a deletion in the folder durable.
void SyncFolder(const QString& dir);
