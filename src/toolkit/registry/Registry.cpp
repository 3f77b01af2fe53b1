#include "toolkit/registry/Registry.h"

#include "toolkit/registry/RegistryFile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

struct TRegKeyData {
    int Root;         // 0: the current user, 1: the local machine
    QStringList Path; // key names below the root, each one checked by SplitKeyPath
    bool Writable;    // opened with write access that was granted
};

namespace {

TRegKeyData gCurrentUser{0, {}, false};
TRegKeyData gLocalMachine{1, {}, false};

std::mutex gRootMutex;
QString gRootOverride[2];

thread_local QString gLastError;

constexpr int kLockWaitMs = 10000;

LONG Fail(LONG code, const QString& why) {
    gLastError = why;
    return code;
}

bool IsPredefined(HKEY key) {
    return key == &gCurrentUser || key == &gLocalMachine;
}

// Splits a key path at its backslashes. Names that would step outside the root's folder or
// cannot be file names ("." and "..", a slash, a NUL) make the whole path invalid.
bool SplitKeyPath(const QString& text, QStringList* parts) {
    const QStringList split = text.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    for (const QString& part : split) {
        if (part == QLatin1String(".") || part == QLatin1String("..") ||
            part.contains(QLatin1Char('/')) || part.contains(QChar(0)))
            return false;
    }
    *parts = split;
    return true;
}

bool ValidValueName(const QString& name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

QString RootDirOf(int root) {
    {
        std::lock_guard<std::mutex> lock(gRootMutex);
        if (!gRootOverride[root].isEmpty())
            return gRootOverride[root];
    }
    if (root == 0)
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QStringLiteral("/etc/xdg");
}

// Where a key lives: a folder (keys down to the vendor) or a section of a file.
struct Location {
    int Root = 0;
    QString Dir;     // the folder that is the key, or the folder holding the key's file
    QString File;    // empty for folder keys
    QString Section; // the section in the file; empty for the file's own values
    bool IsFolder() const { return File.isEmpty(); }
};

QStringList WithoutSoftware(QStringList parts) {
    if (!parts.isEmpty() &&
        parts.first().compare(QLatin1String("Software"), Qt::CaseInsensitive) == 0)
        parts.removeFirst();
    return parts;
}

Location Locate(const TRegKeyData& key) {
    const QStringList parts = WithoutSoftware(key.Path);
    const QString root = RootDirOf(key.Root);
    Location loc;
    loc.Root = key.Root;
    if (parts.isEmpty()) {
        loc.Dir = root;
        return loc;
    }
    loc.Dir = root + QLatin1Char('/') + parts[0];
    if (parts.size() >= 2) {
        loc.File = loc.Dir + QLatin1Char('/') + parts[1] + QLatin1String(".conf");
        loc.Section = parts.mid(2).join(QLatin1Char('\\'));
    }
    return loc;
}

QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

QString Shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

QString Errno() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Empty when the folder can take new files, else why not.
QString FolderProblem(const QString& dir) {
    if (::access(Native(dir).constData(), W_OK | X_OK) == 0)
        return QString();
    return QStringLiteral("%1: %2").arg(Shown(dir), Errno());
}

bool HasSection(const TRegFileData& data, const QString& section) {
    if (section.isEmpty() || data.Sections.contains(section))
        return true;
    const QString prefix = section + QLatin1Char('\\');
    for (auto it = data.Sections.cbegin(); it != data.Sections.cend(); ++it) {
        if (it.key().startsWith(prefix))
            return true;
    }
    return false;
}

// The file's content, or an empty one when it is missing or cannot be read (reads tolerate
// both; writes check on their own).
TRegFileData Read(const Location& loc) {
    TRegFileData data;
    if (!loc.IsFolder())
        LoadRegFile(loc.File, &data, nullptr, nullptr);
    return data;
}

bool Exists(const Location& loc) {
    if (loc.IsFolder())
        return QFileInfo(loc.Dir).isDir();
    if (!QFileInfo(loc.File).isFile())
        return false;
    return HasSection(Read(loc), loc.Section);
}

// Checks that the key's file can be written, creating its folders and the empty file when asked.
LONG EnsureWritable(const Location& loc, bool create) {
    if (create && !QDir().mkpath(loc.Dir))
        return Fail(ERROR_ACCESS_DENIED,
                    QStringLiteral("%1 cannot be created").arg(Shown(loc.Dir)));
    if (!QFileInfo(loc.Dir).isDir())
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("%1 does not exist").arg(Shown(loc.Dir)));
    const QString problem = FolderProblem(loc.Dir);
    if (!problem.isEmpty())
        return Fail(ERROR_ACCESS_DENIED, problem);
    if (loc.IsFolder())
        return ERROR_SUCCESS;
    const QFileInfo info(loc.File);
    if (!info.exists()) {
        if (!create)
            return Fail(ERROR_FILE_NOT_FOUND,
                        QStringLiteral("%1 does not exist").arg(Shown(loc.File)));
        // NewOnly never replaces a file that another process has just created.
        QFile file(loc.File);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            // The user's settings are the user's own; the machine's are for everyone to read.
            file.setPermissions(loc.Root == 0
                                    ? QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                    : QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ReadGroup | QFileDevice::ReadOther);
            file.close();
            SyncFolder(loc.Dir);
        } else if (!QFileInfo::exists(loc.File)) {
            return Fail(ERROR_ACCESS_DENIED, QStringLiteral("%1 cannot be created: %2")
                                                 .arg(Shown(loc.File), file.errorString()));
        }
    } else if (!info.isFile()) {
        return Fail(ERROR_ACCESS_DENIED, QStringLiteral("%1 is not a file").arg(Shown(loc.File)));
    }
    if (::access(Native(loc.File).constData(), R_OK | W_OK) != 0)
        return Fail(ERROR_ACCESS_DENIED, QStringLiteral("%1: %2").arg(Shown(loc.File), Errno()));
    return ERROR_SUCCESS;
}

