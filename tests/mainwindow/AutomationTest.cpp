// The automation: the periodic check, change now, and the automatic start.
#include "MainWindowFixture.h"

#include "worker/BackWallpaper.h"

#include "toolkit/registry/Registry.h"

#include <QLocale>
#include <QTest>
#include <QtEndian>

using namespace mainwindowtest;

namespace {

constexpr double kMinute = 1.0 / 1440.0;

} // namespace

class AutomationTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        for (int i = 0; i < 3; ++i)
            WritePreset(i, "", QStringLiteral("#%1").arg(0x10 << (8 * i), 0, 16), false);
        Write("Options", "AutoChange", "1");
        Write("Options", "Interval", "5");
    }
};

TEST_F(AutomationTest, TheIntervalMustBeExceededNotReached) {
    auto form = NewForm();
    form->FLastChange = FClock - 5 * kMinute;
    form->Timer2Timer(nullptr);
    EXPECT_FALSE(form->FBack);
    FClock += 15.0 / 86400.0; // the next tick
    form->Timer2Timer(nullptr);
    ASSERT_TRUE(form->FBack);
    EXPECT_FALSE(form->FBack->HasTarget());
    EXPECT_EQ(form->FLastImage, 1);
    EXPECT_EQ(form->FLastChange, FClock);
    ASSERT_TRUE(PollUntilIdle(*form));
    EXPECT_EQ(FDesktop->Count(), 1);
}

TEST_F(AutomationTest, FirstRunAndAClockSetBackBothChange) {
    {
        auto form = NewForm(); // FLastChange 0: decades ago
        form->Timer2Timer(nullptr);
        EXPECT_TRUE(form->FBack);
        PollUntilIdle(*form);
    }
    auto form = NewForm();
    form->UpDown1->SetPosition(60);
    form->FLastChange = FClock + 2.0 / 24.0; // two hours in the future
    form->Timer2Timer(nullptr);
    EXPECT_TRUE(form->FBack);
    PollUntilIdle(*form);
}

TEST_F(AutomationTest, NoPeriodicChangeWhenOffBusyOrWithFewerThanTwoPresets) {
    auto form = NewForm();
    form->cbAutoChange->setChecked(false);
    form->Timer2Timer(nullptr);
    EXPECT_FALSE(form->FBack);

    // A preview running when the interval falls due: the change waits for a free tick.
    form->cbAutoChange->setChecked(true);
    form->BtnPreviewClick(nullptr);
    BackBack* preview = form->FBack.get();
    form->Timer2Timer(nullptr);
    EXPECT_EQ(form->FBack.get(), preview);
    EXPECT_TRUE(form->FBack->HasTarget());
    ASSERT_TRUE(PollUntilIdle(*form));
    form->Timer2Timer(nullptr);
    ASSERT_TRUE(form->FBack);
    EXPECT_FALSE(form->FBack->HasTarget());
    ASSERT_TRUE(PollUntilIdle(*form));

    // One preset: never a periodic change, but change-now applies it each time.
    form->FPresets.resize(1);
    form->FLastChange = 0;
    form->Timer2Timer(nullptr);
    EXPECT_FALSE(form->FBack);
    form->ChangeBackgroundNow();
    ASSERT_TRUE(form->FBack);
    EXPECT_EQ(form->FBack->Preset, form->FPresets[0]);
    EXPECT_EQ(form->FLastImage, 0);
    ASSERT_TRUE(PollUntilIdle(*form));
    form->ChangeBackgroundNow();
    EXPECT_EQ(form->FLastImage, 0);
    ASSERT_TRUE(PollUntilIdle(*form));

    // An empty list: nothing from any caller.
    form->FPresets.clear();
    form->ChangeBackgroundNow();
    EXPECT_FALSE(form->FBack);
}

TEST_F(AutomationTest, IntervalsFromAThousandMinutesWorkWithDigitGrouping) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    auto form = NewForm();
    form->UpDown1->SetPosition(1500);
    EXPECT_EQ(form->Edit1->text(), "1,500");
    form->FLastChange = FClock - 1501 * kMinute;
    form->Timer2Timer(nullptr);
    EXPECT_TRUE(form->FBack);
    PollUntilIdle(*form);
    form->FLastChange = FClock - 1499 * kMinute;
    form->Timer2Timer(nullptr);
    EXPECT_FALSE(form->FBack);
    QLocale::setDefault(QLocale::c());
}

