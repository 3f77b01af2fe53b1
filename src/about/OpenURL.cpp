#include "about/OpenURL.h"

#include "platform/LinkOpener.h"

void ShellOpen(const QString& link) {
    try {
        linkOpener().openLink(link);
    } catch (...) {
        // Opening a link changes nothing for the program; a failure is not reported.
    }
}
