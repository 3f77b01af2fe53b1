// Starting the program at logon: the freedesktop autostart entry
// $XDG_CONFIG_HOME/autostart/tapestrix.desktop, whose Exec line runs this program with
// "/autostart". The entry is the program's "Auto start" switch: it is on exactly when the entry
// exists, has an Exec line and is not switched off by the desktop (Hidden=true,
// X-GNOME-Autostart-enabled=false or X-MATE-Autostart-enabled=false). The entry may be a symbolic
// link (dotfile setups): it is rewritten in place, through the link.
#pragma once

#include <QString>
#include <QStringList>

// The argument the autostart entry passes to the program.
inline constexpr char kAutostartArgument[] = "/autostart";

// $XDG_CONFIG_HOME/autostart/tapestrix.desktop ($HOME/.config when XDG_CONFIG_HOME is unset or
// not absolute). Empty when no home folder is known.
QString autostartEntryPath();

// The full path of the running program file.
QString currentProgramPath();

// True when the entry exists, its [Desktop Entry] group has a non-empty Exec line and no key
// switches it off. A missing or unreadable file is off.
bool isAutostartEnabled();

// Writes the entry (creating the folder) so that it runs `programPath` with "/autostart" and is
// on. The keys the program writes (Type, Name, Comment, Exec, Icon, Terminal) are set, the keys
// that switch the entry off are switched on, every other line of an existing entry stays. The
// file (or, through a symbolic link, the file it points to) is replaced atomically. Raises
// Exception (toolkit SysUtils) naming the file and the cause when it cannot be written.
void writeAutostartEntry(const QString& programPath = currentProgramPath());

// Deletes the entry. A missing entry is no error; an entry that exists and cannot be deleted
// raises Exception naming the file and the cause.
void removeAutostartEntry();

// The Exec value (as written in the file, string escapes applied) that runs `arguments`: every
// argument quoted when it holds a reserved character, '"', '`', '$' and '\' escaped inside quotes,
// '%' doubled, then backslashes and control characters escaped as a desktop-file string.
QString desktopEntryExecValue(const QStringList& arguments);

// The complete text of a new entry for `programPath`.
QString autostartEntryText(const QString& programPath);
