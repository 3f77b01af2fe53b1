// The registry's handle calls: keys mapped to folders, files and sections, and their values.
#include "toolkit/registry/RegistryHandles.h"

#include "toolkit/registry/RegistryFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unistd.h>

struct TRegKeyData {
    int Root;         // 0: the current user, 1: the local machine
    QStringList Path; // key names below the root, each one checked by SplitKeyPath
    bool Writable;    // opened with write access that was granted
    // The changes held for the key's file, shared with the keys opened below it; null when
    // every change is written at once.
    std::shared_ptr<TRegFileBatch> Batch;
};

namespace {

TRegKeyData gCurrentUser{0, {}, false, nullptr};
TRegKeyData gLocalMachine{1, {}, false, nullptr};

std::mutex gRootMutex;
QString gRootOverride[2];

thread_local QString gLastError;

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
    for (QString& part : *parts)
        part = StorableText(part);
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

QString ShownKey(const TRegKeyData& key) {
    return key.Path.join(QLatin1Char('\\'));
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

// The content of the key's file: with the key's held changes, or as the file is now. Reads
// tolerate a missing or unreadable file (it reads as empty); writes check on their own.
TRegFileData Content(const TRegKeyData& key, const Location& loc) {
    if (key.Batch)
        return key.Batch->View();
    if (loc.IsFolder())
        return TRegFileData();
    const auto snapshot = LoadRegFile(loc.File, nullptr);
    return snapshot ? snapshot->Data : TRegFileData();
}

bool Exists(const TRegKeyData& key, const Location& loc) {
    if (loc.IsFolder())
        return QFileInfo(loc.Dir).isDir();
    if (!key.Batch && !QFileInfo(loc.File).isFile())
        return false;
    return Content(key, loc).HasSection(loc.Section);
}

// Checks that the key's file can be written, creating its folders and the empty file when asked.
// A link to the file is written through, so its target's folder takes the new file.
LONG EnsureWritable(const Location& loc, bool create) {
    if (create && !QDir().mkpath(loc.Dir))
        return Fail(ERROR_ACCESS_DENIED,
                    QStringLiteral("%1 cannot be created").arg(Shown(loc.Dir)));
    if (!QFileInfo(loc.Dir).isDir())
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("%1 does not exist").arg(Shown(loc.Dir)));
    if (loc.IsFolder()) {
        const QString problem = FolderProblem(loc.Dir);
        return problem.isEmpty() ? ERROR_SUCCESS : Fail(ERROR_ACCESS_DENIED, problem);
    }
    const QFileInfo info(loc.File);
    if (!info.exists()) {
        if (!create)
            return Fail(ERROR_FILE_NOT_FOUND,
                        QStringLiteral("%1 does not exist").arg(Shown(loc.File)));
        const QString problem = FolderProblem(loc.Dir);
        if (!problem.isEmpty())
            return Fail(ERROR_ACCESS_DENIED, problem);
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
    const QString problem = FolderProblem(QFileInfo(RegFileTarget(loc.File)).absolutePath());
    if (!problem.isEmpty())
        return Fail(ERROR_ACCESS_DENIED, problem);
    if (::access(Native(loc.File).constData(), R_OK | W_OK) != 0)
        return Fail(ERROR_ACCESS_DENIED, QStringLiteral("%1: %2").arg(Shown(loc.File), Errno()));
    return ERROR_SUCCESS;
}

// The check before a change through the key: a key that holds its changes checks its file once.
LONG CheckWritable(const TRegKeyData& key, const Location& loc, bool create) {
    if (!key.Batch)
        return EnsureWritable(loc, create);
    if (key.Batch->WritableChecked)
        return ERROR_SUCCESS;
    const LONG rc = EnsureWritable(loc, create);
    key.Batch->WritableChecked = rc == ERROR_SUCCESS;
    return rc;
}

LONG CommitResult(TRegCommit result, const QString& why) {
    switch (result) {
    case TRegCommit::Done:
        return ERROR_SUCCESS;
    case TRegCommit::CannotRead:
    case TRegCommit::Locked:
        return Fail(ERROR_ACCESS_DENIED, why);
    case TRegCommit::CannotWrite:
        break;
    }
    return Fail(ERROR_WRITE_FAULT, why);
}

// Makes one change to the key's file: held when the key holds its changes, else written now.
LONG Change(const TRegKeyData& key, const Location& loc, const TRegFileEdit& edit) {
    const LONG rc = CheckWritable(key, loc, false);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (key.Batch) {
        key.Batch->Apply(edit);
        return ERROR_SUCCESS;
    }
    QString why;
    return CommitResult(CommitRegFileEdits(loc.File, loc.Dir, {edit}, &why), why);
}

LONG NewHandle(HKEY base, const QString& subKey, REGSAM access, bool create, HKEY* result) {
    if (!result)
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("no place for the key"));
    *result = nullptr;
    if (!base)
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    QStringList parts;
    if (!SplitKeyPath(subKey, &parts))
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("invalid key name '%1'").arg(subKey));
    // The keys below a key of a file are in the same file, and share its held changes.
    TRegKeyData data{base->Root, base->Path + parts, false, base->Batch};
    const Location loc = Locate(data);
    const bool wantsWrite = (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
    if (create) {
        LONG rc = CheckWritable(data, loc, true);
        // A new subkey is an empty section of the file.
        if (rc == ERROR_SUCCESS && !loc.IsFolder() && !loc.Section.isEmpty() &&
            !Content(data, loc).HasSection(loc.Section))
            rc = Change(data, loc, {TRegFileEdit::Kind::AddSection, loc.Section, {}, {}});
        if (rc != ERROR_SUCCESS)
            return rc;
    } else {
        if (!Exists(data, loc))
            return Fail(ERROR_FILE_NOT_FOUND,
                        QStringLiteral("key '%1' does not exist").arg(ShownKey(data)));
        if (wantsWrite) {
            const LONG rc = CheckWritable(data, loc, false);
            if (rc != ERROR_SUCCESS)
                return rc;
        }
    }
    data.Writable = wantsWrite;
    *result = new TRegKeyData(data);
    return ERROR_SUCCESS;
}

} // namespace