TEST_F(AutomationTest, ATypedIntervalIsReadInTheUsersLocale) {
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    const QLocale de(QLocale::German, QLocale::Germany);
    struct Case {
        QLocale Locale;
        const char* Typed;
        double Minutes;     // what the check waits; 0: not a number, no change at all
        const char* Stored; // "Interval" after a save: the up-down's whole position
    };
    for (const Case& c :
         {Case{en, "1.5", 1.5, "1"}, Case{en, "0.5", 0.5, "1"}, Case{en, "12.75", 12.75, "12"},
          Case{en, "1,000", 1000, "1000"}, Case{en, "1,5", 0, "1"}, Case{en, "abc", 0, "5"},
          Case{de, "1,5", 1.5, "1"}, Case{de, "1.000", 1000, "1000"}, Case{de, "1.5", 0, "1"},
          Case{de, "12,75", 12.75, "12"}}) {
        SCOPED_TRACE(c.Locale.name().toStdString() + " " + c.Typed);
        QLocale::setDefault(c.Locale);
        Write("Options", "Interval", "5");
        auto form = NewForm();
        form->Edit1->selectAll();
        QTest::keyClicks(form->Edit1, c.Typed);
        ASSERT_EQ(form->Edit1->text(), c.Typed);
        if (c.Minutes > 0) {
            form->FLastChange = FClock - c.Minutes * 0.99 * kMinute;
            form->Timer2Timer(nullptr);
            EXPECT_FALSE(form->FBack) << "changed before the interval";
            form->FLastChange = FClock - c.Minutes * 1.01 * kMinute;
            form->Timer2Timer(nullptr);
            EXPECT_TRUE(form->FBack) << "no change after the interval";
            ASSERT_TRUE(PollUntilIdle(*form));
        } else {
            form->FLastChange = 0; // long overdue for any number
            form->Timer2Timer(nullptr);
            EXPECT_FALSE(form->FBack);
        }
        TCloseAction action;
        form->FormClose(nullptr, action);
        EXPECT_EQ(Read("Options", "Interval"), c.Stored);
    }
    QLocale::setDefault(QLocale::c());
}

TEST_F(AutomationTest, ListOrderWrapsAndFollowsThePositionNotThePreset) {
    auto form = NewForm();
    form->FLastImage = 2;
    form->ChangeBackgroundNow();
    EXPECT_EQ(form->FLastImage, 0);
    EXPECT_EQ(form->FBack->Preset, form->FPresets[0]);
    form->FLastImage = 7; // beyond the list (the list was shortened meanwhile)
    form->ChangeBackgroundNow();
    EXPECT_EQ(form->FLastImage, 0);
    form->FLastImage = -3;
    form->ChangeBackgroundNow();
    EXPECT_EQ(form->FLastImage, 0);
    form->ChangeBackgroundNow();
    EXPECT_EQ(form->FLastImage, 1);
    EXPECT_EQ(form->FBack->Preset, form->FPresets[1]);
    // The editors and the selection are not touched.
    EXPECT_EQ(form->ForegroundPath(), "");
    EXPECT_EQ(form->StringGrid1->Row(), -1);
    ASSERT_TRUE(PollUntilIdle(*form));
}

TEST_F(AutomationTest, RandomOrderAvoidsTheLastPresetForAtMostTenDraws) {
    auto form = NewForm();
    form->cbRandom->setChecked(true);
    form->FPresets.resize(2);
    form->FLastImage = 0;
    std::vector<int> draws;
    // Always the last one: ten draws, then it is taken.
    form->SetRandomSource([&](int n) {
        draws.push_back(n);
        return 0;
    });
    form->ChangeBackgroundNow();
    EXPECT_EQ(draws.size(), 10u);
    EXPECT_EQ(form->FLastImage, 0);
    // The other one on the third draw.
    draws.clear();
    form->SetRandomSource([&](int n) {
        draws.push_back(n);
        return draws.size() == 3 ? 1 : 0;
    });
    form->ChangeBackgroundNow();
    EXPECT_EQ(draws, (std::vector<int>{2, 2, 2}));
    EXPECT_EQ(form->FLastImage, 1);
    // With the real generator two presets alternate (the chance of ten equal draws is 1/1024
    // per change; 20 changes in a row would fail only by a broken generator).
    form->SetRandomSource(nullptr);
    int alternations = 0;
    for (int i = 0; i < 20; ++i) {
        const int before = form->FLastImage;
        form->ChangeBackgroundNow();
        alternations += form->FLastImage != before;
    }
    EXPECT_GE(alternations, 18);
    ASSERT_TRUE(PollUntilIdle(*form));
}

