// The toolkit's registry at the level of objects: TRegistry (one open key at a time) and
// TRegIniFile (a key's subkeys as sections of settings, read once and saved as a whole). The
// handle calls below them, the mapping onto files and the durability of writes are described in
// RegistryHandles.h.
#pragma once

#include "toolkit/SysUtils.h"
#include "toolkit/registry/RegistryHandles.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

TAPESTRIX_EXCEPTION(ERegistryException, Exception);

enum class TRegDataType { rdUnknown, rdString, rdBinary };

// One open key at a time below a root key. Paths that begin with a backslash are taken from the
// root; others from the open key when there is one. Readers treat a value of another type as
// absent; writers raise ERegistryException when the data cannot be stored.
class TRegistry : public TObject {
public:
    explicit TRegistry(HKEY root = HKEY_CURRENT_USER, REGSAM access = KEY_ALL_ACCESS);
    ~TRegistry() override;
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    HKEY RootKey() const { return FRootKey; }
    HKEY CurrentKey() const { return FCurrentKey; }
    QString CurrentPath() const { return FCurrentPath; }

    // Opens (creating when allowed) the key with the object's access; false when it cannot.
    bool OpenKey(const QString& key, bool canCreate);
    bool OpenKeyReadOnly(const QString& key);
    void CloseKey();
    // Creates a key without opening it; raises ERegistryException when it cannot be created.
    void CreateKey(const QString& key);
    bool KeyExists(const QString& key) const;
    // Deletes a key with everything below it; false when it is missing or cannot be deleted.
    bool DeleteKey(const QString& key);
    QStringList GetKeyNames() const;
    QStringList GetValueNames() const;

    // Values of the open key (of the root when none is open).
    bool ValueExists(const QString& name) const;
    TRegDataType GetDataType(const QString& name) const; // rdUnknown when absent too
    int GetDataSize(const QString& name) const;          // bytes; -1 when absent
    QString ReadString(const QString& name) const;       // empty when absent or not a string
    void WriteString(const QString& name, const QString& value);
    std::optional<QByteArray> ReadBinaryData(const QString& name) const; // binary values only
    void WriteBinaryData(const QString& name, const QByteArray& data);

protected:
    HKEY Key() const { return FCurrentKey ? FCurrentKey : FRootKey; } // the open key, or the root
    HKEY BaseFor(const QString& key) const;
    QString JoinPath(const QString& key) const;

private:
    HKEY FRootKey;
    HKEY FCurrentKey = nullptr;
    QString FCurrentPath;
    REGSAM FAccess;
};

// Sections are subkeys of the key opened at construction, idents are their string values.
// Integers are signed decimal text, booleans "0" and "1". Reading a text that is not a valid
// integer, or a value of another type, yields the default. When the key cannot be opened for
// writing it is opened read-only; when it cannot be opened at all, reads give the defaults and
// writes raise.
//
// The key's file is read once, at construction; reads, through these calls and through
// TRegistry's on the key and the keys below it, see it as it was then with this object's changes
// on top. The changes are held in memory until UpdateFile writes them all as one atomic, durable
// replacement of the file, made under the folder's lock on top of the file as it is then. A
// write that cannot succeed (the file cannot be written) raises at once; one that fails when the
// file is written raises from UpdateFile. Changes still held at destruction are written then,
// and a failure is reported on standard error, since a destructor cannot raise.
class TRegIniFile : public TRegistry {
public:
    explicit TRegIniFile(const QString& fileName, HKEY root = HKEY_CURRENT_USER);
    ~TRegIniFile() override;

    // Writes the held changes as one replacement of the file; nothing when there are none.
    // Raises ERegistryException naming the file and the cause when they cannot be written; what
    // was stored stays as it was, and the changes are dropped: reads then see the file as it is.
    void UpdateFile();

    using TRegistry::DeleteKey;
    using TRegistry::ReadString;
    using TRegistry::WriteString;
    QString ReadString(const QString& section, const QString& ident,
                       const QString& defaultValue) const;
    int32_t ReadInteger(const QString& section, const QString& ident, int32_t defaultValue) const;
    bool ReadBool(const QString& section, const QString& ident, bool defaultValue) const;
    void WriteString(const QString& section, const QString& ident, const QString& value);
    void WriteInteger(const QString& section, const QString& ident, int32_t value);
    void WriteBool(const QString& section, const QString& ident, bool value);

    // The names of the sections, and of the idents of one section.
    QStringList ReadSections() const;
    QStringList ReadSection(const QString& section) const;
    // Deletes the section with everything it holds; a missing section is no error.
    void EraseSection(const QString& section);
    // Deletes one value; a missing value is no error.
    void DeleteKey(const QString& section, const QString& ident);

private:
    HKEY SectionBase(QString* section) const;
    // The names that enumerate (the subkeys' or the values') finds under a section.
    QStringList Names(QString section, LONG (*enumerate)(HKEY, QStringList*)) const;
    QString SaveFailedMessage() const;

    QString FFileName;
    HKEY FFileKey = nullptr; // the key of the file, holding the changes; null when unopened
};
