#include "mainwindow/Settings.h"

#include "toolkit/registry/Registry.h"

#include <QByteArray>
#include <QtEndian>

#include <cmath>
#include <variant>

namespace {

// A value of one type: the field that holds it and what it reads as when it is absent. The type
// says how it is stored: QString a string, int32_t an integer, bool a boolean, TDateTime the
// 8-byte binary date-time (a value of the settings key itself, so its section is empty).
template <class T> struct TField {
    T TSettings::*Member;
    T Default;
};

template <class T, class D> TField<T> Field(T TSettings::*member, D defaultValue) {
    return {member, T(defaultValue)};
}

// The preset list: the sections kPresetSection + "0", "1", ...
struct TPresetList {
    std::vector<TPreset> TSettings::*Member;
};

struct TEntry {
    const char* Section;
    const char* Name;
    std::variant<TField<QString>, TField<int32_t>, TField<bool>, TField<TDateTime>, TPresetList>
        Value;
};

constexpr const char* kOptions = "Options";
constexpr const char* kPresetSection = "Preset";
const QString kEndOfList = QStringLiteral(":");

// Every stored value, in the order of a save.
const std::vector<TEntry>& Table() {
    static const std::vector<TEntry> table{
        {kOptions, "Foreground", Field(&TSettings::Foreground, "")},
        {kOptions, "Background", Field(&TSettings::Background, "")},
        {kOptions, "Tile", Field(&TSettings::Tile, false)},
        {kPresetSection, "", TPresetList{&TSettings::Presets}},
        {kOptions, "AutoChange", Field(&TSettings::AutoChange, false)},
        {kOptions, "Interval", Field(&TSettings::Interval, 60)},
        {kOptions, "Random", Field(&TSettings::Random, false)},
        {"", "LastChange", Field(&TSettings::LastChange, 0.0)},
        {kOptions, "LastBrowse1", Field(&TSettings::LastBrowse1, "")},
        {kOptions, "LastBrowse2", Field(&TSettings::LastBrowse2, "")},
        {kOptions, "LastImage", Field(&TSettings::LastImage, 0)},
        {kOptions, "OnAutoStart", Field(&TSettings::OnAutoStart, true)},
        {kOptions, "ExitAfterAutoStart", Field(&TSettings::ExitAfterAutoStart, false)},
        {kOptions, "BackColor", Field(&TSettings::BackColor, 0)},
        {kOptions, "Monitors", Field(&TSettings::Monitors, 0)},
    };
    return table;
}

QString PresetSection(int index) {
    return QLatin1String(kPresetSection) + QString::number(index);
}

// One stored value of each type.
QString Read(const TRegIniFile& ini, const QString& section, const QString& name,
             const QString& defaultValue) {
    return ini.ReadString(section, name, defaultValue);
}
int32_t Read(const TRegIniFile& ini, const QString& section, const QString& name,
             int32_t defaultValue) {
    return ini.ReadInteger(section, name, defaultValue);
}
bool Read(const TRegIniFile& ini, const QString& section, const QString& name, bool defaultValue) {
    return ini.ReadBool(section, name, defaultValue);
}
TDateTime Read(const TRegIniFile& ini, const QString&, const QString& name,
               TDateTime defaultValue) {
    const std::optional<QByteArray> bytes = ini.ReadBinaryData(name);
    if (!bytes || bytes->size() != 8)
        return defaultValue;
    const double value = qFromLittleEndian<double>(bytes->constData());
    return std::isfinite(value) ? value : defaultValue;
}

void Write(TRegIniFile& ini, const QString& section, const QString& name, const QString& value) {
    ini.WriteString(section, name, value);
}
void Write(TRegIniFile& ini, const QString& section, const QString& name, int32_t value) {
    ini.WriteInteger(section, name, value);
}
void Write(TRegIniFile& ini, const QString& section, const QString& name, bool value) {
    ini.WriteBool(section, name, value);
}
void Write(TRegIniFile& ini, const QString&, const QString& name, TDateTime value) {
    QByteArray bytes(8, '\0');
    qToLittleEndian(value, bytes.data());
    ini.WriteBinaryData(name, bytes);
}

// What each kind of entry does at a load, a save and for the defaults.
struct TLoad {
    const TRegIniFile& Ini;
    const TEntry& Entry;
    TSettings& Settings;

    template <class T> void operator()(const TField<T>& field) const {
        Settings.*field.Member =
            Read(Ini, QLatin1String(Entry.Section), QLatin1String(Entry.Name), field.Default);
    }
    void operator()(const TPresetList& list) const {
        std::vector<TPreset>& presets = Settings.*list.Member;
        presets.clear();
        for (int n = 0;; ++n) {
            const QString section = PresetSection(n);
            TPreset preset;
            preset.Foreground = Read(Ini, section, QStringLiteral("Foreground"), kEndOfList);
            if (preset.Foreground == kEndOfList)
                break;
            preset.Background = Read(Ini, section, QStringLiteral("Background"), QString());
            preset.Tile = Read(Ini, section, QStringLiteral("Tile"), false);
            presets.push_back(preset);
        }
    }
};

struct TSave {
    TRegIniFile& Ini;
    const TEntry& Entry;
    const TSettings& Settings;
    int PresetSectionsSeen;

    template <class T> void operator()(const TField<T>& field) const {
        Write(Ini, QLatin1String(Entry.Section), QLatin1String(Entry.Name), Settings.*field.Member);
    }
    void operator()(const TPresetList& list) const {
        const std::vector<TPreset>& presets = Settings.*list.Member;
        const int count = int(presets.size());
        for (int i = 0; i < count; ++i) {
            const QString section = PresetSection(i);
            Write(Ini, section, QStringLiteral("Foreground"), presets[i].Foreground);
            Write(Ini, section, QStringLiteral("Background"), presets[i].Background);
            Write(Ini, section, QStringLiteral("Tile"), presets[i].Tile);
        }
        for (int i = count; i < PresetSectionsSeen; ++i)
            Ini.EraseSection(PresetSection(i));
    }
};

struct TSetDefault {
    TSettings& Settings;

    template <class T> void operator()(const TField<T>& field) const {
        Settings.*field.Member = field.Default;
    }
    void operator()(const TPresetList& list) const { (Settings.*list.Member).clear(); }
};

} // namespace

TSettings::TSettings() {
    for (const TEntry& entry : Table())
        std::visit(TSetDefault{*this}, entry.Value);
}

TSettings LoadSettings(const TRegIniFile& ini) {
    TSettings settings;
    for (const TEntry& entry : Table())
        std::visit(TLoad{ini, entry, settings}, entry.Value);
    return settings;
}

void SaveSettings(TRegIniFile& ini, const TSettings& settings, int presetSectionsSeen) {
    for (const TEntry& entry : Table())
        std::visit(TSave{ini, entry, settings, presetSectionsSeen}, entry.Value);
}
