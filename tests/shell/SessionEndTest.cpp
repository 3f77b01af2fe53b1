// The end of the session inside one process: the session manager's request to end and a signal
// each end the program once, through the event loop, with errors going to standard error.
// (The whole program under SIGTERM, SIGHUP and a lost display: EndToEndTest.)
#include "shell/SessionEnd.h"

#include "toolkit/widgets/AppEvents.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <gtest/gtest.h>

#include <csignal>

namespace {

void ProcessEventsFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

TEST(SessionEnd, TheQuitRequestAndASignalEndTheProgramOnceAndErrorsGoToStandardError) {
    for (const int signalNumber : {0, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        int saves = 0, ends = 0;
        QStringList shownInABox;
        SetExceptionDisplay([&](const QString& message) { shownInABox << message; });
        {
            TSessionEnd watcher([&] { ++saves; },
                                [&] {
                                    ++ends;
                                    ApplicationShowExceptionMessage(QStringLiteral("cannot save"));
                                });
            if (signalNumber == 0) {
                QEvent quit(QEvent::Quit);
                EXPECT_TRUE(QCoreApplication::sendEvent(QCoreApplication::instance(), &quit));
            } else {
                testing::internal::CaptureStderr();
                std::raise(signalNumber);
                EXPECT_EQ(ends, 0) << "not from inside the signal handler";
                ProcessEventsFor(200);
                const std::string error = testing::internal::GetCapturedStderr();
                EXPECT_NE(error.find(": cannot save"), std::string::npos) << error;
            }
            EXPECT_EQ(ends, 1);
            // A later request changes nothing: the end is under way.
            QEvent again(QEvent::Quit);
            QCoreApplication::sendEvent(QCoreApplication::instance(), &again);
            EXPECT_EQ(ends, 1);
            EXPECT_EQ(saves, 0);
        }
        EXPECT_TRUE(shownInABox.isEmpty()) << "a box nobody may answer";
        SetExceptionDisplay(nullptr);
    }
    // The watcher is gone: its handlers are too (the default action would end this test).
    struct sigaction action {};
    sigaction(SIGTERM, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
}

TEST(SessionEnd, ASignalTheProgramWasStartedToIgnoreStaysIgnored) {
    // As under nohup.
    struct sigaction ignore {
    }, previous{}, during{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &previous);
    {
        TSessionEnd watcher([] {}, [] {});
        sigaction(SIGHUP, nullptr, &during);
        EXPECT_EQ(during.sa_handler, SIG_IGN);
        sigaction(SIGTERM, nullptr, &during);
        EXPECT_NE(during.sa_handler, SIG_IGN);
        EXPECT_NE(during.sa_handler, SIG_DFL);
    }
    sigaction(SIGHUP, nullptr, &during);
    EXPECT_EQ(during.sa_handler, SIG_IGN);
    sigaction(SIGHUP, &previous, nullptr);
}
