// The preset list: loading and matching at start, the grid, and the list commands.
#include "MainWindowFixture.h"

#include "toolkit/registry/Registry.h"
#include "toolkit/widgets/AppEvents.h"
#include "worker/BackWallpaper.h"

#include <QApplication>
#include <QTest>

using namespace mainwindowtest;

namespace {

QStringList Row(TForm1& form, int r) {
    return {form.StringGrid1->Cells(0, r), form.StringGrid1->Cells(1, r),
            form.StringGrid1->Cells(2, r)};
}

} // namespace

TEST_F(MainWindowTest, AMissingPresetEndsTheListAndTheSectionsBeyondItStay) {
    for (int i = 0; i < 5; ++i)
        WritePreset(i, QStringLiteral("/p/%1.bmp").arg(i), "#0", false);
    {
        TRegIniFile ini(TForm1::kSettingsKey);
        ini.EraseSection("Preset2");
    }
    auto form = NewForm();
    ASSERT_EQ(form->FPresets.size(), 2u);
    EXPECT_EQ(form->FMaxPresetCount, 2);
    Destroy(form);
    EXPECT_EQ(Read("Preset1", "Foreground"), "/p/1.bmp");
    EXPECT_FALSE(HasSection("Preset2"));
    EXPECT_EQ(Read("Preset3", "Foreground"), "/p/3.bmp");
    EXPECT_EQ(Read("Preset4", "Foreground"), "/p/4.bmp");
}

TEST_F(MainWindowTest, DeletingPresetsErasesTheirSectionsUpToTheLargestLength) {
    for (int i = 0; i < 5; ++i)
        WritePreset(i, "", QStringLiteral("#%1").arg(i), false);
    auto form = NewForm();
    ASSERT_EQ(form->FPresets.size(), 5u);
    // Delete the last three (selecting the last row each time).
    for (int i = 0; i < 3; ++i) {
        form->SelectPresetRow(int(form->FPresets.size()));
        form->BitBtn7Click(nullptr);
    }
    ASSERT_EQ(form->FPresets.size(), 2u);
    EXPECT_EQ(form->FMaxPresetCount, 5);
    form->close();
    EXPECT_TRUE(HasSection("Preset1"));
    EXPECT_FALSE(HasSection("Preset2"));
    EXPECT_FALSE(HasSection("Preset3"));
    EXPECT_FALSE(HasSection("Preset4"));
    Destroy(form);
    EXPECT_EQ(NewForm()->FPresets.size(), 2u);
}

TEST_F(MainWindowTest, TheSentinelEndsTheListButAnEmptyForegroundDoesNot) {
    WritePreset(0, "", "#FF", false);
    WritePreset(1, "/p/b.bmp", "/p/c.bmp", true);
    WritePreset(2, ":", "#0", false);
    WritePreset(3, "/p/after.bmp", "#0", false);
    auto form = NewForm();
    ASSERT_EQ(form->FPresets.size(), 2u);
    EXPECT_EQ(form->FPresets[0], (TPreset{"", "#FF", false}));
    EXPECT_EQ(form->FPresets[1], (TPreset{"/p/b.bmp", "/p/c.bmp", true}));
    EXPECT_EQ(Row(*form, 1), (QStringList{"", "#FF", "Solid Color"}));
    EXPECT_EQ(Row(*form, 2), (QStringList{"b.bmp", "c.bmp", "Tile"}));
    EXPECT_TRUE(form->StringGrid1->isEnabled());
}

TEST_F(MainWindowTest, TheLastPresetEqualToTheRestoredEditorsIsSelected) {
    // Colour mode compares the colour value: "#ff" matches 0xFF whatever "Tile" says.
    Write("Options", "Foreground", "");
    Write("Options", "Background", "#FF");
    Write("Options", "BackColor", "255");
    WritePreset(0, "", "#ff", true);
    WritePreset(1, "", "#00FF", false);
    WritePreset(2, "", "#FE", false);
    WritePreset(3, "", "bad", false);
    {
        auto form = NewForm();
        EXPECT_EQ(form->StringGrid1->Row(), 2); // the later of the two matches
        EXPECT_EQ(form->FLastImage, 0);         // matching uses nothing
        EXPECT_EQ(form->StringGrid1->Selection(), (TGridRect{0, 2, 2, 2}));
    }
    // No match: no selection; Delete and Down do nothing then.
    Write("Options", "Background", "#1");
    auto form = NewForm();
    EXPECT_EQ(form->StringGrid1->Row(), -1);
    form->BitBtn7Click(nullptr);
    form->BitBtn1Click(nullptr);
    EXPECT_EQ(form->FPresets.size(), 4u);
    EXPECT_EQ(form->FPresets[0].Background, "#ff");
}

