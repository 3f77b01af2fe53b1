// The main window's stored state as plain values, and the one table that says where each value
// lives in the settings key, of what type it is and what it reads as when it is absent. Both the
// load and the save walk that table, so a new option is one line in it (and its field here).
//
// Strings are stored as they are, integers as signed decimal text, booleans as "0" and "1";
// an integer or boolean whose text is not a valid integer reads as its default. "LastChange" is
// an 8-byte binary value in the settings key itself (a little-endian double counting days); any
// other form reads as 0. The presets are the sections "Preset0", "Preset1", ... with
// "Foreground", "Background" and "Tile" each; the list ends at the first section whose
// "Foreground" is absent or ":".
#pragma once

#include "toolkit/Graphics.h"
#include "toolkit/SysUtils.h"
#include "worker/Preset.h"

#include <QString>

#include <cstdint>
#include <vector>

class TRegIniFile;

struct TSettings {
    // Every value at the default the table gives it (a field the table does not name stays
    // zero or empty).
    TSettings();

    TColor BackColor{};        // the colour box's colour
    QString Foreground;        // the foreground picture; empty means none
    QString Background;        // the background picture, or the colour as a colour text
    QString LastBrowse1;       // the file last chosen in the foreground dialog
    QString LastBrowse2;       // the file last chosen in the background dialog
    bool Tile{};               // "Tiled"
    bool AutoChange{};         // "Auto change"
    int32_t Interval{};        // minutes between automatic changes (the up-down's position)
    bool Random{};             // "Random order"
    int32_t LastImage{};       // 0-based index of the preset last used or applied
    TDateTime LastChange{};    // time of the last wallpaper change
    bool OnAutoStart{};        // "Change On Auto Start"
    bool ExitAfterAutoStart{}; // "... and exit"
    int32_t Monitors{};        // how several monitors share the wallpaper (TMonitorMode)
    std::vector<TPreset> Presets;

    bool operator==(const TSettings&) const = default;
};

// Reads every value of the table from the settings key the file has open.
TSettings LoadSettings(const TRegIniFile& ini);

// Writes every value in the table's order: the preset sections in list order, then the sections
// from the list's length up to presetSectionsSeen - 1 are deleted with all they hold (sections
// beyond those stay). Registry errors propagate; the values written before one stay written.
void SaveSettings(TRegIniFile& ini, const TSettings& settings, int presetSectionsSeen);
