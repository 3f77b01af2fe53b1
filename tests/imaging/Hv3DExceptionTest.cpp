// The imaging error: message, presenters, and the box shown on the raising thread before the
// error reaches its catcher.
#include "imaging/Hv3DException.h"
#include "imaging/Math3D.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

TEST(Hv3DException, MessageEndsWithTheSystemText) {
    EXPECT_EQ(THv3DException::ErrorMessage(QStringLiteral("THvBitmap32.ToBitmap error ("), ENOMEM),
              QStringLiteral("THvBitmap32.ToBitmap error (Cannot allocate memory)."));
}

TEST(Hv3DException, ShownOnTheRaisingThreadBeforeTheCatch) {
    THv3DRecordingPresenter presenter;
    std::thread::id raisedOn;
    bool shownFirst = false;
    std::thread worker([&] {
        raisedOn = std::this_thread::get_id();
        try {
            throw THv3DException(QStringLiteral("boom"));
        } catch (const Exception& e) {
            shownFirst = presenter.Messages() == QStringList{QStringLiteral("boom")};
            EXPECT_EQ(e.Message(), QStringLiteral("boom"));
        }
    });
    worker.join();
    EXPECT_TRUE(shownFirst);
    ASSERT_EQ(presenter.Threads().size(), 1u);
    EXPECT_EQ(presenter.Threads()[0], raisedOn);
}

TEST(Hv3DException, RaiseWaitsForThePresenter) {
    std::atomic<bool> dismissed{false};
    const THv3DPresenter previous = SetHv3DPresenter([&](const QString&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        dismissed.store(true);
    });
    try {
        throw THv3DException(QStringLiteral("slow"));
    } catch (const THv3DException&) {
        EXPECT_TRUE(dismissed.load());
    }
    SetHv3DPresenter(previous);
}

TEST(Hv3DException, ConsolePresenterWritesToStderr) {
    const THv3DPresenter previous = SetHv3DPresenter(nullptr); // the console one
    testing::internal::CaptureStderr();
    try {
        throw THv3DException(QStringLiteral("THvBitmap32 image conversion error (x)."));
    } catch (const THv3DException&) {
    }
    const std::string err = testing::internal::GetCapturedStderr();
    SetHv3DPresenter(previous);
    EXPECT_EQ(err, "Error: THvBitmap32 image conversion error (x).\n");
}

TEST(Hv3DException, CopiesDoNotShowAgain) {
    THv3DRecordingPresenter presenter;
    const THv3DException original(QStringLiteral("once"));
    const THv3DException copy = original;
    EXPECT_EQ(copy.Message(), QStringLiteral("once"));
    EXPECT_EQ(presenter.Messages().size(), 1);
}

TEST(ColorSum, AccumulatesRoundsAndPacks) {
    TColorSum sum;
    AddColor(sum, 0x00030201u);
    AddColor(sum, 0x00030202u);
    EXPECT_EQ(sum.Red, 3);
    EXPECT_EQ(sum.Green, 4);
    EXPECT_EQ(sum.Blue, 6);
    ScaleRound(sum, 0.5L); // 1.5 -> 2, 2 -> 2, 3 -> 3
    EXPECT_EQ(SumToColor(sum), 0x00030202u);
    TColorSum halves{2.5, 0.5, 3.5};
    EXPECT_EQ(SumToColor(halves), 0x00040002u);
    TColorSum outOfRange{300, -4, 255};
    EXPECT_EQ(SumToColor(outOfRange), 0x00FF00FFu);
}

} // namespace