const HKEY HKEY_CURRENT_USER = &gCurrentUser;
const HKEY HKEY_LOCAL_MACHINE = &gLocalMachine;

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

std::optional<TRegFileValue> RegQueryFileValue(HKEY key, const QString& valueName) {
    if (!key || !ValidValueName(valueName))
        return std::nullopt;
    const Location loc = Locate(*key);
    if (loc.IsFolder())
        return std::nullopt;
    const TRegFileData data = Content(*key, loc);
    const auto section = data.Sections.constFind(loc.Section);
    if (section == data.Sections.cend())
        return std::nullopt;
    const auto value = section->constFind(valueName);
    if (value == section->cend())
        return std::nullopt;
    return *value;
}

DWORD RegTypeOf(const std::optional<TRegFileValue>& value) {
    if (!value)
        return REG_NONE;
    switch (value->Type) {
    case TRegFileValue::Kind::String:
        return REG_SZ;
    case TRegFileValue::Kind::Binary:
        return REG_BINARY;
    case TRegFileValue::Kind::Other:
        break;
    }
    return REG_NONE;
}

LONG RegSetFileValue(HKEY key, const QString& valueName, const TRegFileValue& value) {
    if (!key)
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    if (!ValidValueName(valueName))
        return Fail(ERROR_INVALID_PARAMETER,
                    QStringLiteral("invalid value name '%1'").arg(valueName));
    if (!key->Writable)
        return Fail(ERROR_ACCESS_DENIED, QStringLiteral("the key was opened for reading only"));
    const Location loc = Locate(*key);
    if (loc.IsFolder())
        return Fail(ERROR_ACCESS_DENIED,
                    QStringLiteral("key '%1' holds no values").arg(ShownKey(*key)));
    TRegFileValue stored = value;
    stored.Text = StorableText(value.Text);
    return Change(*key, loc,
                  {TRegFileEdit::Kind::SetValue, loc.Section, StorableText(valueName), stored});
}

