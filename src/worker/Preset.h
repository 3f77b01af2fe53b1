// One wallpaper combination.
#pragma once

#include <QString>

struct TPreset {
    QString Foreground; // full path of the foreground picture; empty means none
    QString Background; // full path of the background picture, a colour text ("#FF"), or empty
    bool Tile = false;  // repeat the background picture instead of stretching it

    bool operator==(const TPreset&) const = default;
};
