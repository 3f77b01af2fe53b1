// The main window's editors, preview, apply, stop, the status poll and the window commands.
#include "MainWindowFixture.h"

#include "imaging/Wallpaper.h"
#include "support/TestSupport.h"
#include "toolkit/ExtCtrls.h"
#include "toolkit/codecs/BmpCodec.h"
#include "toolkit/codecs/PictureFile.h"
#include "toolkit/widgets/AppEvents.h"
#include "worker/BackWallpaper.h"

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>

using namespace mainwindowtest;

namespace {

// The composition the drawing thread should produce for a preset at a size, made here from the
// same inputs through the composer directly.
std::unique_ptr<TBitmap> Expected(const TPreset& preset, int w, int h) {
    std::unique_ptr<TBitmap> fg, bg;
    TColor color = 0;
    if (!preset.Foreground.isEmpty()) {
        TImage image;
        image.Picture()->LoadFromFile(preset.Foreground);
        fg = ImageToBitmap(&image);
    }
    if (IsColorText(preset.Background)) {
        color = TextToColor(preset.Background);
    } else if (!preset.Background.isEmpty()) {
        TImage image;
        image.Picture()->LoadFromFile(preset.Background);
        bg = ImageToBitmap(&image);
    }
    return ComposeWallpaper(w, h, fg.get(), bg.get(), preset.Tile, color, nullptr, nullptr,
                            nullptr);
}

// Pixels of a graphic drawn into a 24-bit bitmap of its own size.
QImage PixelsOf(TGraphic* graphic) {
    TBitmap copy;
    copy.Assign(graphic);
    copy.SetPixelFormat(TPixelFormat::pf24bit);
    return copy.Image().convertToFormat(QImage::Format_RGB32);
}

} // namespace

TEST_F(MainWindowTest, CurrentPresetIsBuiltFromTheEditors) {
    auto form = NewForm();
    // First start: no foreground, colour mode with black.
    EXPECT_EQ(form->CurrentPreset(), (TPreset{"", "#0", false}));

    form->ColorBox1->SetSelected(clRed);
    form->CheckBox1->setChecked(true);
    EXPECT_EQ(form->CurrentPreset(), (TPreset{"", "#FF", true}));

    form->ColorBox1->SetSelected(clBtnFace);
    EXPECT_EQ(form->CurrentPreset().Background, "#8000000F");

    const QString fg = WriteBmp(FPictures, "fg.bmp", 8, 8, clLime);
    const QString bg = WriteBmp(FPictures, "bg.bmp", 8, 8, clBlue);
    QueueDialogAnswer(fg);
    form->BtnBrowseFClick(nullptr);
    QueueDialogAnswer(bg);
    form->BtnBrowseBClick(nullptr);
    // With a background picture the colour no longer counts.
    EXPECT_EQ(form->CurrentPreset(), (TPreset{fg, bg, true}));
    EXPECT_EQ(form->FLastBrowse1, fg);
    EXPECT_EQ(form->FLastBrowse2, bg);

    form->BtnClearBackClick(nullptr);
    EXPECT_EQ(form->CurrentPreset(), (TPreset{fg, "#8000000F", true}));
    form->BtnClearForeClick(nullptr);
    EXPECT_EQ(form->CurrentPreset().Foreground, "");
    EXPECT_TRUE(form->Image1->Picture()->Graphic() == nullptr);
    // Clearing keeps the last browsed file for the next dialog.
    EXPECT_EQ(form->FLastBrowse1, fg);
}

TEST_F(MainWindowTest, BrowseStartsFromTheLastFileAndACancelLeavesTheEditor) {
    const QString fg = WriteBmp(FPictures, "fg.bmp", 8, 8, clLime);
    auto form = NewForm();
    form->FLastBrowse1 = fg;
    QueueDialogAnswer(QString()); // cancel
    form->BtnBrowseFClick(nullptr);
    ASSERT_EQ(FDialogNames.size(), 1);
    EXPECT_EQ(FDialogNames[0], fg);
    EXPECT_EQ(FDialogDirs[0], FPictures + "/");
    // The cancelled dialog does not make the last browsed file the editor's picture.
    EXPECT_EQ(form->ForegroundPath(), "");

    // A file that cannot be loaded: reported by the default error display; the path is the
    // chosen file, the thumbnail and the last browsed file stay.
    const QString text = FPictures + "/notes.txt";
    QFile(text).open(QIODevice::WriteOnly);
    QueueDialogAnswer(text);
    RunGuarded([&] { form->BtnBrowseFClick(nullptr); });
    ASSERT_EQ(FErrors.size(), 1);
    EXPECT_EQ(FErrors[0], "Unknown picture file extension (.txt)");
    EXPECT_EQ(form->ForegroundPath(), text);
    EXPECT_EQ(form->FLastBrowse1, fg);
}