// Holds an exclusive lock on a folder while the files in it are read and rewritten. The lock
// is the folder's own (flock on the open folder), so no lock file is left behind or synced.
class FolderLock {
public:
    explicit FolderLock(const QString& dir)
        : FFd(::open(Native(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (FFd < 0)
            return;
        QDeadlineTimer deadline(kLockWaitMs);
        while (::flock(FFd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired()) {
                ::close(FFd);
                FFd = -1;
                return;
            }
            QThread::msleep(5);
        }
    }
    ~FolderLock() {
        if (FFd >= 0)
            ::close(FFd); // closing releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool Locked() const { return FFd >= 0; }

private:
    int FFd;
};

// Lets edit change the key's file (edit may refuse with an error code) and writes the file back
// when anything changed, reading and writing under the folder's lock. A change that changes
// nothing writes nothing. A damaged file is first copied aside.
LONG Modify(const Location& loc, const std::function<LONG(TRegFileData&)>& edit) {
    LONG rc = EnsureWritable(loc, false);
    if (rc != ERROR_SUCCESS)
        return rc;
    TRegFileData data;
    QByteArray raw;
    QString why;
    if (!LoadRegFile(loc.File, &data, &raw, &why))
        return Fail(ERROR_ACCESS_DENIED, why);
    if (!data.Damaged) {
        // Most saves write what is already there: answer those without the lock and the disk.
        TRegFileData probe = data;
        rc = edit(probe);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (probe == data)
            return ERROR_SUCCESS;
    }
    const FolderLock lock(loc.Dir);
    if (!lock.Locked())
        return Fail(ERROR_ACCESS_DENIED,
                    QStringLiteral("%1 is locked by another program").arg(Shown(loc.Dir)));
    if (!LoadRegFile(loc.File, &data, &raw, &why)) // as it is now, under the lock
        return Fail(ERROR_ACCESS_DENIED, why);
    const TRegFileData before = data;
    rc = edit(data);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (data == before && !before.Damaged)
        return ERROR_SUCCESS;
    if (before.Damaged && !SaveFileAtomically(loc.File + QLatin1String(".corrupt"), raw, &why))
        return Fail(ERROR_WRITE_FAULT, why);
    if (!SaveFileAtomically(loc.File, SerializeRegFile(data), &why))
        return Fail(ERROR_WRITE_FAULT, why);
    return ERROR_SUCCESS;
}

// create: make the key when it is missing; materialise: write an empty section for a new subkey
// at once (a value written into it right away makes the section anyway).
LONG NewHandle(HKEY base, const QString& subKey, REGSAM access, bool create, HKEY* result,
               bool materialise = true) {
    if (!result)
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("no place for the key"));
    *result = nullptr;
    if (!base)
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    QStringList parts;
    if (!SplitKeyPath(subKey, &parts))
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("invalid key name '%1'").arg(subKey));
    TRegKeyData data{base->Root, base->Path + parts, false};
    const Location loc = Locate(data);
    const bool wantsWrite = (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
    if (create) {
        LONG rc = EnsureWritable(loc, true);
        if (rc == ERROR_SUCCESS && materialise && !loc.IsFolder() && !loc.Section.isEmpty()) {
            rc = Modify(loc, [&loc](TRegFileData& file) {
                if (!HasSection(file, loc.Section))
                    file.Sections[loc.Section];
                return ERROR_SUCCESS;
            });
        }
        if (rc != ERROR_SUCCESS)
            return rc;
    } else {
        if (!Exists(loc))
            return Fail(
                ERROR_FILE_NOT_FOUND,
                QStringLiteral("key '%1' does not exist").arg(data.Path.join(QLatin1Char('\\'))));
        if (wantsWrite) {
            const LONG rc = EnsureWritable(loc, false);
            if (rc != ERROR_SUCCESS)
                return rc;
        }
    }
    data.Writable = wantsWrite;
    *result = new TRegKeyData(data);
    return ERROR_SUCCESS;
}

std::optional<TRegFileValue> QueryValue(HKEY key, const QString& name) {
    if (!key || !ValidValueName(name))
        return std::nullopt;
    const Location loc = Locate(*key);
    if (loc.IsFolder())
        return std::nullopt;
    const TRegFileData data = Read(loc);
    const auto section = data.Sections.constFind(loc.Section);
    if (section == data.Sections.cend())
        return std::nullopt;
    const auto value = section->constFind(name);
    if (value == section->cend())
        return std::nullopt;
    return *value;
}

DWORD TypeOf(const TRegFileValue& value) {
    switch (value.Type) {
    case TRegFileValue::Kind::String:
        return REG_SZ;
    case TRegFileValue::Kind::Binary:
        return REG_BINARY;
    case TRegFileValue::Kind::Other:
        break;
    }
    return REG_NONE;
}

LONG SetValue(HKEY key, const QString& name, const TRegFileValue& value) {
    if (!key)
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    if (!ValidValueName(name))
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("invalid value name '%1'").arg(name));
    if (!key->Writable)
        return Fail(ERROR_ACCESS_DENIED, QStringLiteral("the key was opened for reading only"));
    const Location loc = Locate(*key);
    if (loc.IsFolder())
        return Fail(
            ERROR_ACCESS_DENIED,
            QStringLiteral("key '%1' holds no values").arg(key->Path.join(QLatin1Char('\\'))));
    return Modify(loc, [&](TRegFileData& data) {
        data.Sections[loc.Section][name] = value;
        return ERROR_SUCCESS;
    });
}

TRegFileValue StringValue(const QString& text) {
    TRegFileValue value;
    value.Text = text;
    return value;
}

TRegFileValue BinaryValue(const QByteArray& bytes) {
    TRegFileValue value;
    value.Type = TRegFileValue::Kind::Binary;
    value.Bytes = bytes;
    return value;
}

} // namespace

