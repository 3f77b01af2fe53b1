// The widgets the main window is built from: colour box, string grid, up-down, image view,
// file dialog filter, anchors and the default error display.
#include "toolkit/ExtCtrls.h"
#include "toolkit/widgets/Anchors.h"
#include "toolkit/widgets/AppEvents.h"
#include "toolkit/widgets/ColorBox.h"
#include "toolkit/widgets/Dialogs.h"
#include "toolkit/widgets/ImageView.h"
#include "toolkit/widgets/StringGrid.h"
#include "toolkit/widgets/UpDown.h"

#include <QApplication>
#include <QLineEdit>
#include <QLocale>
#include <QPalette>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

TEST(ColorBoxTest, ListsEveryToolkitColourAfterTheCustomEntry) {
    TColorBox box;
    int standard = 0, extended = 0, system = 0;
    StandardColorNames(&standard);
    ExtendedColorNames(&extended);
    SystemColorNames(&system);
    EXPECT_EQ(box.count(), 1 + standard + extended + system);
    EXPECT_EQ(box.itemText(TColorBox::CustomIndex), "Custom...");
    EXPECT_EQ(box.Selected(), clBlack);
    EXPECT_EQ(box.currentText(), "Black");
}

TEST(ColorBoxTest, AnyValueCanBeSelectedAndIsKept) {
    TColorBox box;
    QSignalSpy changes(&box, &TColorBox::Change);
    for (TColor color : {clRed, clMoneyGreen, clBtnFace, TColor(clSystemColor | 30)}) {
        box.SetSelected(color);
        EXPECT_EQ(box.Selected(), color);
        EXPECT_EQ(box.currentText(), TColorBox::ColorName(color));
    }
    // A value outside the list shows as the custom entry, with its own value.
    box.SetSelected(0x123456);
    EXPECT_EQ(box.currentIndex(), TColorBox::CustomIndex);
    EXPECT_EQ(box.Selected(), 0x123456);
    EXPECT_EQ(box.CustomColor(), 0x123456);
    // Even a system colour index beyond the list.
    box.SetSelected(TColor(clSystemColor | 0x40));
    EXPECT_EQ(box.Selected(), TColor(clSystemColor | 0x40));
    // Selecting in code is no user change.
    EXPECT_EQ(changes.count(), 0);
}

TEST(ColorBoxTest, UserChoicesAndTheCustomDialog) {
    TColorBox box;
    QSignalSpy changes(&box, &TColorBox::Change);
    const int red = box.findText("Red");
    box.setCurrentIndex(red); // what a pick in the list does, before it reports it
    emit box.activated(red);
    EXPECT_EQ(box.Selected(), clRed);
    EXPECT_EQ(changes.count(), 1);

    // The custom entry asks for a colour, starting from the current one.
    TColor asked = -1;
    TColorBox::SetColorDialog([&](QWidget*, TColor initial) -> std::optional<TColor> {
        asked = initial;
        return 0x00A0B0;
    });
    box.setCurrentIndex(TColorBox::CustomIndex);
    emit box.activated(TColorBox::CustomIndex);
    EXPECT_EQ(asked, clRed);
    EXPECT_EQ(box.Selected(), 0x00A0B0);
    EXPECT_EQ(changes.count(), 2);

    // Cancelled: the box goes back to what it showed, no change.
    TColorBox::SetColorDialog([](QWidget*, TColor) { return std::optional<TColor>(); });
    box.SetSelected(clLime);
    box.setCurrentIndex(TColorBox::CustomIndex);
    emit box.activated(TColorBox::CustomIndex);
    EXPECT_EQ(box.Selected(), clLime);
    EXPECT_EQ(changes.count(), 2);
    TColorBox::SetColorDialog(nullptr);
}

TEST(ColorBoxTest, SystemColourSwatchesFollowThePalette) {
    TColorBox box;
    box.SetSelected(clBtnFace);
    const QPalette saved = QApplication::palette();
    const auto swatchCentre = [&] {
        const QImage image = box.itemIcon(box.currentIndex()).pixmap(box.iconSize()).toImage();
        return image.pixelColor(image.width() / 2, image.height() / 2);
    };
    QPalette palette = saved;
    palette.setColor(QPalette::Button, QColor(10, 200, 30));
    QApplication::setPalette(palette);
    QApplication::processEvents();
    EXPECT_EQ(swatchCentre(), ColorToQColor(ColorToRGB(clBtnFace)));
    palette.setColor(QPalette::Button, QColor(200, 20, 90));
    QApplication::setPalette(palette);
    QApplication::processEvents();
    EXPECT_EQ(swatchCentre(), ColorToQColor(ColorToRGB(clBtnFace)));
    QApplication::setPalette(saved);
}

