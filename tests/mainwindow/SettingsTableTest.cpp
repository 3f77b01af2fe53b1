// The settings as plain values: what an empty store reads as, what a save writes, and that a
// save reads back as it was. (Erasing preset sections: PresetListTest.)
#include "MainWindowFixture.h"

#include "mainwindow/Settings.h"
#include "toolkit/registry/Registry.h"

#include <QFile>

using namespace mainwindowtest;

namespace {

// Every value different from its default, two presets.
TSettings Sample() {
    TSettings s;
    s.BackColor = 0x123456;
    s.Foreground = "";
    s.Background = "#123456";
    s.LastBrowse1 = "/p/last1.jpg";
    s.LastBrowse2 = "/p/last2.bmp";
    s.Tile = true;
    s.AutoChange = true;
    s.Interval = 25;
    s.Random = true;
    s.LastImage = 1;
    s.LastChange = 45123.75;
    s.OnAutoStart = false;
    s.ExitAfterAutoStart = true;
    s.Monitors = 1;
    s.Presets = {{"/p/a b.jpg", "/p/tile.bmp", true}, {"", "#FF", false}};
    return s;
}

// The settings file the program has always written for Sample().
const char* const kSampleFile = "LastChange=@Binary(000000007808e640)\n"
                                "\n"
                                "[Options]\n"
                                "AutoChange=1\n"
                                "BackColor=1193046\n"
                                "Background=#123456\n"
                                "ExitAfterAutoStart=1\n"
                                "Foreground=\n"
                                "Interval=25\n"
                                "LastBrowse1=/p/last1.jpg\n"
                                "LastBrowse2=/p/last2.bmp\n"
                                "LastImage=1\n"
                                "Monitors=1\n"
                                "OnAutoStart=0\n"
                                "Random=1\n"
                                "Tile=1\n"
                                "\n"
                                "[Preset0]\n"
                                "Background=/p/tile.bmp\n"
                                "Foreground=/p/a b.jpg\n"
                                "Tile=1\n"
                                "\n"
                                "[Preset1]\n"
                                "Background=#FF\n"
                                "Foreground=\n"
                                "Tile=0\n";

QByteArray FileBytes(const QString& name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

TEST_F(MainWindowTest, AnEmptyStoreReadsAsTheDefaults) {
    // (The window's first start checks each default through its controls.)
    const TSettings s = LoadSettings(TRegIniFile(TForm1::kSettingsKey));
    EXPECT_EQ(s, TSettings());
    EXPECT_EQ(s.Interval, 60);
    EXPECT_TRUE(s.OnAutoStart);
}

TEST_F(MainWindowTest, ASaveWritesTheFileAsTheProgramAlwaysHasAndReadsBack) {
    // Through the table directly...
    {
        TRegIniFile ini(TForm1::kSettingsKey);
        SaveSettings(ini, Sample(), 0);
    }
    EXPECT_EQ(FileBytes(SettingsFile()), QByteArray(kSampleFile));
    EXPECT_EQ(LoadSettings(TRegIniFile(TForm1::kSettingsKey)), Sample());

    // ...and through the window's close, from the controls and fields.
    ASSERT_TRUE(QFile::remove(SettingsFile()));
    auto form = NewForm();
    ASSERT_TRUE(QFile::remove(SettingsFile()));
    const TSettings s = Sample();
    form->FPresets = s.Presets;
    form->CheckBox1->setChecked(s.Tile);
    form->cbAutoChange->setChecked(s.AutoChange);
    form->UpDown1->SetPosition(s.Interval);
    form->cbRandom->setChecked(s.Random);
    form->cbOnStart->setChecked(s.OnAutoStart);
    form->cbExit->setChecked(s.ExitAfterAutoStart);
    form->cbMonitors->setCurrentIndex(s.Monitors);
    form->ColorBox1->SetSelected(s.BackColor);
    form->FLastImage = s.LastImage;
    form->FLastChange = s.LastChange;
    form->FLastBrowse1 = s.LastBrowse1;
    form->FLastBrowse2 = s.LastBrowse2;
    EXPECT_EQ(form->CurrentSettings(), s);
    TCloseAction action;
    form->FormClose(nullptr, action);
    EXPECT_EQ(FileBytes(SettingsFile()), QByteArray(kSampleFile));
}
