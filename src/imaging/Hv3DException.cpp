#include "imaging/Hv3DException.h"

#include <cstdio>

namespace {

std::mutex gPresenterMutex;
THv3DPresenter gPresenter;

THv3DPresenter CurrentPresenter() {
    std::lock_guard<std::mutex> lock(gPresenterMutex);
    return gPresenter ? gPresenter : THv3DPresenter(Hv3DConsolePresenter);
}

} // namespace

THv3DException::THv3DException(const QString& message) : Exception(message) {
    // Called outside the lock: a presenter that waits for the GUI thread must not block others
    // from raising or from installing a presenter meanwhile.
    CurrentPresenter()(message);
}

QString THv3DException::ErrorMessage(const QString& prefix, int errorNumber) {
    return prefix + SysErrorMessage(errorNumber) + QStringLiteral(").");
}

THv3DPresenter SetHv3DPresenter(THv3DPresenter presenter) {
    std::lock_guard<std::mutex> lock(gPresenterMutex);
    THv3DPresenter previous = std::move(gPresenter);
    gPresenter = std::move(presenter);
    return previous;
}

void Hv3DConsolePresenter(const QString& message) {
    const QByteArray line = QStringLiteral("Error: %1\n").arg(message).toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

THv3DRecordingPresenter::THv3DRecordingPresenter() {
    FPrevious = SetHv3DPresenter([this](const QString& message) {
        std::lock_guard<std::mutex> lock(FMutex);
        FMessages << message;
        FThreads.push_back(std::this_thread::get_id());
    });
}

THv3DRecordingPresenter::~THv3DRecordingPresenter() {
    SetHv3DPresenter(std::move(FPrevious));
}

QStringList THv3DRecordingPresenter::Messages() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FMessages;
}

std::vector<std::thread::id> THv3DRecordingPresenter::Threads() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FThreads;
}