const HKEY HKEY_CURRENT_USER = &gCurrentUser;
const HKEY HKEY_LOCAL_MACHINE = &gLocalMachine;

QString RegistryRootDir(HKEY root) {
    return RootDirOf(root == HKEY_LOCAL_MACHINE ? 1 : 0);
}

void SetRegistryRootDir(HKEY root, const QString& dir) {
    std::lock_guard<std::mutex> lock(gRootMutex);
    gRootOverride[root == HKEY_LOCAL_MACHINE ? 1 : 0] = dir;
}

QString RegistryLastErrorText() {
    return gLastError;
}

LONG RegCreateKeyEx(HKEY key, const QString& subKey, REGSAM access, HKEY* result) {
    return NewHandle(key, subKey, access, true, result);
}

LONG RegOpenKeyEx(HKEY key, const QString& subKey, REGSAM access, HKEY* result) {
    return NewHandle(key, subKey, access, false, result);
}

LONG RegSetValueEx(HKEY key, const QString& valueName, DWORD type, const void* data, DWORD size) {
    if (!data && size != 0)
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("no data"));
    const QByteArray bytes(static_cast<const char*>(data), qsizetype(size));
    switch (type) {
    case REG_SZ: {
        const qsizetype nul = bytes.indexOf('\0');
        return SetValue(key, valueName,
                        StringValue(QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul))));
    }
    case REG_BINARY:
        return SetValue(key, valueName, BinaryValue(bytes));
    default:
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("unsupported value type %1").arg(type));
    }
}

