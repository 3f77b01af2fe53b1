// TRegistry and TRegIniFile, on the registry's handle calls.
#include "toolkit/registry/Registry.h"

#include <QtGlobal>

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
    RegEnumKeyNames(Key(), &names);
    return names;
}

QStringList TRegistry::GetValueNames() const {
    QStringList names;
    RegEnumValueNames(Key(), &names);
    return names;
}

bool TRegistry::ValueExists(const QString& name) const {
    return RegQueryFileValue(Key(), name).has_value();
}

TRegDataType TRegistry::GetDataType(const QString& name) const {
    switch (RegTypeOf(RegQueryFileValue(Key(), name))) {
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
    if (RegQueryValueEx(Key(), name, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return -1;
    return int(size);
}

QString TRegistry::ReadString(const QString& name) const {
    const std::optional<TRegFileValue> value = RegQueryFileValue(Key(), name);
    return RegTypeOf(value) == REG_SZ ? value->Text : QString();
}

void TRegistry::WriteString(const QString& name, const QString& value) {
    if (RegSetFileValue(Key(), name, TRegFileValue::String(value)) != ERROR_SUCCESS)
        RaiseSetFailed(name);
}

std::optional<QByteArray> TRegistry::ReadBinaryData(const QString& name) const {
    const std::optional<TRegFileValue> value = RegQueryFileValue(Key(), name);
    if (RegTypeOf(value) != REG_BINARY)
        return std::nullopt;
    return value->Bytes;
}

void TRegistry::WriteBinaryData(const QString& name, const QByteArray& data) {
    if (RegSetFileValue(Key(), name, TRegFileValue::Binary(data)) != ERROR_SUCCESS)
        RaiseSetFailed(name);
}

// ---------------------------------------------------------------------------------------------
// TRegIniFile

TRegIniFile::TRegIniFile(const QString& fileName, HKEY root)
    : TRegistry(root, KEY_ALL_ACCESS), FFileName(fileName) {
    if (!OpenKey(fileName, true))
        OpenKeyReadOnly(fileName);
    // The open key and a key of the ini's own share the held changes, so that these stay held
    // when the open key is closed or another one opened.
    if (CurrentKey() && RegDeferWrites(CurrentKey()) == ERROR_SUCCESS &&
        RegOpenKeyEx(CurrentKey(), QString(), KEY_READ, &FFileKey) != ERROR_SUCCESS)
        FFileKey = nullptr;
}

TRegIniFile::~TRegIniFile() {
    if (!FFileKey)
        return;
    if (RegFlushKey(FFileKey) != ERROR_SUCCESS)
        qCritical("%s", qUtf8Printable(SaveFailedMessage()));
    RegCloseKey(FFileKey);
}

QString TRegIniFile::SaveFailedMessage() const {
    return QStringLiteral("Failed to save %1").arg(FFileName) + Reason();
}

void TRegIniFile::UpdateFile() {
    if (FFileKey && RegFlushKey(FFileKey) != ERROR_SUCCESS)
        throw ERegistryException(SaveFailedMessage());
}

HKEY TRegIniFile::SectionBase(QString* section) const {
    if (FFileKey)
        return FFileKey;
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
    const std::optional<TRegFileValue> value = RegQueryFileValue(key, ident);
    RegCloseKey(key);
    return RegTypeOf(value) == REG_SZ ? value->Text : defaultValue;
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
    if (RegCreateKeyEx(base, path, KEY_WRITE, &key) != ERROR_SUCCESS)
        throw ERegistryException(QStringLiteral("Failed to create key %1").arg(section) + Reason());
    const LONG rc = RegSetFileValue(key, ident, TRegFileValue::String(value));
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

QStringList TRegIniFile::Names(QString path, LONG (*enumerate)(HKEY, QStringList*)) const {
    const HKEY base = SectionBase(&path);
    HKEY key = nullptr;
    QStringList names;
    if (RegOpenKeyEx(base, path, KEY_READ, &key) == ERROR_SUCCESS) {
        enumerate(key, &names);
        RegCloseKey(key);
    }
    return names;
}

QStringList TRegIniFile::ReadSections() const {
    return Names(QString(), &RegEnumKeyNames);
}

QStringList TRegIniFile::ReadSection(const QString& section) const {
    return Names(section, &RegEnumValueNames);
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
    const bool present = RegQueryFileValue(key, ident).has_value();
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
