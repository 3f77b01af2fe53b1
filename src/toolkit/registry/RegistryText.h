// The content of one registry file (a key's values and all its subkeys) and its text form.
//
//   LastChange=@Binary(0000000040e2e340)      values of the key itself come first
//
//   [Options]                                 a subkey; nested ones are [Preset0\Deeper]
//   Foreground=/home/me/Pictures/a b.jpg      strings as they are, UTF-8
//   Padded="  text  "                         quoted when they begin or end with a blank or "@"
//   Lines=one\ntwo                            \\ \n \r \t \" and \xHH escapes
//
// Names escape "%", "=", "[", "]", ";", "#", quotes, control characters and blanks at their ends
// as %HH, and the byte order mark as %uFEFF. Lines that begin with ";" or "#" are comments.
// Anything after "=" that begins with "@" and is not @Binary(<hex>) is a value of unknown type,
// kept as it was written. A file that does not follow this form is read as far as it can be and
// marked damaged; lines that cannot be placed are skipped.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

struct TRegFileValue {
    enum class Kind { String, Binary, Other };
    Kind Type = Kind::String;
    QString Text;     // String: the text; Other: the text after "=" as written
    QByteArray Bytes; // Binary: the data
    bool operator==(const TRegFileValue&) const = default;

    static TRegFileValue String(const QString& text) { return {Kind::String, text, {}}; }
    static TRegFileValue Binary(const QByteArray& bytes) { return {Kind::Binary, {}, bytes}; }
};

struct TRegFileData {
    // Section path ("" for the key itself, "Options", "Preset0\\Deeper") -> value name -> value.
    // A section may be empty: the subkey exists without values.
    QMap<QString, QMap<QString, TRegFileValue>> Sections;
    bool Damaged = false; // the text did not follow the form throughout

    // Equal content; the key's own values are there whether or not the map holds them.
    bool operator==(const TRegFileData& other) const;
    // Whether the subkey exists: it has a section, or a subkey of it has one. "" always exists.
    bool HasSection(const QString& section) const;
    // The names of the subkeys directly below a section ("" for the key itself), sorted.
    QStringList ChildSections(const QString& section) const;
    // Removes the section and every subkey below it ("" empties the whole key); false when
    // there was nothing to remove.
    bool RemoveTree(const QString& section);
};

TRegFileData ParseRegFile(const QByteArray& text);
// Whatever the content, parsing what this writes gives that content back, with each text as
// StorableText makes it.
QByteArray SerializeRegFile(const TRegFileData& data);

// The text as the file gives it back: half of a surrogate pair, which UTF-8 cannot hold, is
// stored as the replacement character.
QString StorableText(const QString& text);
