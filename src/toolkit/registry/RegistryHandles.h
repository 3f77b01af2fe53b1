// The toolkit's registry at the level of key handles: calls shaped like the operating system's
// registry functions, over configuration files.
//
// Mapping onto files (INI text, see RegistryText.h):
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
// Every change reaches the disk before the call returns, as one atomic replacement of the file
// (RegistryFile.h), unless the key holds its changes (RegDeferWrites). A failed write leaves what
// was stored before intact and is returned. A damaged file is read as far as it goes; the first
// change keeps a copy of it as "<file>.corrupt". The file may be a symbolic link: its target is
// rewritten and the link stays.
#pragma once

#include "toolkit/registry/RegistryText.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

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
// ERROR_ACCESS_DENIED on a key opened without KEY_SET_VALUE or a file that cannot be written,
// ERROR_WRITE_FAULT when writing the file failed (for a key that holds its changes, RegFlushKey
// reports that).
LONG RegSetValueEx(HKEY key, const QString& valueName, DWORD type, const void* data, DWORD size);
// Reads a value. type and size may be null. With data null, only the type and the size are
// returned. When *size is smaller than the value, ERROR_MORE_DATA and *size := the size needed.
// REG_SZ data comes as UTF-8 with a terminating NUL. A value of unknown form reports REG_NONE and
// size 0.
LONG RegQueryValueEx(HKEY key, const QString& valueName, DWORD* type, void* data, DWORD* size);
LONG RegDeleteValue(HKEY key, const QString& valueName);
// Deletes a key with every subkey and value it holds. Folder keys cannot be deleted.
LONG RegDeleteTree(HKEY key, const QString& subKey);
// Holds the changes made through this key, and through the keys opened below it from now on,
// in memory: reads through them see the changes, and RegFlushKey writes them all as one
// replacement of the file. Only keys of a file (below <Vendor>\<App>) can hold changes.
LONG RegDeferWrites(HKEY key);
// Writes the changes the key holds; ERROR_WRITE_FAULT (or ERROR_ACCESS_DENIED) when they could
// not be written, which drops them. A key that holds none has nothing to do.
LONG RegFlushKey(HKEY key);
// Closing the last key that holds changes writes them, as RegFlushKey.
LONG RegCloseKey(HKEY key);

// The names of a key's subkeys and values, sorted.
LONG RegEnumKeyNames(HKEY key, QStringList* names);
LONG RegEnumValueNames(HKEY key, QStringList* names);

// Sets the folder that holds a root's files. The default for HKEY_CURRENT_USER is
// $XDG_CONFIG_HOME (or ~/.config), for HKEY_LOCAL_MACHINE /etc/xdg. An override (tests, private
// setups) replaces it; an empty text restores the default.
void SetRegistryRootDir(HKEY root, const QString& dir);

// A text saying why the last failing call on this thread failed (file and reason), for messages.
QString RegistryLastErrorText();

// The value as the file holds it, for TRegistry: nullopt when it is absent or the key invalid.
std::optional<TRegFileValue> RegQueryFileValue(HKEY key, const QString& valueName);
// REG_SZ, REG_BINARY, or REG_NONE for a value of unknown form or none.
DWORD RegTypeOf(const std::optional<TRegFileValue>& value);
// Writes a value as RegSetValueEx does.
LONG RegSetFileValue(HKEY key, const QString& valueName, const TRegFileValue& value);