TEST_F(MainWindowTest, FileModeMatchingComparesPathsAndTile) {
    const QString fg = WriteBmp(FPictures, "fg.bmp", 4, 4, clWhite);
    const QString bg = WriteBmp(FPictures, "bg.bmp", 4, 4, clWhite);
    Write("Options", "Foreground", fg);
    Write("Options", "Background", bg);
    Write("Options", "Tile", "1");
    WritePreset(0, fg, bg, true);
    WritePreset(1, fg, bg, false);
    WritePreset(2, fg.toUpper(), bg, true); // case counts
    EXPECT_EQ(NewForm()->StringGrid1->Row(), 1);
}

TEST_F(MainWindowTest, AddAppendsOnceAndTheDuplicateRuleDependsOnTheMode) {
    auto form = NewForm();
    form->ColorBox1->SetSelected(clRed);
    form->BitBtn6Click(nullptr);
    form->BitBtn6Click(nullptr); // unchanged editors: only selects the existing row
    ASSERT_EQ(form->FPresets.size(), 1u);
    EXPECT_EQ(form->StringGrid1->Row(), 1);
    EXPECT_EQ(form->FPresets[0], (TPreset{"", "#FF", false}));

    // Colour mode: "Tiled" does not make another preset (but is stored as it was).
    form->CheckBox1->setChecked(true);
    form->SelectNoPreset();
    form->BitBtn6Click(nullptr);
    ASSERT_EQ(form->FPresets.size(), 1u);
    EXPECT_EQ(form->StringGrid1->Row(), 1);

    // File mode: it does.
    const QString bg = WriteBmp(FPictures, "bg.bmp", 4, 4, clWhite);
    QueueDialogAnswer(bg);
    form->BtnBrowseBClick(nullptr);
    form->BitBtn6Click(nullptr);
    form->CheckBox1->setChecked(false);
    form->BitBtn6Click(nullptr);
    form->BitBtn6Click(nullptr);
    ASSERT_EQ(form->FPresets.size(), 3u);
    EXPECT_EQ(form->FPresets[1], (TPreset{"", bg, true}));
    EXPECT_EQ(form->FPresets[2], (TPreset{"", bg, false}));
    EXPECT_EQ(form->StringGrid1->Row(), 3);
    EXPECT_EQ(Row(*form, 3), (QStringList{"", "bg.bmp", "Stretch"}));
    EXPECT_EQ(form->FLastImage, 0); // Add uses nothing

    // "#ff" from the settings is no duplicate of the colour 0xFF, whose text is "#FF".
    form->FPresets[0].Background = "#ff";
    form->BtnClearBackClick(nullptr);
    form->BitBtn6Click(nullptr);
    EXPECT_EQ(form->FPresets.size(), 4u);
}

TEST_F(MainWindowTest, UpAndDownMoveThePresetWithTheSelection) {
    for (int i = 0; i < 3; ++i)
        WritePreset(i, QStringLiteral("/p/%1.bmp").arg(i), "#0", false);
    auto form = NewForm();
    form->FLastImage = 2;
    form->SelectPresetRow(1);
    form->BtnUpClick(nullptr); // row 1: nothing
    EXPECT_EQ(form->FPresets[0].Foreground, "/p/0.bmp");
    form->BitBtn1Click(nullptr);
    EXPECT_EQ(form->FPresets[1].Foreground, "/p/0.bmp");
    EXPECT_EQ(form->StringGrid1->Row(), 2);
    form->BitBtn1Click(nullptr);
    EXPECT_EQ(form->FPresets[2].Foreground, "/p/0.bmp");
    EXPECT_EQ(form->StringGrid1->Row(), 3);
    form->BitBtn1Click(nullptr); // last row: nothing
    EXPECT_EQ(form->FPresets[2].Foreground, "/p/0.bmp");
    form->BtnUpClick(nullptr);
    EXPECT_EQ(form->FPresets[1].Foreground, "/p/0.bmp");
    EXPECT_EQ(form->StringGrid1->Row(), 2);
    EXPECT_EQ(Row(*form, 2)[0], "0.bmp");
    // Moving changes neither the editors nor the last used position.
    EXPECT_EQ(form->FLastImage, 2);
    EXPECT_EQ(form->ForegroundPath(), "");
}