LONG RegQueryValueEx(HKEY key, const QString& valueName, DWORD* type, void* data, DWORD* size) {
    if (!key)
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    if (data && !size)
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("no size for the data"));
    const std::optional<TRegFileValue> value = QueryValue(key, valueName);
    if (!value)
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("value '%1' not found").arg(valueName));
    const DWORD kind = TypeOf(*value);
    QByteArray bytes;
    if (kind == REG_SZ) {
        bytes = value->Text.toUtf8();
        bytes.append('\0');
    } else if (kind == REG_BINARY) {
        bytes = value->Bytes;
    }
    if (type)
        *type = kind;
    if (data) {
        if (*size < DWORD(bytes.size())) {
            *size = DWORD(bytes.size());
            return ERROR_MORE_DATA;
        }
        if (!bytes.isEmpty())
            std::memcpy(data, bytes.constData(), size_t(bytes.size()));
    }
    if (size)
        *size = DWORD(bytes.size());
    return ERROR_SUCCESS;
}

LONG RegDeleteValue(HKEY key, const QString& valueName) {
    if (!key)
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    if (!QueryValue(key, valueName))
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("value '%1' not found").arg(valueName));
    if (!key->Writable)
        return Fail(ERROR_ACCESS_DENIED, QStringLiteral("the key was opened for reading only"));
    const Location loc = Locate(*key);
    return Modify(loc, [&](TRegFileData& data) {
        auto section = data.Sections.find(loc.Section);
        if (section == data.Sections.end() || section->remove(valueName) == 0)
            return ERROR_FILE_NOT_FOUND;
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteTree(HKEY key, const QString& subKey) {
    if (!key)
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    QStringList parts;
    if (!SplitKeyPath(subKey, &parts))
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("invalid key name '%1'").arg(subKey));
    const TRegKeyData data{key->Root, key->Path + parts, false};
    const QString shown = data.Path.join(QLatin1Char('\\'));
    const Location loc = Locate(data);
    if (!Exists(loc))
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("key '%1' does not exist").arg(shown));
    if (loc.IsFolder())
        return Fail(ERROR_ACCESS_DENIED, QStringLiteral("key '%1' cannot be deleted").arg(shown));
    if (loc.Section.isEmpty()) {
        const QString problem = FolderProblem(loc.Dir);
        if (!problem.isEmpty())
            return Fail(ERROR_ACCESS_DENIED, problem);
        QFile file(loc.File);
        if (!file.remove())
            return Fail(ERROR_ACCESS_DENIED, QStringLiteral("%1 cannot be deleted: %2")
                                                 .arg(Shown(loc.File), file.errorString()));
        SyncFolder(loc.Dir);
        return ERROR_SUCCESS;
    }
    const QString prefix = loc.Section + QLatin1Char('\\');
    return Modify(loc, [&](TRegFileData& file) {
        bool removed = file.Sections.remove(loc.Section) > 0;
        for (auto it = file.Sections.begin(); it != file.Sections.end();) {
            if (it.key().startsWith(prefix)) {
                it = file.Sections.erase(it);
                removed = true;
            } else {
                ++it;
            }
        }
        return removed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG RegCloseKey(HKEY key) {
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (!IsPredefined(key))
        delete key;
    return ERROR_SUCCESS;
}

LONG RegEnumKeyNames(HKEY key, QStringList* names) {
    if (!key || !names)
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("invalid key"));
    names->clear();
    if (key->Path.isEmpty()) {
        names->append(QStringLiteral("Software"));
        return ERROR_SUCCESS;
    }
    const Location loc = Locate(*key);
    if (!Exists(loc))
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("key does not exist"));
    if (loc.IsFolder()) {
        const QDir dir(loc.Dir);
        if (WithoutSoftware(key->Path).isEmpty()) {
            *names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        } else {
            const QStringList files =
                dir.entryList({QStringLiteral("*.conf")}, QDir::Files, QDir::Name);
            for (const QString& file : files)
                names->append(file.chopped(5));
        }
        return ERROR_SUCCESS;
    }
    const TRegFileData file = Read(loc);
    const QString prefix = loc.Section.isEmpty() ? QString() : loc.Section + QLatin1Char('\\');
    for (auto it = file.Sections.cbegin(); it != file.Sections.cend(); ++it) {
        if (it.key().isEmpty() || !it.key().startsWith(prefix))
            continue;
        const QString child = it.key().mid(prefix.size()).section(QLatin1Char('\\'), 0, 0);
        if (names->isEmpty() || names->last() != child)
            names->append(child);
    }
    names->removeDuplicates();
    names->sort();
    return ERROR_SUCCESS;
}

LONG RegEnumValueNames(HKEY key, QStringList* names) {
    if (!key || !names)
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("invalid key"));
    names->clear();
    const Location loc = Locate(*key);
    if (!Exists(loc))
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("key does not exist"));
    if (loc.IsFolder())
        return ERROR_SUCCESS;
    *names = Read(loc).Sections.value(loc.Section).keys();
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// TRegistry