TEST(StringGridTest, RowsSelectionAndTheHeaderRow) {
    TStringGrid grid;
    grid.SetColCount(3);
    grid.SetRowCount(5);
    EXPECT_EQ(grid.RowCount(), 5);
    grid.SetCells(1, 0, "Background");
    grid.SetCells(2, 4, "Tile");
    EXPECT_EQ(grid.Cells(1, 0), "Background");
    EXPECT_EQ(grid.Cells(2, 4), "Tile");
    EXPECT_EQ(grid.Cells(0, 3), "");
    EXPECT_EQ(grid.Selection(), TGridRect{});

    grid.SetSelection({0, 4, 2, 4});
    EXPECT_EQ(grid.Selection(), (TGridRect{0, 4, 2, 4}));
    // Fewer rows: the selection moves onto the new last row.
    grid.SetRowCount(3);
    EXPECT_EQ(grid.Row(), 2);
    grid.SetRowCount(6);
    EXPECT_EQ(grid.Row(), 2);
    // At least the header and one row.
    grid.SetRowCount(0);
    EXPECT_EQ(grid.RowCount(), 2);
    grid.SetSelection({});
    EXPECT_EQ(grid.Row(), -1);
    grid.SetRowCount(4); // no selection stays none
    EXPECT_EQ(grid.Row(), -1);
}

TEST(StringGridTest, ARightClickLeavesTheSelection) {
    TStringGrid grid;
    grid.SetColCount(2);
    grid.SetRowCount(4);
    grid.resize(200, 120);
    grid.show();
    QSignalSpy clicks(&grid, &TStringGrid::Click);
    const QRect second = grid.visualRect(grid.model()->index(1, 0));
    QTest::mouseClick(grid.viewport(), Qt::RightButton, {}, second.center());
    EXPECT_EQ(grid.Row(), -1);
    EXPECT_EQ(clicks.count(), 0);
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(grid.Selection(), (TGridRect{0, 2, 1, 2}));
    EXPECT_EQ(clicks.count(), 1);
    // Below the last row: nothing.
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, QPoint(10, 110));
    EXPECT_EQ(grid.Row(), 2);
    EXPECT_EQ(clicks.count(), 1);
}

TEST(UpDownTest, StepsWithinTheRangeAndWritesTheEditBox) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QLineEdit edit;
    TUpDown updown;
    updown.SetRange(1, 10000);
    updown.SetAssociate(&edit);
    updown.SetPosition(999);
    EXPECT_EQ(edit.text(), "999");
    QTest::keyClick(&edit, Qt::Key_Up);
    EXPECT_EQ(updown.Position(), 1000);
    EXPECT_EQ(edit.text(), "1.000"); // the locale's digit grouping
    updown.SetPosition(20000);
    EXPECT_EQ(updown.Position(), 10000);
    QTest::keyClick(&edit, Qt::Key_Up); // no wrap
    EXPECT_EQ(updown.Position(), 10000);
    updown.SetPosition(-5);
    EXPECT_EQ(updown.Position(), 1);
    QTest::keyClick(&edit, Qt::Key_Down);
    EXPECT_EQ(updown.Position(), 1);

    // Typed text becomes the position when it reads as a whole number, grouped or not; a
    // fraction or other text leaves the position and stays in the box.
    edit.clear();
    QTest::keyClicks(&edit, "2.500");
    EXPECT_EQ(updown.Position(), 2500);
    edit.clear();
    QTest::keyClicks(&edit, "1,25"); // "1" and "1," were whole numbers on the way
    EXPECT_EQ(updown.Position(), 1);
    EXPECT_EQ(edit.text(), "1,25");
    QTest::keyClick(&edit, Qt::Key_Up); // steps from the position, not from the text
    EXPECT_EQ(updown.Position(), 2);
    edit.clear();
    QTest::keyClicks(&edit, "abc");
    EXPECT_EQ(updown.Position(), 2);
    QLocale::setDefault(QLocale::c());
}

TEST(UpDownTest, ParseNumberReadsWholeNumbersInTheLocale) {
    struct Case {
        QLocale Locale;
        const char* Text;
        int Value; // -1: no whole number
    };
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    const QLocale de(QLocale::German, QLocale::Germany);
    const QLocale fr(QLocale::French, QLocale::France);
    for (const Case& c :
         {Case{en, " 42 ", 42}, Case{en, "1,000", 1000}, Case{en, "1.5", -1}, Case{en, "12.75", -1},
          Case{en, "1,5", -1}, Case{en, "1,00", -1}, Case{en, "", -1}, Case{en, "5 min", -1},
          Case{en, ",", -1}, Case{en, "3000000000", -1}, Case{de, "1.000", 1000},
          Case{de, "1,0", 1}, Case{de, "1,5", -1}, Case{de, "1.5", -1}, Case{de, "1,250", -1},
          Case{fr, "1 000", 1000}, Case{fr, "1\u202F000", 1000}}) {
        QLocale::setDefault(c.Locale);
        int value = -7;
        EXPECT_EQ(TUpDown::ParseNumber(QString::fromUtf8(c.Text), &value), c.Value >= 0)
            << c.Locale.name().toStdString() << " " << c.Text;
        EXPECT_EQ(value, c.Value >= 0 ? c.Value : -7) << c.Text;
    }
    QLocale::setDefault(QLocale::c());
}

