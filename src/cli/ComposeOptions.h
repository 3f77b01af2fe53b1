// Command line of tapestrix-compose.
//
//   tapestrix-compose --size WIDTHxHEIGHT [--foreground FILE] [--background FILE|COLOUR]
//                     [--tile] --output FILE.bmp [--quiet]
//   tapestrix-compose --apply [--foreground FILE] [--background FILE|COLOUR] [--tile]
//                     [--monitors each|span] [--quiet]
//   tapestrix-compose --list-monitors
//   tapestrix-compose --help | --version
//
// Parsing is kept apart from running so that each mode (compose to a file, apply as the
// desktop wallpaper) has its own entry point: RunCompose and RunApply.
#pragma once

#include "worker/MonitorWallpaper.h"

#include <QString>
#include <QStringList>

enum class TComposeMode {
    Compose, // compose at --size and write --output
    Apply,   // one desktop job: compose at the screen's size and set the wallpaper
    ListMonitors,
    Help,
    Version,
};

struct TComposeOptions {
    TComposeMode Mode = TComposeMode::Compose;
    int Width = 0;
    int Height = 0;
    QString Foreground; // empty: none
    QString Background; // a picture path, a colour text ("#FF"), or empty (colour 0)
    bool Tile = false;
    QString Output;                             // the BMP file to write (compose mode)
    bool Quiet = false;                         // no progress line
    TMonitorMode Monitors = TMonitorMode::Each; // --apply with several monitors
};

// What went wrong with the command line; main prints it with a hint to --help and exits 2.
struct TUsageError {
    QString Message;
};

// Parses the arguments after the program name. Raises TUsageError.
TComposeOptions ParseComposeOptions(const QStringList& arguments);

// The texts --help and --version print.
QString ComposeHelpText();
QString ComposeVersionText();

// The modes; each returns the process exit code.
int RunCompose(const TComposeOptions& options);
int RunApply(const TComposeOptions& options);
int RunListMonitors();