TEST_F(MainWindowTest, DeleteUsesThePresetNowSelected) {
    const QString a = WriteBmp(FPictures, "a.bmp", 4, 4, clWhite);
    const QString b = WriteBmp(FPictures, "b.bmp", 5, 5, clWhite);
    const QString c = WriteBmp(FPictures, "c.bmp", 6, 6, clWhite);
    WritePreset(0, a, "#FF", false);
    WritePreset(1, b, "#FF00", false);
    WritePreset(2, c, c, true);
    auto form = NewForm();
    form->SelectPresetRow(2);
    form->BitBtn7Click(nullptr);
    // The selection stays on row 2, now preset c, and it is used.
    ASSERT_EQ(form->FPresets.size(), 2u);
    EXPECT_EQ(form->StringGrid1->Row(), 2);
    EXPECT_EQ(form->ForegroundPath(), c);
    EXPECT_EQ(form->BackgroundPath(), c);
    EXPECT_TRUE(form->CheckBox1->isChecked());
    EXPECT_EQ(form->FLastImage, 1);
    // Deleting the last preset selects and uses the new last one.
    form->BitBtn7Click(nullptr);
    EXPECT_EQ(form->StringGrid1->Row(), 1);
    EXPECT_EQ(form->ForegroundPath(), a);
    EXPECT_EQ(form->ColorBox1->Selected(), clRed);
    EXPECT_EQ(form->BackgroundPath(), "");
    EXPECT_EQ(form->FLastImage, 0);
    // Deleting the only preset leaves one blank, disabled row.
    form->BitBtn7Click(nullptr);
    EXPECT_TRUE(form->FPresets.empty());
    EXPECT_EQ(form->StringGrid1->RowCount(), 2);
    EXPECT_EQ(Row(*form, 1), (QStringList{"", "", ""}));
    EXPECT_FALSE(form->StringGrid1->isEnabled());
    form->BitBtn7Click(nullptr); // and again: nothing
    EXPECT_TRUE(FErrors.isEmpty());
}

TEST_F(MainWindowTest, UseLoadsThePresetIntoTheEditors) {
    const QString fg = WriteBmp(FPictures, "fg.bmp", 7, 5, clWhite);
    const QString bg = WriteBmp(FPictures, "bg.bmp", 9, 3, clWhite);
    WritePreset(0, fg, bg, true);
    WritePreset(1, "", "#8000000F", false);
    WritePreset(2, "/p/missing.bmp", "#0", false);
    auto form = NewForm();
    form->SelectPresetRow(1);
    form->BtnUseClick(nullptr);
    EXPECT_EQ(form->CurrentPreset(), (TPreset{fg, bg, true}));
    EXPECT_EQ(form->Image1->Picture()->Width(), 7);
    EXPECT_EQ(form->Image2->Picture()->Width(), 9);
    EXPECT_EQ(form->OpenDialog1.InitialDir(), FPictures + "/");
    EXPECT_EQ(form->FLastImage, 0);

    form->SelectPresetRow(2);
    form->BtnUseClick(nullptr);
    EXPECT_EQ(form->CurrentPreset(), (TPreset{"", "#8000000F", false}));
    EXPECT_EQ(form->Image1->Picture()->Graphic(), nullptr);
    EXPECT_EQ(form->Image2->Picture()->Width(), 100); // the swatch
    EXPECT_EQ(form->OpenDialog2.InitialDir(), "");

    // A picture that cannot be loaded stops Use at that step, through the error display.
    form->SelectPresetRow(3);
    RunGuarded([&] { form->BtnUseClick(nullptr); });
    EXPECT_EQ(FErrors.size(), 1);
    EXPECT_EQ(form->FLastImage, 2);
    EXPECT_EQ(form->ForegroundPath(), "/p/missing.bmp");
}

TEST_F(MainWindowTest, GridClicksAndKeysUseAndDoubleClickPreviews) {
    WritePreset(0, "", "#FF", false);
    WritePreset(1, "", "#FF00", false);
    WritePreset(2, "", "#FF0000", false);
    auto form = NewForm();
    form->show();
    QApplication::setActiveWindow(form.get());
    ProcessEvents();
    TStringGrid* grid = form->StringGrid1;
    const QRect second = grid->visualRect(grid->model()->index(1, 0));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(grid->Row(), 2);
    EXPECT_EQ(form->ColorBox1->Selected(), clLime);
    EXPECT_EQ(form->FLastImage, 1);

    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_Down);
    EXPECT_EQ(grid->Row(), 3);
    EXPECT_EQ(form->ColorBox1->Selected(), clBlue);
    EXPECT_EQ(form->FLastImage, 2);

    // The grid's menu shortcuts work while the focus is in the grid.
    QTest::keyClick(grid, Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(form->FPresets[1].Background, "#FF0000");
    EXPECT_EQ(grid->Row(), 2);

    const QRect first = grid->visualRect(grid->model()->index(0, 0));
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, first.center());
    EXPECT_EQ(form->ColorBox1->Selected(), clRed);
    ASSERT_TRUE(form->FBack);
    EXPECT_TRUE(form->FBack->HasTarget());
    ASSERT_TRUE(PollUntilIdle(*form));
    form->hide();
}

TEST_F(MainWindowTest, SelectingARowScrollsItIntoView) {
    for (int i = 0; i < 40; ++i)
        WritePreset(i, "", QStringLiteral("#%1").arg(i, 0, 16), false);
    auto form = NewForm();
    form->show();
    ProcessEvents();
    TStringGrid* grid = form->StringGrid1;
    const int visible = grid->VisibleRowCount();
    ASSERT_GT(visible, 2);
    form->SelectPresetRow(40);
    EXPECT_EQ(grid->TopRow(), grid->RowCount() - visible);
    form->SelectPresetRow(10);
    EXPECT_EQ(grid->TopRow(), 10);
    form->SelectPresetRow(1);
    EXPECT_EQ(grid->TopRow(), 1);
    form->hide();
}