TEST_F(MainWindowTest, BrowseDeselectsThePresetAndTheColourSwatchFollowsTheColour) {
    auto form = NewForm();
    form->ColorBox1->SetSelected(clRed);
    form->ColorBox1Change(nullptr);
    TGraphic* swatch = form->Image2->Picture()->Graphic();
    ASSERT_NE(swatch, nullptr);
    EXPECT_EQ(swatch->Width(), 100);
    EXPECT_EQ(swatch->Height(), 75);
    const QImage red = PixelsOf(swatch);
    EXPECT_EQ(red.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(red.pixel(99, 74), qRgb(255, 0, 0));

    // With a background picture set, a colour change leaves the thumbnail alone.
    const QString bg = WriteBmp(FPictures, "bg.bmp", 20, 10, clBlue);
    form->BitBtn6Click(nullptr); // a preset, selected
    ASSERT_EQ(form->StringGrid1->Row(), 1);
    QueueDialogAnswer(bg);
    form->BtnBrowseBClick(nullptr);
    EXPECT_EQ(form->StringGrid1->Row(), -1);
    form->ColorBox1->SetSelected(clLime);
    form->ColorBox1Change(nullptr);
    EXPECT_EQ(form->Image2->Picture()->Width(), 20);
    EXPECT_EQ(form->CurrentPreset().Background, bg);

    // Closing up the colour list deselects the preset.
    form->SelectPresetRow(1);
    form->ColorBox1CloseUp(nullptr);
    EXPECT_EQ(form->StringGrid1->Row(), -1);
}

TEST_F(MainWindowTest, EveryColourTheUserPicksDeselectsThePreset) {
    auto form = NewForm();
    form->BitBtn6Click(nullptr); // a preset, selected
    TColorBox* box = form->ColorBox1;
    const auto wheel = [box](int delta) {
        QWheelEvent event(QPointF(5, 5), box->mapToGlobal(QPointF(5, 5)), QPoint(),
                          QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(box, &event);
    };
    const std::pair<const char*, std::function<void()>> picks[] = {
        {"arrow down", [box] { QTest::keyClick(box, Qt::Key_Down); }},
        {"wheel down", [&] { wheel(-120); }},
        {"arrow up", [box] { QTest::keyClick(box, Qt::Key_Up); }},
        {"wheel up", [&] { wheel(120); }},
    };
    for (const auto& [how, pick] : picks) {
        form->SelectPresetRow(1);
        const TColor before = box->Selected();
        pick();
        EXPECT_NE(box->Selected(), before) << how;
        EXPECT_EQ(form->StringGrid1->Row(), -1) << how;
    }
}

TEST_F(MainWindowTest, PreviewRendersTheCompositionIntoThePreviewImage) {
    const QString fg = WritePatternBmp(FPictures, "fg.bmp", 37, 53);
    const QString bg = WritePatternBmp(FPictures, "bg.bmp", 23, 19);
    auto form = NewForm();
    QueueDialogAnswer(fg);
    form->BtnBrowseFClick(nullptr);
    QueueDialogAnswer(bg);
    form->BtnBrowseBClick(nullptr);
    const double before = form->FLastChange;

    for (bool tile : {false, true}) {
        form->CheckBox1->setChecked(tile);
        form->BtnPreviewClick(nullptr);
        ASSERT_TRUE(form->FBack);
        EXPECT_TRUE(form->FBack->HasTarget());
        EXPECT_EQ(form->FBack->TargetWidth, 200);
        EXPECT_EQ(form->FBack->TargetHeight, 150);
        ASSERT_TRUE(PollUntilIdle(*form));
        EXPECT_TRUE(form->StatusBar1->SimpleText().startsWith("Operation completed in"))
            << form->StatusBar1->SimpleText().toStdString();

        TGraphic* shown = form->Image3->Picture()->Graphic();
        ASSERT_NE(shown, nullptr);
        ASSERT_EQ(shown->Width(), 200);
        ASSERT_EQ(shown->Height(), 150);
        const auto expected = Expected(TPreset{fg, bg, tile}, 200, 150);
        EXPECT_EQ(PixelsOf(shown), PixelsOf(expected.get())) << "tile " << tile;
    }
    // A preview is no wallpaper change.
    EXPECT_EQ(form->FLastChange, before);
    EXPECT_EQ(FDesktop->Count(), 0);

    // Colour mode with an empty foreground: the colour text goes to the thread.
    form->BtnClearForeClick(nullptr);
    form->BtnClearBackClick(nullptr);
    form->ColorBox1->SetSelected(clBlack);
    form->BtnPreviewClick(nullptr);
    EXPECT_EQ(form->FBack->Preset, (TPreset{"", "#0", true}));
    ASSERT_TRUE(PollUntilIdle(*form));
    EXPECT_EQ(PixelsOf(form->Image3->Picture()->Graphic()).pixel(100, 75), qRgb(0, 0, 0));
}

TEST_F(MainWindowTest, ApplySetsTheWallpaperAndRecordsTheChangeAtStartAndEnd) {
    const QString fg = WritePatternBmp(FPictures, "fg.bmp", 16, 12);
    auto form = NewForm();
    QueueDialogAnswer(fg);
    form->BtnBrowseFClick(nullptr);
    form->ColorBox1->SetSelected(clNavy);

    FClock = 45100.25;
    form->BtnSetClick(nullptr);
    ASSERT_TRUE(form->FBack);
    EXPECT_FALSE(form->FBack->HasTarget());
    EXPECT_EQ(form->FLastChange, 45100.25);

    FClock = 45100.5;
    ASSERT_TRUE(PollUntilIdle(*form));
    EXPECT_EQ(form->FLastChange, 45100.5);
    ASSERT_EQ(FDesktop->Count(), 1);
    EXPECT_EQ(FDesktop->Paths()[0], GetWallpaperFileName());
    // The file the desktop got is the composition at the screen's size.
    TBitmap written;
    written.LoadFromBytes(FDesktop->LastFile(), "wallpaper");
    const auto expected = Expected(TPreset{fg, "#800000", false}, 64, 48);
    EXPECT_EQ(PixelsOf(&written), PixelsOf(expected.get()));
    // The preview image is not touched by an apply.
    EXPECT_EQ(form->Image3->Picture()->Graphic(), nullptr);
}

TEST_F(MainWindowTest, StopEndsTheDrawingAndSaysSo) {
    auto form = NewForm();
    // No thread: nothing changes, the status text included.
    form->StatusBar1->SetSimpleText("unchanged");
    form->BitBtn5Click(nullptr);
    EXPECT_EQ(form->StatusBar1->SimpleText(), "unchanged");

    // A thread that has finished but was not polled yet is freed and "Stopped!" shows.
    form->BtnSetClick(nullptr);
    ASSERT_TRUE(form->FBack);
    form->FBack->WaitFor();
    form->BitBtn5Click(nullptr);
    EXPECT_FALSE(form->FBack);
    EXPECT_EQ(form->StatusBar1->SimpleText(), "Stopped!");

    // A running preview of a large picture: stopped, its result never reaches the preview.
    const QString big = WritePatternBmp(FPictures, "big.bmp", 2400, 1800);
    QueueDialogAnswer(big);
    form->BtnBrowseFClick(nullptr);
    form->BtnPreviewClick(nullptr);
    form->BitBtn5Click(nullptr);
    EXPECT_FALSE(form->FBack);
    EXPECT_EQ(form->StatusBar1->SimpleText(), "Stopped!");
    EXPECT_EQ(form->Image3->Picture()->Graphic(), nullptr);
}

TEST_F(MainWindowTest, ThePollCopiesStatusAndProgressBeforeItFreesAFinishedThread) {
    auto form = NewForm();
    form->ProgressBar1->setValue(7);
    form->BtnPreviewClick(nullptr);
    ASSERT_TRUE(form->FBack);
    // Let the thread end before the first poll: the one poll must still show its last text.
    while (!form->FBack->Done())
        ProcessEvents(2);
    const QString last = form->FBack->Status();
    const int progress = form->FBack->Progress();
    form->Timer1Timer(nullptr);
    EXPECT_FALSE(form->FBack);
    EXPECT_EQ(form->StatusBar1->SimpleText(), last);
    EXPECT_TRUE(last.startsWith("Operation completed in")) << last.toStdString();
    EXPECT_EQ(form->ProgressBar1->value(), progress);
    // With nothing running the poll leaves the bars as they are.
    form->StatusBar1->SetSimpleText("kept");
    form->Timer1Timer(nullptr);
    EXPECT_EQ(form->StatusBar1->SimpleText(), "kept");
}

TEST_F(MainWindowTest, ThePollLowersTheThreadWhileTheWindowIsHidden) {
    const QString big = WritePatternBmp(FPictures, "big.bmp", 2400, 1800);
    auto form = NewForm();
    QueueDialogAnswer(big);
    form->BtnBrowseFClick(nullptr);
    ASSERT_FALSE(form->isVisible());
    form->BtnPreviewClick(nullptr);
    form->Timer1Timer(nullptr);
    if (form->FBack) { // may have finished on a fast machine
        EXPECT_EQ(form->FBack->Priority(), TThreadPriority::tpLowest);
    }
    form->show();
    form->Timer1Timer(nullptr);
    if (form->FBack) {
        EXPECT_EQ(form->FBack->Priority(), TThreadPriority::tpNormal);
    }
    ASSERT_TRUE(PollUntilIdle(*form));
    form->hide();
}

TEST_F(MainWindowTest, ApplyWhilePreviewRunsStopsAndFreesThePreviewFirst) {
    const QString big = WritePatternBmp(FPictures, "big.bmp", 2400, 1800);
    auto form = NewForm();
    QueueDialogAnswer(big);
    form->BtnBrowseFClick(nullptr);
    form->BtnPreviewClick(nullptr);
    ASSERT_TRUE(form->FBack);
    form->BtnSetClick(nullptr);
    ASSERT_TRUE(form->FBack);
    EXPECT_FALSE(form->FBack->HasTarget());
    ASSERT_TRUE(PollUntilIdle(*form));
    // The stopped preview handed nothing over; the apply reached the desktop once.
    EXPECT_EQ(form->Image3->Picture()->Graphic(), nullptr);
    EXPECT_EQ(FDesktop->Count(), 1);
}

TEST_F(MainWindowTest, ADoubleClickOnThePreviewPreviewsThenApplies) {
    auto form = NewForm();
    form->ColorBox1->SetSelected(clRed);
    form->show();
    // The events of a double-click: press, release, press, double-click, release.
    int clicks = 0;
    QObject::connect(form->Image3, &TImageView::Click, [&] { ++clicks; });
    QTest::mouseClick(form->Image3, Qt::LeftButton, {}, QPoint(50, 50));
    ASSERT_TRUE(form->FBack);
    EXPECT_TRUE(form->FBack->HasTarget());
    QTest::mousePress(form->Image3, Qt::LeftButton, {}, QPoint(50, 50));
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(50, 50),
                    form->Image3->mapToGlobal(QPointF(50, 50)), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(form->Image3, &dbl);
    QTest::mouseRelease(form->Image3, Qt::LeftButton, {}, QPoint(50, 50));
    EXPECT_EQ(clicks, 1);
    // The click started a preview, the double-click replaced it with an apply, and the release
    // that ends the double-click started nothing more.
    ASSERT_TRUE(form->FBack);
    EXPECT_FALSE(form->FBack->HasTarget());
    ASSERT_TRUE(PollUntilIdle(*form));
    EXPECT_EQ(FDesktop->Count(), 1);

    // A single click previews.
    QTest::mouseClick(form->Image3, Qt::LeftButton, {}, QPoint(50, 50));
    ASSERT_TRUE(form->FBack);
    EXPECT_TRUE(form->FBack->HasTarget());
    ASSERT_TRUE(PollUntilIdle(*form));
    EXPECT_NE(form->Image3->Picture()->Graphic(), nullptr);
    form->hide();
}

TEST_F(MainWindowTest, GridColumnsFollowTheGridWidth) {
    auto form = NewForm();
    form->show();
    ProcessEvents();
    ASSERT_EQ(form->StringGrid1->width(), 503);
    EXPECT_EQ(form->StringGrid1->ColWidths(0), 201);
    EXPECT_EQ(form->StringGrid1->ColWidths(1), 201);
    EXPECT_EQ(form->StringGrid1->ColWidths(2), 92);

    // The grid is anchored to all four sides; the buttons stay at the right.
    const int buttonRight = form->Panel2->width() - form->BitBtn6->geometry().right();
    const int deleteBottom = form->Panel2->height() - form->BitBtn7->geometry().bottom();
    form->resize(form->width() + 497, form->height() + 100);
    ProcessEvents();
    ASSERT_EQ(form->StringGrid1->width(), 1000);
    EXPECT_EQ(form->StringGrid1->ColWidths(0), 400);
    EXPECT_EQ(form->StringGrid1->ColWidths(1), 400);
    EXPECT_EQ(form->StringGrid1->ColWidths(2), 192);
    EXPECT_EQ(form->Panel2->width() - form->BitBtn6->geometry().right(), buttonRight);
    EXPECT_EQ(form->Panel2->height() - form->BitBtn7->geometry().bottom(), deleteBottom);
    EXPECT_EQ(form->BitBtn6->y(), 8);
    form->hide();
}

// The design's places of the commands and automation options hold with the monitors' button
// beside them, which overlaps none of them and offers its three choices in its menu.
TEST_F(MainWindowTest, TheMonitorsButtonFitsBesideTheAutomationOptions) {
    auto form = NewForm();
    form->show();
    ProcessEvents();
    const std::vector<std::pair<QWidget*, QRect>> design = {
        {form->BtnExit, {456, 8, 137, 33}},     {form->BtnAbout, {456, 44, 137, 29}},
        {form->GroupBox4, {456, 76, 137, 145}}, {form->cbAutoStart, {8, 20, 97, 17}},
        {form->cbAutoChange, {8, 40, 97, 17}},  {form->Edit1, {56, 60, 37, 21}},
        {form->cbOnStart, {8, 84, 125, 17}},    {form->cbExit, {8, 104, 97, 17}},
        {form->cbRandom, {8, 124, 97, 17}},
    };
    const QRect button = form->cbMonitors->geometry();
    EXPECT_EQ(form->cbMonitors->parentWidget(), form->GroupBox4);
    EXPECT_TRUE(QRect(QPoint(0, 0), form->GroupBox4->size()).contains(button));
    for (const auto& [widget, rect] : design) {
        // (Check boxes may be wider where the font makes their captions so.)
        EXPECT_EQ(widget->pos(), rect.topLeft()) << widget->objectName().toStdString();
        EXPECT_EQ(widget->height(), rect.height()) << widget->objectName().toStdString();
        EXPECT_GE(widget->width(), rect.width()) << widget->objectName().toStdString();
        if (widget->parentWidget() == form->GroupBox4) {
            EXPECT_FALSE(widget->geometry().intersects(button))
                << widget->objectName().toStdString();
        }
    }
    // Its menu chooses; the tooltip says the choice.
    ASSERT_EQ(form->cbMonitors->count(), 3);
    EXPECT_EQ(form->cbMonitors->currentIndex(), 0);
    int changes = 0;
    QObject::connect(form->cbMonitors, &TChoiceButton::currentIndexChanged,
                     [&changes] { ++changes; });
    form->cbMonitors->menu()->actions().at(1)->trigger();
    EXPECT_EQ(form->cbMonitors->currentIndex(), 1);
    EXPECT_EQ(form->MonitorMode(), TMonitorMode(1));
    EXPECT_TRUE(form->cbMonitors->toolTip().endsWith(QLatin1String("Span monitors")));
    EXPECT_EQ(changes, 1);
    form->hide();
}

TEST_F(MainWindowTest, EscapeHidesTheWindowAfterWritingTheSettings) {
    auto form = NewForm();
    form->show();
    QApplication::setActiveWindow(form.get());
    ProcessEvents();
    form->ColorBox1->SetSelected(clRed);
    QTest::keyClick(form.get(), Qt::Key_Escape);
    ProcessEvents();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(Read("Options", "BackColor"), "255");
    EXPECT_EQ(Read("Options", "Background"), "#FF");
    // Closing again writes the same values again.
    form->show();
    form->close();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(Read("Options", "BackColor"), "255");
    EXPECT_TRUE(FErrors.isEmpty());
}

TEST_F(MainWindowTest, CopyPathPutsTheEditorsTextsOnTheClipboard) {
    auto form = NewForm();
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText("before");
    form->CopyAddress1Click(nullptr); // no foreground: the clipboard stays
    EXPECT_EQ(clipboard->text(), "before");
    form->ColorBox1->SetSelected(clRed);
    form->MenuItem3Click(nullptr);
    EXPECT_EQ(clipboard->text(), "#FF");

    const QString fg = WriteBmp(FPictures, "a b.bmp", 4, 4, clWhite);
    const QString bg = WriteBmp(FPictures, "bg.bmp", 4, 4, clWhite);
    QueueDialogAnswer(fg);
    form->BtnBrowseFClick(nullptr);
    QueueDialogAnswer(bg);
    form->BtnBrowseBClick(nullptr);
    form->CopyAddress1Click(nullptr);
    EXPECT_EQ(clipboard->text(), fg);
    form->MenuItem3Click(nullptr);
    EXPECT_EQ(clipboard->text(), bg);
}

TEST_F(MainWindowTest, ColourBoxKeepsASystemColourAsItsValue) {
    auto form = NewForm();
    form->ColorBox1->SetSelected(clBtnFace);
    EXPECT_EQ(form->ColorBox1->Selected(), clBtnFace);
    EXPECT_EQ(form->ColorBox1->currentText(), "Button Face");
    form->BtnClearBackClick(nullptr);
    EXPECT_EQ(form->CurrentPreset().Background, "#8000000F");
    TCloseAction action;
    form->FormClose(nullptr, action);
    EXPECT_EQ(action, TCloseAction::caHide);
    EXPECT_EQ(Read("Options", "BackColor"), "-2147483633");
    EXPECT_EQ(Read("Options", "Background"), "#8000000F");
    Destroy(form);

    auto next = NewForm();
    EXPECT_EQ(next->ColorBox1->Selected(), clBtnFace);
    EXPECT_EQ(next->ColorBox1->currentText(), "Button Face");
    // The swatch shows the system colour as it is now.
    const QImage swatch = PixelsOf(next->Image2->Picture()->Graphic());
    const TColor rgb = ColorToRGB(clBtnFace);
    EXPECT_EQ(swatch.pixel(5, 5), qRgb(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF));
}

TEST_F(MainWindowTest, ImageProgressShowsTheLoadingStages) {
    REQUIRE_TESTDATA();
    auto form = NewForm();
    QStringList texts;
    form->Image1->Image()->OnProgress = [&](TObject* s, TProgressStage st, uint8_t p, bool r,
                                            const TRect& rect, const QString& m) {
        form->Image1Progress(s, st, p, r, rect, m);
        texts << form->StatusBar1->SimpleText();
    };
    QueueDialogAnswer(testsupport::testData("jpeg/testorig.jpg"));
    form->BtnBrowseFClick(nullptr);
    ASSERT_FALSE(texts.isEmpty());
    EXPECT_EQ(texts.first(), "Opening file... ");
    EXPECT_EQ(texts.last(), "Image loaded. ");
    EXPECT_EQ(form->StatusBar1->SimpleText(), "Image loaded. ");
    EXPECT_EQ(form->ProgressBar1->value(), 100);
    for (int i = 1; i + 1 < texts.size(); ++i)
        EXPECT_EQ(texts[i], "Loading image... ");
}

TEST_F(MainWindowTest, ExitSavesStopsTheDrawingAndEndsTheProgram) {
    const QString big = WritePatternBmp(FPictures, "big.bmp", 2400, 1800);
    auto form = NewForm();
    QueueDialogAnswer(big);
    form->BtnBrowseFClick(nullptr);
    form->BtnSetClick(nullptr);
    ASSERT_TRUE(form->FBack);
    form->BtnExitClick(nullptr);
    EXPECT_EQ(FTerminations, 1);
    EXPECT_FALSE(form->FBack); // stopped and waited for before the program ends
    EXPECT_EQ(Read("Options", "Foreground"), big);
    // The desktop was not given a half-written file.
    if (FDesktop->Count() > 0) {
        TBitmap written;
        written.LoadFromBytes(FDesktop->LastFile(), "wallpaper");
        EXPECT_EQ(written.Width(), 64);
    }
}

TEST_F(MainWindowTest, TheNextStartShowsTheWindowWhenItWasShowingAtExit) {
    {
        auto form = NewForm();
        form->show();
        form->resize(700, 500);
        form->BtnExitClick(nullptr); // the window is not hidden first
        Destroy(form);
    }
    {
        auto form = NewForm();
        EXPECT_TRUE(form->isVisible());
        EXPECT_EQ(form->size(), QSize(700, 500));
        // Hidden, then the exit from the tray: the next start shows only the icon.
        form->close();
        form->BtnExitClick(nullptr);
        Destroy(form);
    }
    EXPECT_FALSE(NewForm()->isVisible());
}

TEST_F(MainWindowTest, AnAutomaticStartKeepsTheWindowHidden) {
    WritePreset(0, "", "#FF", false);
    {
        auto form = NewForm();
        form->show();
        form->BtnExitClick(nullptr);
        Destroy(form);
    }
    auto form = NewForm(true);
    EXPECT_FALSE(form->isVisible());
    ASSERT_TRUE(PollUntilIdle(*form));
    // Without "Change On Auto Start" the stored visibility applies as usual.
    form->cbOnStart->setChecked(false);
    form->show();
    form->BtnExitClick(nullptr);
    Destroy(form);
    auto plain = NewForm(true);
    EXPECT_TRUE(plain->isVisible());
    EXPECT_FALSE(plain->FBack);
    plain->hide();
}

// A picture whose read never returns (a stalled network mount): Stop and Exit still end the
// drawing, and the window keeps answering while an editor waits for such a picture.
TEST_F(MainWindowTest, AReadThatNeverReturnsHoldsNeitherStopNorExitNorTheWindow) {
    const QString stalled = WritePatternBmp(FPictures, "stalled.bmp", 40, 30);
    auto form = NewForm();
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    SetPictureReadHook([&](const QString& file) {
        if (file != stalled)
            return;
        std::unique_lock<std::mutex> lock(mutex);
        released.wait(lock, [&] { return release; });
    });
    const auto unblock = [&] {
        {
            std::lock_guard<std::mutex> lock(mutex);
            release = true;
        }
        released.notify_all();
        SetPictureReadHook(nullptr);
    };
    // The editors' load waits in an event loop that still runs timers; the program can end.
    bool ticked = false;
    QTimer::singleShot(100, [&] { ticked = true; });
    QTimer::singleShot(400, [] { ApplicationTerminate(); });
    QueueDialogAnswer(stalled);
    EXPECT_THROW(form->BtnBrowseFClick(nullptr), EAbort);
    EXPECT_TRUE(ticked);
    ResetApplicationTerminate();
    const int terminations = FTerminations;

    for (const bool exit : {false, true}) {
        form->BtnClearForeClick(nullptr);
        TPreset preset;
        preset.Foreground = stalled;
        form->FBack = std::make_unique<BackBack>(preset, nullptr);
        form->FBack->Resume();
        const auto started = std::chrono::steady_clock::now();
        if (exit)
            form->BtnExitClick(nullptr);
        else
            form->BitBtn5Click(nullptr);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_FALSE(form->FBack);
        EXPECT_LT(took, std::chrono::seconds(10));
        if (!exit) {
            EXPECT_EQ(form->StatusBar1->SimpleText(), "Stopped!");
        }
    }
    EXPECT_EQ(FTerminations, terminations + 1);
    unblock(); // the abandoned jobs end by themselves now
}
