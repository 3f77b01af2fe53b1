// ShellOpen: opens a link with the program the desktop has for it. Its result is not examined:
// when nothing can open the link, nothing happens and nothing is reported.
#pragma once

#include <QString>

void ShellOpen(const QString& link);