LONG RegSetValueEx(HKEY key, const QString& valueName, DWORD type, const void* data, DWORD size) {
    if (!data && size != 0)
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("no data"));
    const QByteArray bytes(static_cast<const char*>(data), qsizetype(size));
    switch (type) {
    case REG_SZ: {
        const qsizetype nul = bytes.indexOf('\0');
        return RegSetFileValue(
            key, valueName,
            TRegFileValue::String(QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul))));
    }
    case REG_BINARY:
        return RegSetFileValue(key, valueName, TRegFileValue::Binary(bytes));
    default:
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("unsupported value type %1").arg(type));
    }
}

LONG RegQueryValueEx(HKEY key, const QString& valueName, DWORD* type, void* data, DWORD* size) {
    if (!key)
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    if (data && !size)
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("no size for the data"));
    const std::optional<TRegFileValue> value = RegQueryFileValue(key, valueName);
    if (!value)
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("value '%1' not found").arg(valueName));
    const DWORD kind = RegTypeOf(value);
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
    if (!RegQueryFileValue(key, valueName))
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("value '%1' not found").arg(valueName));
    if (!key->Writable)
        return Fail(ERROR_ACCESS_DENIED, QStringLiteral("the key was opened for reading only"));
    const Location loc = Locate(*key);
    return Change(*key, loc, {TRegFileEdit::Kind::DeleteValue, loc.Section, valueName, {}});
}

LONG RegDeleteTree(HKEY key, const QString& subKey) {
    if (!key)
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    QStringList parts;
    if (!SplitKeyPath(subKey, &parts))
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("invalid key name '%1'").arg(subKey));
    const TRegKeyData data{key->Root, key->Path + parts, false, key->Batch};
    const Location loc = Locate(data);
    if (!Exists(data, loc))
        return Fail(ERROR_FILE_NOT_FOUND,
                    QStringLiteral("key '%1' does not exist").arg(ShownKey(data)));
    if (loc.IsFolder())
        return Fail(ERROR_ACCESS_DENIED,
                    QStringLiteral("key '%1' cannot be deleted").arg(ShownKey(data)));
    if (loc.Section.isEmpty() && !data.Batch) {
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
    // Held changes delete the file's own key by emptying the file.
    return Change(data, loc, {TRegFileEdit::Kind::DeleteTree, loc.Section, {}, {}});
}

LONG RegDeferWrites(HKEY key) {
    if (!key || IsPredefined(key))
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    const Location loc = Locate(*key);
    if (loc.IsFolder())
        return Fail(ERROR_INVALID_PARAMETER,
                    QStringLiteral("key '%1' holds no values").arg(ShownKey(*key)));
    if (!key->Batch)
        key->Batch = std::make_shared<TRegFileBatch>(loc.File, loc.Dir);
    return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY key) {
    if (!key)
        return Fail(ERROR_INVALID_HANDLE, QStringLiteral("invalid key"));
    if (!key->Batch)
        return ERROR_SUCCESS;
    QString why;
    return CommitResult(key->Batch->Commit(&why), why);
}

LONG RegCloseKey(HKEY key) {
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (IsPredefined(key))
        return ERROR_SUCCESS;
    const LONG rc = key->Batch && key->Batch.use_count() == 1 ? RegFlushKey(key) : ERROR_SUCCESS;
    delete key;
    return rc;
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
    if (!Exists(*key, loc))
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("key does not exist"));
    if (!loc.IsFolder()) {
        *names = Content(*key, loc).ChildSections(loc.Section);
        return ERROR_SUCCESS;
    }
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

LONG RegEnumValueNames(HKEY key, QStringList* names) {
    if (!key || !names)
        return Fail(ERROR_INVALID_PARAMETER, QStringLiteral("invalid key"));
    names->clear();
    const Location loc = Locate(*key);
    if (!Exists(*key, loc))
        return Fail(ERROR_FILE_NOT_FOUND, QStringLiteral("key does not exist"));
    if (!loc.IsFolder())
        *names = Content(*key, loc).Sections.value(loc.Section).keys();
    return ERROR_SUCCESS;
}
