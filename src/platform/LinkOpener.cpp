#include "platform/LinkOpener.h"

#include <QDesktopServices>
#include <QUrl>

#include <mutex>

namespace {

class DesktopLinkOpener : public ILinkOpener {
public:
    bool openLink(const QString& link) override {
        const QUrl url(link, QUrl::TolerantMode);
        return url.isValid() && QDesktopServices::openUrl(url);
    }
};

std::mutex gMutex;
std::shared_ptr<ILinkOpener> gOpener;

} // namespace

ILinkOpener& linkOpener() {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gOpener)
        gOpener = std::make_shared<DesktopLinkOpener>();
    return *gOpener;
}

void setLinkOpener(std::shared_ptr<ILinkOpener> opener) {
    std::lock_guard<std::mutex> lock(gMutex);
    gOpener = std::move(opener);
}