TEST(ImageViewTest, PicturesAreCentredAndOnlyScaledDown) {
    const QSize area(100, 75);
    // Smaller: own size, centred.
    EXPECT_EQ(TImageView::DisplayRect(QSize(20, 10), area), QRect(40, 32, 20, 10));
    // Larger: scaled down with the proportions kept.
    EXPECT_EQ(TImageView::DisplayRect(QSize(400, 100), area), QRect(0, 25, 100, 25));
    EXPECT_EQ(TImageView::DisplayRect(QSize(300, 900), area), QRect(37, 0, 25, 75));
    // Exactly the size: as it is.
    EXPECT_EQ(TImageView::DisplayRect(QSize(100, 75), area), QRect(0, 0, 100, 75));
    // A very thin picture keeps at least one pixel.
    EXPECT_EQ(TImageView::DisplayRect(QSize(10000, 1), area).height(), 1);
    EXPECT_TRUE(TImageView::DisplayRect(QSize(), area).isNull());
}

TEST(ImageViewTest, DrawsThePictureAndLeavesTheRestTransparent) {
    QWidget parent;
    parent.resize(200, 150);
    QPalette palette;
    palette.setColor(QPalette::Window, Qt::yellow);
    parent.setPalette(palette);
    parent.setAutoFillBackground(true);
    TImageView view(&parent);
    view.setGeometry(0, 0, 100, 75);
    EXPECT_EQ(view.Image()->Width(), 100);
    EXPECT_EQ(view.Image()->Height(), 75);
    TBitmap red(10, 10);
    red.Canvas()->Brush().Color = clRed;
    red.Canvas()->FillRect(Rect(0, 0, 10, 10));
    view.Picture()->SetGraphic(&red);
    const QImage shot = parent.grab(QRect(0, 0, 100, 75)).toImage();
    EXPECT_EQ(shot.pixelColor(50, 37), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(5, 5), QColor(Qt::yellow)); // the parent shows through
    view.Picture()->SetGraphic(nullptr);
    EXPECT_EQ(parent.grab(QRect(0, 0, 100, 75)).toImage().pixelColor(50, 37), QColor(Qt::yellow));
}

TEST(ImageViewTest, AReleaseEndingADoubleClickIsNoClick) {
    TImageView view;
    view.resize(50, 50);
    view.show();
    QSignalSpy clicks(&view, &TImageView::Click);
    QSignalSpy doubles(&view, &TImageView::DblClick);
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(10, 10));
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(10, 10), view.mapToGlobal(QPointF(10, 10)),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &dbl);
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(doubles.count(), 1);
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(clicks.count(), 2);
}

TEST(OpenDialogTest, FilterBecomesQtNameFilters) {
    EXPECT_EQ(
        TOpenDialog::NameFilters("Pictures (*.bmp;*.jpg;*.jpeg;*.ico;*.emf;*.wmf)|*.bmp;*.jpg;"
                                 "*.jpeg;*.ico;*.emf;*.wmf|All files (*.*)|*.*"),
        (QStringList{"Pictures (*.bmp *.jpg *.jpeg *.ico *.emf *.wmf)", "All files (*.*)"}));
    EXPECT_EQ(TOpenDialog::NameFilters("Bitmaps|*.bmp"), (QStringList{"Bitmaps (*.bmp)"}));
    EXPECT_TRUE(TOpenDialog::NameFilters("dangling").isEmpty());
}

TEST(AnchorsTest, AnchoredSidesKeepTheirDistances) {
    QWidget parent;
    parent.resize(300, 200);
    QWidget stretch(&parent), right(&parent), corner(&parent);
    stretch.setGeometry(5, 5, 200, 150);
    right.setGeometry(220, 10, 60, 20);
    corner.setGeometry(220, 170, 60, 20);
    SetAnchors(&stretch, TAnchorKind::akLeft | TAnchorKind::akTop | TAnchorKind::akRight |
                             TAnchorKind::akBottom);
    SetAnchors(&right, TAnchorKind::akTop | TAnchorKind::akRight);
    SetAnchors(&corner, TAnchorKind::akRight | TAnchorKind::akBottom);
    parent.resize(500, 260);
    ApplyAnchors(&parent);
    EXPECT_EQ(stretch.geometry(), QRect(5, 5, 400, 210));
    EXPECT_EQ(right.geometry(), QRect(420, 10, 60, 20));
    EXPECT_EQ(corner.geometry(), QRect(420, 230, 60, 20));
}

TEST(ErrorDisplayTest, AnErrorEscapingAHandlerIsShownAndTheProgramGoesOn) {
    QStringList shown;
    SetExceptionDisplay([&](const QString& m) { shown << m; });
    bool after = false;
    RunGuarded([] { throw EInvalidGraphic("Unknown picture file extension (.txt)"); });
    RunGuarded([] { throw std::runtime_error("plain"); });
    auto handler = Guarded([&] { after = true; });
    handler();
    SetExceptionDisplay(nullptr);
    EXPECT_EQ(shown, (QStringList{"Unknown picture file extension (.txt)", "plain"}));
    EXPECT_TRUE(after);
}