namespace {

QString Reason() {
    const QString why = RegistryLastErrorText();
    return why.isEmpty() ? QString() : QStringLiteral(": ") + why;
}

[[noreturn]] void RaiseSetFailed(const QString& name) {
    throw ERegistryException(QStringLiteral("Failed to set data for '%1'").arg(name) + Reason());
}

QString NormalisedPath(const QString& key) {
    return key.split(QLatin1Char('\\'), Qt::SkipEmptyParts).join(QLatin1Char('\\'));
}

} // namespace

TRegistry::TRegistry(HKEY root, REGSAM access) : FRootKey(root), FAccess(access) {}

TRegistry::~TRegistry() {
    CloseKey();
}

void TRegistry::SetRootKey(HKEY root) {
    CloseKey();
    FRootKey = root;
}

HKEY TRegistry::BaseFor(const QString& key) const {
    return (!key.startsWith(QLatin1Char('\\')) && FCurrentKey) ? FCurrentKey : FRootKey;
}

QString TRegistry::JoinPath(const QString& key) const {
    const QString relative = NormalisedPath(key);
    if (key.startsWith(QLatin1Char('\\')) || !FCurrentKey || FCurrentPath.isEmpty())
        return relative;
    return relative.isEmpty() ? FCurrentPath : FCurrentPath + QLatin1Char('\\') + relative;
}

