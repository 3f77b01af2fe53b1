// Per-user folders and names the program writes to.
#pragma once

#include <QString>

// The user's application-data folder: $XDG_DATA_HOME, or ~/.local/share when that is unset or
// not absolute (the XDG base directory rules). Created (mode 0700) when missing. Returns an empty
// text when it cannot be determined or created.
QString applicationDataFolder();

// The user's home folder ($HOME, else the password database); empty when unknown.
QString homeFolder();

// The logged-on user's login name; empty when unknown.
QString loginUserName();

// Removes a symbolic link at `path` (not what it points to), so that the file written there next
// is a file of its own instead of the link's target. Anything else at `path` stays.
void removeSymbolicLink(const QString& path);