TEST_F(AutomationTest, ChangeNowWhileADrawingRunsStopsItFirst) {
    auto form = NewForm();
    form->BtnPreviewClick(nullptr);
    ASSERT_TRUE(form->FBack);
    form->Chengebackgroundnow1Click(nullptr);
    ASSERT_TRUE(form->FBack);
    EXPECT_FALSE(form->FBack->HasTarget());
    ASSERT_TRUE(PollUntilIdle(*form));
    EXPECT_EQ(FDesktop->Count(), 1);
}

TEST_F(AutomationTest, APreviewDuringAnAutomaticChangeStopsIt) {
    auto form = NewForm();
    FClock = 45200.0;
    form->ChangeBackgroundNow();
    FClock = 45200.5;
    form->BtnPreviewClick(nullptr);
    ASSERT_TRUE(PollUntilIdle(*form));
    // The change's start time stays: the preview never records a change.
    EXPECT_EQ(form->FLastChange, 45200.0);
}

TEST_F(AutomationTest, AutoStartChangesOnceAndStaysHidden) {
    auto form = NewForm(true);
    ASSERT_TRUE(form->FBack);
    EXPECT_FALSE(form->FBack->HasTarget());
    EXPECT_EQ(form->FLastImage, 1);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(FTerminations, 0);
    ASSERT_TRUE(PollUntilIdle(*form));
    EXPECT_EQ(FDesktop->Count(), 1);
}

TEST_F(AutomationTest, AutoStartOnlyWithTheExactArgumentAndTheOption) {
    EXPECT_TRUE(TForm1::IsAutoStartCommandLine({"tapestrix", "/autostart"}));
    EXPECT_TRUE(TForm1::IsAutoStartCommandLine({"tapestrix", "/autostart", "more"}));
    EXPECT_FALSE(TForm1::IsAutoStartCommandLine({"tapestrix", "/AutoStart"}));
    EXPECT_FALSE(TForm1::IsAutoStartCommandLine({"tapestrix", "x", "/autostart"}));
    EXPECT_FALSE(TForm1::IsAutoStartCommandLine({"tapestrix"}));

    EXPECT_FALSE(NewForm(false)->FBack);
    Write("Options", "OnAutoStart", "0");
    EXPECT_FALSE(NewForm(true)->FBack);
}

TEST_F(AutomationTest, AutoStartWithExitWaitsSavesAndEnds) {
    Write("Options", "ExitAfterAutoStart", "1");
    FClock = 45300.25;
    auto form = NewForm(true);
    EXPECT_EQ(FTerminations, 1);
    EXPECT_FALSE(form->isVisible());
    // The drawing had ended before the settings were saved.
    EXPECT_EQ(FDesktop->Count(), 1);
    EXPECT_EQ(Read("Options", "LastImage"), "1");
    TRegIniFile ini(TForm1::kSettingsKey);
    const auto lastChange = ini.ReadBinaryData("LastChange");
    ASSERT_TRUE(lastChange);
    ASSERT_EQ(lastChange->size(), 8);
    // The saved time is the start of this change.
    EXPECT_EQ(qFromLittleEndian<double>(lastChange->constData()), 45300.25);
}

TEST_F(AutomationTest, AutoStartWithExitAndAnEmptyListOnlySavesAndEnds) {
    {
        TRegIniFile ini(TForm1::kSettingsKey);
        for (int i = 0; i < 3; ++i)
            ini.EraseSection(QStringLiteral("Preset%1").arg(i));
    }
    Write("Options", "ExitAfterAutoStart", "1");
    auto form = NewForm(true);
    EXPECT_FALSE(form->FBack);
    EXPECT_EQ(FTerminations, 1);
    EXPECT_EQ(FDesktop->Count(), 0);
    EXPECT_EQ(Read("Options", "ExitAfterAutoStart"), "1");
}