bool TRegistry::OpenKey(const QString& key, bool canCreate) {
    HKEY result = nullptr;
    const LONG rc = canCreate ? RegCreateKeyEx(BaseFor(key), key, FAccess, &result)
                              : RegOpenKeyEx(BaseFor(key), key, FAccess, &result);
    if (rc != ERROR_SUCCESS)
        return false;
    const QString path = JoinPath(key);
    CloseKey();
    FCurrentKey = result;
    FCurrentPath = path;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const QString& key) {
    HKEY result = nullptr;
    if (RegOpenKeyEx(BaseFor(key), key, KEY_READ, &result) != ERROR_SUCCESS)
        return false;
    const QString path = JoinPath(key);
    CloseKey();
    FCurrentKey = result;
    FCurrentPath = path;
    return true;
}

void TRegistry::CloseKey() {
    if (FCurrentKey)
        RegCloseKey(FCurrentKey);
    FCurrentKey = nullptr;
    FCurrentPath.clear();
}

void TRegistry::CreateKey(const QString& key) {
    HKEY result = nullptr;
    if (RegCreateKeyEx(BaseFor(key), key, KEY_WRITE, &result) != ERROR_SUCCESS)
        throw ERegistryException(QStringLiteral("Failed to create key %1").arg(key) + Reason());
    RegCloseKey(result);
}

bool TRegistry::KeyExists(const QString& key) const {
    HKEY result = nullptr;
    if (RegOpenKeyEx(BaseFor(key), key, KEY_QUERY_VALUE, &result) != ERROR_SUCCESS)
        return false;
    RegCloseKey(result);
    return true;
}

bool TRegistry::DeleteKey(const QString& key) {
    return RegDeleteTree(BaseFor(key), key) == ERROR_SUCCESS;
}

QStringList TRegistry::GetKeyNames() const {
    QStringList names;
    RegEnumKeyNames(FCurrentKey ? FCurrentKey : FRootKey, &names);
    return names;
}

QStringList TRegistry::GetValueNames() const {
    QStringList names;
    RegEnumValueNames(FCurrentKey ? FCurrentKey : FRootKey, &names);
    return names;
}

bool TRegistry::ValueExists(const QString& name) const {
    return QueryValue(FCurrentKey ? FCurrentKey : FRootKey, name).has_value();
}

TRegDataType TRegistry::GetDataType(const QString& name) const {
    const std::optional<TRegFileValue> value =
        QueryValue(FCurrentKey ? FCurrentKey : FRootKey, name);
    if (!value)
        return TRegDataType::rdUnknown;
    switch (TypeOf(*value)) {
    case REG_SZ:
        return TRegDataType::rdString;
    case REG_BINARY:
        return TRegDataType::rdBinary;
    default:
        return TRegDataType::rdUnknown;
    }
}

int TRegistry::GetDataSize(const QString& name) const {
    DWORD size = 0;
    if (RegQueryValueEx(FCurrentKey ? FCurrentKey : FRootKey, name, nullptr, nullptr, &size) !=
        ERROR_SUCCESS)
        return -1;
    return int(size);
}

QString TRegistry::ReadString(const QString& name) const {
    const std::optional<TRegFileValue> value =
        QueryValue(FCurrentKey ? FCurrentKey : FRootKey, name);
    return value && TypeOf(*value) == REG_SZ ? value->Text : QString();
}

void TRegistry::WriteString(const QString& name, const QString& value) {
    if (SetValue(FCurrentKey ? FCurrentKey : FRootKey, name, StringValue(value)) != ERROR_SUCCESS)
        RaiseSetFailed(name);
}

std::optional<QByteArray> TRegistry::ReadBinaryData(const QString& name) const {
    const std::optional<TRegFileValue> value =
        QueryValue(FCurrentKey ? FCurrentKey : FRootKey, name);
    if (!value || TypeOf(*value) != REG_BINARY)
        return std::nullopt;
    return value->Bytes;
}

void TRegistry::WriteBinaryData(const QString& name, const QByteArray& data) {
    if (SetValue(FCurrentKey ? FCurrentKey : FRootKey, name, BinaryValue(data)) != ERROR_SUCCESS)
        RaiseSetFailed(name);
}

