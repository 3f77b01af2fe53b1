// The toolkit's registry: a tree of keys holding named, typed values, kept in per-user and
// machine-wide configuration files.
//
// Mapping onto files (INI text, see RegistryFile.h):
//   <root>\Software\<Vendor>\<App>\<Sub>\...   ->   <root dir>/<Vendor>/<App>.conf, section
//   [Sub\...]
// The leading "Software" is optional. The key "Software\Halvern\Tapestrix" under
// HKEY_CURRENT_USER is $XDG_CONFIG_HOME/Halvern/Tapestrix.conf (~/.config when unset); its values
// are the lines before the first section, its subkeys the sections. HKEY_LOCAL_MACHINE is the
// system configuration directory /etc/xdg, which only root may write. Keys above <App>
// ("Software", "Software\<Vendor>") are folders: they exist when their folder does and hold no
// values.
//
// Values keep their type across runs: strings (REG_SZ) stay strings, binary values (REG_BINARY)
// keep their exact bytes and length. A value of any other form found in a file reports REG_NONE,
// reads as absent through the typed readers and is written back unchanged.
//
// Every change reaches the disk before the call returns: under the folder's lock the file is read,
// changed and written anew (new file, fsync, rename, fsync of the folder), so readers see the old
// or the new file, never a part of one; a failed write leaves what was stored before intact and
// is returned or raised. A damaged file is read as far as it goes; the first change keeps a copy
// of it as "<file>.corrupt".
#pragma once

#include "toolkit/SysUtils.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

TAPESTRIX_EXCEPTION(ERegistryException, Exception);

// ---------------------------------------------------------------------------------------------
// Handle-level calls, shaped like the operating system's registry functions.

struct TRegKeyData;
using HKEY = TRegKeyData*;
using REGSAM = uint32_t;
using LONG = int32_t;
using DWORD = uint32_t;

extern const HKEY HKEY_CURRENT_USER;
extern const HKEY HKEY_LOCAL_MACHINE;

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_WRITE_FAULT = 29;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;

// Creates the key (and the folders and file it needs) or opens it when it exists. Fails with
// ERROR_ACCESS_DENIED when it cannot be created or, asked for write access, cannot be written.
LONG RegCreateKeyEx(HKEY key, const QString& subKey, REGSAM access, HKEY* result);
// Opens an existing key; ERROR_FILE_NOT_FOUND when it does not exist. With write access the key
// must be writable.
LONG RegOpenKeyEx(HKEY key, const QString& subKey, REGSAM access, HKEY* result);
// Writes a value: REG_SZ takes UTF-8 text (up to the first NUL), REG_BINARY the bytes as given.
// ERROR_ACCESS_DENIED on a key opened without KEY_SET_VALUE, ERROR_WRITE_FAULT when the file
// could not be written.
LONG RegSetValueEx(HKEY key, const QString& valueName, DWORD type, const void* data, DWORD size);
// Reads a value. type and size may be null. With data null, only the type and the size are
// returned. When *size is smaller than the value, ERROR_MORE_DATA and *size := the size needed.
// REG_SZ data comes as UTF-8 with a terminating NUL. A value of unknown form reports REG_NONE and
// size 0.
LONG RegQueryValueEx(HKEY key, const QString& valueName, DWORD* type, void* data, DWORD* size);
LONG RegDeleteValue(HKEY key, const QString& valueName);
// Deletes a key with every subkey and value it holds. Folder keys cannot be deleted.
LONG RegDeleteTree(HKEY key, const QString& subKey);
LONG RegCloseKey(HKEY key);

// The names of a key's subkeys and values, sorted.
LONG RegEnumKeyNames(HKEY key, QStringList* names);
LONG RegEnumValueNames(HKEY key, QStringList* names);

// The folder that holds a root's files. The default for HKEY_CURRENT_USER is $XDG_CONFIG_HOME
// (or ~/.config), for HKEY_LOCAL_MACHINE /etc/xdg. An override (tests, private setups) replaces
// it; an empty text restores the default.
QString RegistryRootDir(HKEY root);
void SetRegistryRootDir(HKEY root, const QString& dir);

// A text saying why the last failing call on this thread failed (file and reason), for messages.
QString RegistryLastErrorText();

// ---------------------------------------------------------------------------------------------
// Object-level access.

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
    void SetRootKey(HKEY root); // closes the open key
    REGSAM Access() const { return FAccess; }
    void SetAccess(REGSAM access) { FAccess = access; }
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
    bool HasSubKeys() const { return !GetKeyNames().isEmpty(); }

    // Values of the open key (of the root when none is open).
    bool ValueExists(const QString& name) const;
    TRegDataType GetDataType(const QString& name) const; // rdUnknown when absent too
    int GetDataSize(const QString& name) const;          // bytes; -1 when absent
    QString ReadString(const QString& name) const;       // empty when absent or not a string
    void WriteString(const QString& name, const QString& value);
    std::optional<QByteArray> ReadBinaryData(const QString& name) const; // binary values only
    void WriteBinaryData(const QString& name, const QByteArray& data);
    bool DeleteValue(const QString& name); // false when it was absent or could not be deleted

protected:
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
class TRegIniFile : public TRegistry {
public:
    explicit TRegIniFile(const QString& fileName, HKEY root = HKEY_CURRENT_USER);

    QString FileName() const { return FFileName; }

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

    QString FFileName;
};
