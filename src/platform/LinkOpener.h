// Handing a link (a web address, a mailto: link) to the desktop, which starts the user's web
// browser or mail program. One interface, the desktop's implementation, and a process-wide
// instance that tests replace with a double.
#pragma once

#include <QString>

#include <memory>

class ILinkOpener {
public:
    virtual ~ILinkOpener() = default;
    // True when the desktop accepted the link; false when nothing could open it.
    virtual bool openLink(const QString& link) = 0;
};

// The instance the program uses; the desktop's own (QDesktopServices: the portal or xdg-open)
// until one is set.
ILinkOpener& linkOpener();
// Replaces the instance (tests); nullptr restores the desktop's own.
void setLinkOpener(std::shared_ptr<ILinkOpener> opener);