bool TRegistry::DeleteValue(const QString& name) {
    return RegDeleteValue(FCurrentKey ? FCurrentKey : FRootKey, name) == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// TRegIniFile

TRegIniFile::TRegIniFile(const QString& fileName, HKEY root)
    : TRegistry(root, KEY_ALL_ACCESS), FFileName(fileName) {
    if (!OpenKey(fileName, true))
        OpenKeyReadOnly(fileName);
}

HKEY TRegIniFile::SectionBase(QString* section) const {
    if (CurrentKey())
        return CurrentKey();
    *section = FFileName + QLatin1Char('\\') + *section;
    return RootKey();
}

QString TRegIniFile::ReadString(const QString& section, const QString& ident,
                                const QString& defaultValue) const {
    QString path = section;
    const HKEY base = SectionBase(&path);
    HKEY key = nullptr;
    if (RegOpenKeyEx(base, path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return defaultValue;
    const std::optional<TRegFileValue> value = QueryValue(key, ident);
    RegCloseKey(key);
    return value && TypeOf(*value) == REG_SZ ? value->Text : defaultValue;
}

int32_t TRegIniFile::ReadInteger(const QString& section, const QString& ident,
                                 int32_t defaultValue) const {
    return StrToIntDef(ReadString(section, ident, QString()), defaultValue);
}

bool TRegIniFile::ReadBool(const QString& section, const QString& ident, bool defaultValue) const {
    return ReadInteger(section, ident, defaultValue ? 1 : 0) != 0;
}

void TRegIniFile::WriteString(const QString& section, const QString& ident, const QString& value) {
    QString path = section;
    const HKEY base = SectionBase(&path);
    HKEY key = nullptr;
    if (NewHandle(base, path, KEY_WRITE, true, &key, false) != ERROR_SUCCESS)
        throw ERegistryException(QStringLiteral("Failed to create key %1").arg(section) + Reason());
    const LONG rc = SetValue(key, ident, StringValue(value));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        RaiseSetFailed(ident);
}

void TRegIniFile::WriteInteger(const QString& section, const QString& ident, int32_t value) {
    WriteString(section, ident, IntToStr(value));
}

void TRegIniFile::WriteBool(const QString& section, const QString& ident, bool value) {
    WriteString(section, ident, value ? QStringLiteral("1") : QStringLiteral("0"));
}

QStringList TRegIniFile::ReadSections() const {
    QString path;
    const HKEY base = SectionBase(&path);
    HKEY key = nullptr;
    QStringList names;
    if (RegOpenKeyEx(base, path, KEY_READ, &key) == ERROR_SUCCESS) {
        RegEnumKeyNames(key, &names);
        RegCloseKey(key);
    }
    return names;
}

QStringList TRegIniFile::ReadSection(const QString& section) const {
    QString path = section;
    const HKEY base = SectionBase(&path);
    HKEY key = nullptr;
    QStringList names;
    if (RegOpenKeyEx(base, path, KEY_READ, &key) == ERROR_SUCCESS) {
        RegEnumValueNames(key, &names);
        RegCloseKey(key);
    }
    return names;
}

void TRegIniFile::EraseSection(const QString& section) {
    QString path = section;
    const HKEY base = SectionBase(&path);
    const LONG rc = RegDeleteTree(base, path);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        throw ERegistryException(QStringLiteral("Failed to delete key %1").arg(section) + Reason());
}

void TRegIniFile::DeleteKey(const QString& section, const QString& ident) {
    QString path = section;
    const HKEY base = SectionBase(&path);
    HKEY key = nullptr;
    if (RegOpenKeyEx(base, path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return; // no such section, so no such value
    const bool present = QueryValue(key, ident).has_value();
    RegCloseKey(key);
    if (!present)
        return;
    if (RegOpenKeyEx(base, path, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        throw ERegistryException(QStringLiteral("Failed to delete value '%1'").arg(ident) +
                                 Reason());
    const LONG rc = RegDeleteValue(key, ident);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        throw ERegistryException(QStringLiteral("Failed to delete value '%1'").arg(ident) +
                                 Reason());
}
