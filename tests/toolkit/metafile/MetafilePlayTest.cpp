// Playing hand-made records: the mapping modes, the object table, the device-context state,
// figures, paths, clipping, text and bitmaps.
#include "MetafileBuilders.h"
#include "toolkit/metafile/MetafileDevice.h"
#include "toolkit/metafile/MetafileDib.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <functional>
#include <random>

using namespace mftest;
using namespace metafile;

namespace {

constexpr uint32_t kBlackBrush = 0x80000004, kNullBrush = 0x80000005, kNullPen = 0x80000008;
constexpr QRgb kBlack = 0x000000, kWhite = 0xFFFFFF, kRed = 0xFF0000, kGreen = 0x00FF00;

// --- mapping modes: a black box drawn through each mode onto a 100 x 100 target

// EMF reference device: 10 pixels per millimetre; the 100 mm frame fills 100 target pixels,
// so a target pixel is 10 device pixels.
QImage EmfBox(const std::function<void(TEmfBuilder&)>& setup, int l, int t, int r, int b) {
    TEmfBuilder e(0, 0, 10000, 10000, 1000, 1000, 100, 100);
    setup(e);
    e.Rec(EMR_SELECTOBJECT, {kBlackBrush}).Rec(EMR_SELECTOBJECT, {kNullPen});
    e.Rec(EMR_RECTANGLE, {I(l), I(t), I(r), I(b)});
    return Render(e.Bytes(), 100, 100);
}

// The box covers `expected` (target pixels), within a pixel at its edges.
void ExpectBox(const QImage& image, QRect expected) {
    const QRect drawn = Drawn(image);
    EXPECT_NEAR(drawn.left(), expected.left(), 1) << "left";
    EXPECT_NEAR(drawn.top(), expected.top(), 1) << "top";
    EXPECT_NEAR(drawn.right() + 1, expected.right() + 1, 1.5) << "right";
    EXPECT_NEAR(drawn.bottom() + 1, expected.bottom() + 1, 1.5) << "bottom";
    EXPECT_EQ(At(image, expected.center().x(), expected.center().y()), kBlack);
}

QRect Box(int l, int t, int r, int b) {
    return QRect(QPoint(l, t), QPoint(r - 1, b - 1));
}

TEST(MetafileMapping, EmfFixedModesScaleThroughTheReferenceDevice) {
    auto mode = [](int m) { return [m](TEmfBuilder& e) { e.Rec(EMR_SETMAPMODE, {I(m)}); }; };
    ExpectBox(EmfBox(mode(MM_TEXT), 200, 300, 600, 700), Box(20, 30, 60, 70));
    // 0.1 mm is one device pixel; y grows upwards.
    ExpectBox(EmfBox(mode(MM_LOMETRIC), 200, -300, 600, -700), Box(20, 30, 60, 70));
    ExpectBox(EmfBox(mode(MM_HIMETRIC), 2000, -3000, 6000, -7000), Box(20, 30, 60, 70));
    // One inch (25.4 mm) is 254 device pixels, 25.4 target pixels.
    ExpectBox(EmfBox(mode(MM_LOENGLISH), 100, -100, 200, -200), Box(25, 25, 51, 51));
    ExpectBox(EmfBox(mode(MM_HIENGLISH), 1000, -1000, 2000, -2000), Box(25, 25, 51, 51));
    ExpectBox(EmfBox(mode(MM_TWIPS), 1440, -1440, 2880, -2880), Box(25, 25, 51, 51));
}

TEST(MetafileMapping, EmfWindowAndViewport) {
    // Anisotropic: x and y scale on their own.
    ExpectBox(EmfBox(
                  [](TEmfBuilder& e) {
                      e.Rec(EMR_SETMAPMODE, {MM_ANISOTROPIC})
                          .Rec(EMR_SETWINDOWEXTEX, {100, 100})
                          .Rec(EMR_SETVIEWPORTEXTEX, {1000, 500});
                  },
                  10, 10, 50, 50),
              Box(10, 5, 50, 25));
    // Isotropic: the viewport shrinks so that units keep their proportions.
    ExpectBox(EmfBox(
                  [](TEmfBuilder& e) {
                      e.Rec(EMR_SETMAPMODE, {MM_ISOTROPIC})
                          .Rec(EMR_SETWINDOWEXTEX, {100, 100})
                          .Rec(EMR_SETVIEWPORTEXTEX, {1000, 500});
                  },
                  10, 10, 50, 50),
              Box(5, 5, 25, 25));
    // Origins: the window origin lands on the viewport origin.
    ExpectBox(EmfBox(
                  [](TEmfBuilder& e) {
                      e.Rec(EMR_SETMAPMODE, {MM_ANISOTROPIC})
                          .Rec(EMR_SETWINDOWEXTEX, {100, 100})
                          .Rec(EMR_SETVIEWPORTEXTEX, {1000, 1000})
                          .Rec(EMR_SETWINDOWORGEX, {50, 50})
                          .Rec(EMR_SETVIEWPORTORGEX, {100, 100});
                  },
                  50, 50, 90, 90),
              Box(10, 10, 50, 50));
    // Extents set in a fixed mode are ignored; scaling works in the free ones.
    ExpectBox(EmfBox(
                  [](TEmfBuilder& e) {
                      e.Rec(EMR_SETWINDOWEXTEX, {1, 1}).Rec(EMR_SETVIEWPORTEXTEX, {5, 5});
                      e.Rec(EMR_SETMAPMODE, {MM_ANISOTROPIC})
                          .Rec(EMR_SETWINDOWEXTEX, {100, 100})
                          .Rec(EMR_SETVIEWPORTEXTEX, {500, 500})
                          .Rec(EMR_SCALEVIEWPORTEXTEX, {2, 1, 2, 1});
                  },
                  10, 10, 50, 50),
              Box(10, 10, 50, 50));
}

TEST(MetafileMapping, EmfWorldTransformSetAndModified) {
    ExpectBox(EmfBox(
                  [](TEmfBuilder& e) {
                      e.Rec(EMR_SETWORLDTRANSFORM, {F(2), 0, 0, F(2), F(100), F(100)});
                  },
                  50, 50, 150, 150),
              Box(20, 20, 40, 40));
    // Right-multiplying applies the new transform after the current one.
    ExpectBox(EmfBox(
                  [](TEmfBuilder& e) {
                      e.Rec(EMR_SETWORLDTRANSFORM, {F(2), 0, 0, F(2), 0, 0})
                          .Rec(EMR_MODIFYWORLDTRANSFORM, {F(1), 0, 0, F(1), F(100), F(0), 3});
                  },
                  50, 50, 150, 150),
              Box(20, 10, 40, 30));
    // Left-multiplying applies it before.
    ExpectBox(EmfBox(
                  [](TEmfBuilder& e) {
                      e.Rec(EMR_SETWORLDTRANSFORM, {F(2), 0, 0, F(2), 0, 0})
                          .Rec(EMR_MODIFYWORLDTRANSFORM, {F(1), 0, 0, F(1), F(100), F(0), 2});
                  },
                  50, 50, 150, 150),
              Box(30, 10, 50, 30));
    // A singular transform is refused and the previous one stays.
    ExpectBox(EmfBox(
                  [](TEmfBuilder& e) {
                      e.Rec(EMR_SETWORLDTRANSFORM, {0, 0, 0, 0, 0, 0});
                  },
                  200, 300, 600, 700),
              Box(20, 30, 60, 70));
}

TEST(MetafileMapping, SavedStatesRestoreByRelativeAndAbsoluteIndex) {
    ExpectBox(EmfBox(
                  [](TEmfBuilder& e) {
                      e.Rec(EMR_SETMAPMODE, {MM_LOMETRIC})
                          .Rec(EMR_SAVEDC, {})
                          .Rec(EMR_SETMAPMODE, {MM_HIMETRIC})
                          .Rec(EMR_RESTOREDC, {I(-1)});
                  },
                  200, -300, 600, -700),
              Box(20, 30, 60, 70));
    ExpectBox(EmfBox(
                  [](TEmfBuilder& e) {
                      e.Rec(EMR_SAVEDC, {}) // state 1: MM_TEXT
                          .Rec(EMR_SETMAPMODE, {MM_LOMETRIC})
                          .Rec(EMR_SAVEDC, {}) // state 2
                          .Rec(EMR_SETMAPMODE, {MM_HIMETRIC})
                          .Rec(EMR_RESTOREDC, {1})
                          .Rec(EMR_RESTOREDC, {I(-1)}); // nothing left: ignored
                  },
                  200, 300, 600, 700),
              Box(20, 30, 60, 70));
}

// WMF: a 1000 x 1000 bounding box at 1000 units per inch onto 100 x 100 target pixels.
QImage WmfBox(const std::function<void(TWmfBuilder&)>& setup, int l, int t, int r, int b) {
    TWmfBuilder w(true, 0, 0, 1000, 1000, 1000);
    setup(w);
    w.Rec(META_CREATEBRUSHINDIRECT, {0, 0, 0, 0})
        .Rec(META_SELECTOBJECT, {0}); // black brush in slot 0
    w.Rec(META_CREATEPENINDIRECT, {5, 0, 0, 0, 0})
        .Rec(META_SELECTOBJECT, {1}); // null pen in slot 1
    w.Rec(META_RECTANGLE, {S(int16_t(b)), S(int16_t(r)), S(int16_t(t)), S(int16_t(l))});
    TMetafile m;
    m.LoadFromBytes(w.Bytes(), QStringLiteral("box.wmf"));
    return Render(m, 100, 100);
}

TEST(MetafileMapping, WmfBoundingBoxWindowAndModes) {
    ExpectBox(WmfBox([](TWmfBuilder&) {}, 200, 300, 600, 700), Box(20, 30, 60, 70));
    // The file's window fills the bounding box.
    ExpectBox(WmfBox(
                  [](TWmfBuilder& w) {
                      w.Rec(META_SETWINDOWORG, {100, 100})
                          .Rec(META_SETWINDOWEXT, {500, 500}); // org, ext (y, x)
                  },
                  100, 100, 350, 350),
              Box(0, 0, 50, 50));
    // MM_TEXT: one logical unit is one unit of the bounding box.
    ExpectBox(WmfBox([](TWmfBuilder& w) { w.Rec(META_SETMAPMODE, {MM_TEXT}); }, 200, 300, 600, 700),
              Box(20, 30, 60, 70));
    // Twips: 1440 to the inch, y upwards.
    ExpectBox(
        WmfBox([](TWmfBuilder& w) { w.Rec(META_SETMAPMODE, {MM_TWIPS}); }, 0, 0, 720, S(-720)),
        Box(0, 0, 50, 50));
    // 0.1 mm units: 100 of them are 3.937 mm, 393.7 box units.
    ExpectBox(WmfBox([](TWmfBuilder& w) { w.Rec(META_SETMAPMODE, {MM_LOMETRIC}); }, 100, S(-100),
                     200, S(-200)),
              Box(39, 39, 79, 79));
    // Viewport extent and origin in box units; offsets of the window origin.
    ExpectBox(WmfBox(
                  [](TWmfBuilder& w) {
                      w.Rec(META_SETWINDOWEXT, {100, 100})      // window extent
                          .Rec(META_SETVIEWPORTEXT, {500, 500}) // viewport extent: half the box
                          .Rec(META_OFFSETWINDOWORG, {10, 10}); // window origin moved to (10, 10)
                  },
                  10, 10, 60, 60),
              Box(0, 0, 25, 25));
}

// --- object table

TEST(MetafileObjects, WmfCreatesTakeTheLowestFreeSlotEvenForUnsupportedObjects) {
    TWmfBuilder w(true, 0, 0, 20, 20, 96);
    w.Rec(META_CREATEBRUSHINDIRECT, {0, 0x00FF, 0, 0}); // slot 0: red brush
    w.Rec(META_CREATEBRUSHINDIRECT, {0, 0xFF00, 0, 0}); // slot 1: green brush (deleted below)
    w.Rec(META_CREATEBRUSHINDIRECT, {0, 0, 0xFF, 0});   // slot 2: blue brush
    w.Rec(META_DELETEOBJECT, {1});                      // slot 1 is free again
    // An object this player does not draw with still takes slot 1 ...
    w.Rec(META_CREATEPATTERNBRUSH, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    // ... so this green brush goes to slot 3.
    w.Rec(META_CREATEBRUSHINDIRECT, {0, 0xFF00, 0, 0});
    w.Rec(META_CREATEPENINDIRECT, {5, 0, 0, 0, 0}).Rec(META_SELECTOBJECT, {4}); // null pen, slot 4
    w.Rec(META_SELECTOBJECT, {0}).Rec(META_RECTANGLE, {20, 10, 0, 0});          // red on the left
    w.Rec(META_SELECTOBJECT, {3}).Rec(META_RECTANGLE, {20, 20, 0, 10}); // green on the right
    TMetafile m;
    m.LoadFromBytes(w.Bytes(), QStringLiteral("slots.wmf"));
    const QImage image = Render(m, 20, 20);
    EXPECT_EQ(At(image, 4, 10), kRed);
    EXPECT_EQ(At(image, 14, 10), kGreen);
}

TEST(MetafileObjects, WmfDamagedCreateStillTakesItsSlot) {
    TWmfBuilder w(true, 0, 0, 20, 20, 96);
    w.Rec(META_CREATEREGION,
          {0, 6, 0, 0, 50, 3}); // a region claiming scans the record does not hold
    w.Rec(META_CREATEBRUSHINDIRECT, {0, 0xFF00, 0, 0}); // slot 1
    w.Rec(META_CREATEPENINDIRECT, {5, 0, 0, 0, 0});     // slot 2: null pen
    w.Rec(META_SELECTOBJECT, {1}).Rec(META_SELECTOBJECT, {2}).Rec(META_RECTANGLE, {20, 20, 0, 0});
    TMetafile m;
    m.LoadFromBytes(w.Bytes(), QStringLiteral("damaged-create.wmf"));
    const QImage image = Render(m, 20, 20);
    EXPECT_EQ(At(image, 10, 10), kGreen);
    EXPECT_EQ(m.LastPlayStats().Skipped, 1);
}

TEST(MetafileObjects, EmfStockObjectsByHighBitAndDeletedObjects) {
    TEmfBuilder e = TEmfBuilder::Pixels(30, 10);
    e.Rec(EMR_CREATEBRUSHINDIRECT, {1, 0, 0x0000FF, 0}); // red brush at 1
    e.Rec(EMR_SELECTOBJECT, {1}).Rec(EMR_SELECTOBJECT, {kNullPen});
    e.Rec(EMR_RECTANGLE, {0, 0, 11, 11});
    e.Rec(EMR_DELETEOBJECT, {1});
    e.Rec(EMR_SELECTOBJECT, {1}); // deleted: the selected copy stays
    e.Rec(EMR_RECTANGLE, {10, 0, 21, 11});
    e.Rec(EMR_SELECTOBJECT, {kNullBrush}).Rec(EMR_SELECTOBJECT, {0x80000007}); // black pen
    e.Rec(EMR_RECTANGLE, {20, 0, 30, 10});
    // An index far beyond the header's table is accepted.
    e.Rec(EMR_CREATEBRUSHINDIRECT, {5000, 0, 0x00FF00, 0}).Rec(EMR_SELECTOBJECT, {5000});
    e.Rec(EMR_SELECTOBJECT, {kNullPen}).Rec(EMR_RECTANGLE, {0, 8, 31, 11});
    const QImage image = Render(e.Bytes(), 30, 10);
    EXPECT_EQ(At(image, 5, 5), kRed);
    EXPECT_EQ(At(image, 15, 5), kRed);
    EXPECT_EQ(At(image, 25, 5), kWhite); // null brush: outline only
    EXPECT_EQ(At(image, 20, 5), kBlack);
    EXPECT_EQ(At(image, 15, 8), kGreen);
}

// --- figures at one target pixel per logical unit

TEST(MetafileFigures, RectanglesExcludeTheirRightAndBottomEdges) {
    TEmfBuilder e = TEmfBuilder::Pixels(20, 20);
    e.Rec(EMR_CREATEBRUSHINDIRECT, {1, 0, 0x0000FF, 0}).Rec(EMR_SELECTOBJECT, {1});
    e.Rec(EMR_RECTANGLE, {2, 2, 8, 8}); // black one-pixel pen
    e.Rec(EMR_SELECTOBJECT, {kNullPen}).Rec(EMR_RECTANGLE, {10, 10, 16, 16});
    const QImage image = Render(e.Bytes(), 20, 20);
    EXPECT_EQ(Drawn(image).topLeft(), QPoint(2, 2));
    EXPECT_EQ(At(image, 7, 5), kBlack); // the outline's right column is 7
    EXPECT_EQ(At(image, 8, 5), kWhite);
    EXPECT_EQ(At(image, 5, 7), kBlack);
    EXPECT_EQ(At(image, 5, 5), kRed);
    // Without a pen the filled area is one pixel smaller: 10..14.
    EXPECT_EQ(At(image, 10, 10), kRed);
    EXPECT_EQ(At(image, 14, 14), kRed);
    EXPECT_EQ(At(image, 15, 12), kWhite);
}

TEST(MetafileFigures, LinesLeaveOutTheirLastPixel) {
    TEmfBuilder e = TEmfBuilder::Pixels(20, 10);
    e.Rec(EMR_MOVETOEX, {2, 5}).Rec(EMR_LINETO, {12, 5}).Rec(EMR_LINETO, {12, 9});
    const QImage image = Render(e.Bytes(), 20, 10);
    EXPECT_EQ(At(image, 2, 5), kBlack);
    EXPECT_EQ(At(image, 11, 5), kBlack);
    EXPECT_EQ(At(image, 12, 8), kBlack);
    EXPECT_EQ(At(image, 12, 9), kWhite);
}

TEST(MetafileFigures, VeryWidePensStayWide) {
    // Drawn 500 times enlarged, the pen is far wider than a QPen takes: the line still covers
    // the visible part of the picture instead of shrinking to a hairline.
    TEmfBuilder e = TEmfBuilder::Pixels(40, 40);
    e.Rec(EMR_CREATEPEN, {1, 0, 200, 0, 0}).Rec(EMR_SELECTOBJECT, {1});
    e.Rec(EMR_MOVETOEX, {0, 20}).Rec(EMR_LINETO, {40, 20});
    TMetafile m;
    m.LoadFromBytes(e.Bytes(), QStringLiteral("wide.emf"));
    QImage image(40, 40, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    m.PaintRect(painter, QRectF(0, -10000, 20000, 20000)); // the line runs along row 0
    painter.end();
    EXPECT_EQ(At(image, 20, 0), kBlack);
    EXPECT_EQ(At(image, 20, 39), kBlack);
}

TEST(MetafileFigures, PolygonFillModes) {
    // A pentagram: its middle is inside with winding filling, outside with alternate.
    auto star = [](int mode) {
        TEmfBuilder e = TEmfBuilder::Pixels(100, 100);
        e.Rec(EMR_SETPOLYFILLMODE, {I(mode)});
        e.Rec(EMR_SELECTOBJECT, {kBlackBrush}).Rec(EMR_SELECTOBJECT, {kNullPen});
        e.Rec(EMR_POLYGON, {0, 0, 100, 100, 5, 50, 5, 79, 95, 2, 35, 98, 35, 21, 95});
        return Render(e.Bytes(), 100, 100);
    };
    EXPECT_EQ(At(star(ALTERNATE), 50, 50), kWhite);
    EXPECT_EQ(At(star(WINDING), 50, 50), kBlack);
    EXPECT_EQ(At(star(ALTERNATE), 50, 20), kBlack);
}

TEST(MetafileFigures, HatchesUseTheBackgroundModeAndColour) {
    auto hatched = [](int bkMode) {
        TEmfBuilder e = TEmfBuilder::Pixels(16, 16);
        e.Rec(EMR_SETBKMODE, {I(bkMode)}).Rec(EMR_SETBKCOLOR, {0x00FF00});
        e.Rec(EMR_CREATEBRUSHINDIRECT, {1, BS_HATCHED, 0x0000FF, 0}); // horizontal, red
        e.Rec(EMR_SELECTOBJECT, {1}).Rec(EMR_SELECTOBJECT, {kNullPen});
        e.Rec(EMR_RECTANGLE, {0, 0, 17, 17});
        return Render(e.Bytes(), 16, 16);
    };
    const QImage opaque = hatched(OPAQUE), transparent = hatched(TRANSPARENT);
    int redRows = 0;
    for (int y = 0; y < 16; ++y)
        redRows += At(opaque, 3, y) == kRed;
    EXPECT_EQ(redRows, 2); // one line every 8 pixels
    for (int y = 0; y < 16; ++y) {
        EXPECT_EQ(At(opaque, 5, y) == kRed, At(transparent, 5, y) == kRed);
        if (At(opaque, 5, y) != kRed) {
            EXPECT_EQ(At(opaque, 5, y), kGreen);
            EXPECT_EQ(At(transparent, 5, y), kWhite);
        }
    }
}

TEST(MetafileFigures, XorPenDrawnTwiceLeavesTheBackground) {
    TEmfBuilder e = TEmfBuilder::Pixels(20, 20);
    // White on white gives black; a second time white again.
    e.Rec(EMR_SETROP2, {7}).Rec(EMR_SELECTOBJECT, {0x80000000}).Rec(EMR_SELECTOBJECT, {kNullPen});
    e.Rec(EMR_RECTANGLE, {2, 2, 13, 13}).Rec(EMR_RECTANGLE, {6, 6, 17, 17});
    const QImage image = Render(e.Bytes(), 20, 20);
    EXPECT_EQ(At(image, 4, 4), kBlack);
    EXPECT_EQ(At(image, 8, 8), kWhite); // drawn twice
    EXPECT_EQ(At(image, 14, 14), kBlack);
    EXPECT_EQ(At(image, 18, 18), kWhite);
}

TEST(MetafileFigures, ArcDirectionChoosesTheOtherSideOfAPie) {
    auto pie = [](int direction) {
        TEmfBuilder e = TEmfBuilder::Pixels(40, 40);
        e.Rec(EMR_SETARCDIRECTION, {I(direction)}).Rec(EMR_SELECTOBJECT, {kBlackBrush});
        // From the top (12 o'clock) to the right (3 o'clock).
        e.Rec(EMR_PIE, {0, 0, 40, 40, 20, 0, 40, 20});
        return Render(e.Bytes(), 40, 40);
    };
    const QImage ccw = pie(AD_COUNTERCLOCKWISE), cw = pie(AD_CLOCKWISE);
    EXPECT_EQ(At(cw, 28, 10), kBlack); // top right quarter
    EXPECT_EQ(At(cw, 10, 28), kWhite);
    EXPECT_EQ(At(ccw, 28, 10), kWhite); // the other three quarters
    EXPECT_EQ(At(ccw, 10, 28), kBlack);
    EXPECT_EQ(At(ccw, 10, 10), kBlack);
}

// --- paths and clipping

TEST(MetafilePaths, FilledAbortedAndClipPaths) {
    TEmfBuilder e = TEmfBuilder::Pixels(40, 20);
    e.Rec(EMR_SELECTOBJECT, {kBlackBrush});
    e.Rec(EMR_BEGINPATH, {}).Rec(EMR_MOVETOEX, {0, 0}).Rec(EMR_LINETO, {20, 0});
    e.Rec(EMR_LINETO, {20, 20}).Rec(EMR_CLOSEFIGURE, {}).Rec(EMR_ENDPATH, {});
    e.Rec(EMR_FILLPATH, {0, 0, 0, 0});
    e.Rec(EMR_BEGINPATH, {}).Rec(EMR_RECTANGLE, {0, 0, 40, 20}).Rec(EMR_ABORTPATH, {});
    e.Rec(EMR_FILLPATH, {0, 0, 0, 0}); // nothing left to fill
    // A clip path: only its inside is painted.
    e.Rec(EMR_BEGINPATH, {}).Rec(EMR_RECTANGLE, {25, 5, 35, 15}).Rec(EMR_ENDPATH, {});
    e.Rec(EMR_SELECTCLIPPATH, {RGN_COPY});
    e.Rec(EMR_SELECTOBJECT, {kNullPen}).Rec(EMR_RECTANGLE, {20, 0, 41, 21});
    const QImage image = Render(e.Bytes(), 40, 20);
    EXPECT_EQ(At(image, 15, 3), kBlack);
    EXPECT_EQ(At(image, 3, 15), kWhite);
    EXPECT_EQ(At(image, 30, 10), kBlack);
    EXPECT_EQ(At(image, 22, 10), kWhite);
    EXPECT_EQ(At(image, 30, 2), kWhite);
}

TEST(MetafileClipping, RectanglesRegionsOffsetsAndTheMetaRegion) {
    auto fill = [](TEmfBuilder& e) {
        e.Rec(EMR_SELECTOBJECT, {kBlackBrush}).Rec(EMR_SELECTOBJECT, {kNullPen});
        e.Rec(EMR_RECTANGLE, {0, 0, 41, 41});
    };
    {
        TEmfBuilder e = TEmfBuilder::Pixels(40, 40);
        e.Rec(EMR_INTERSECTCLIPRECT, {10, 10, 30, 30}).Rec(EMR_EXCLUDECLIPRECT, {15, 15, 25, 25});
        e.Rec(EMR_OFFSETCLIPRGN, {5, 0});
        fill(e);
        const QImage image = Render(e.Bytes(), 40, 40);
        EXPECT_EQ(Drawn(image), QRect(QPoint(15, 10), QPoint(34, 29)));
        EXPECT_EQ(At(image, 25, 20), kWhite); // the excluded hole, moved too
    }
    {
        // A region in device units selected as clip, then reset by an empty COPY.
        QByteArray rgn;
        for (uint32_t v : {32u, 1u, 1u, 16u, 0u, 0u, 10u, 10u, 0u, 0u, 10u, 10u})
            Put32(rgn, v); // header, then one rectangle: device pixels 0..10 = target 0..10
        QByteArray payload;
        Put32(payload, uint32_t(rgn.size()));
        Put32(payload, RGN_COPY);
        TEmfBuilder e = TEmfBuilder::Pixels(40, 40);
        e.Raw(EMR_EXTSELECTCLIPRGN, payload + rgn);
        fill(e);
        e.Rec(EMR_EXTSELECTCLIPRGN, {0, RGN_COPY});
        e.Rec(EMR_CREATEBRUSHINDIRECT, {1, 0, 0x0000FF, 0}).Rec(EMR_SELECTOBJECT, {1});
        e.Rec(EMR_RECTANGLE, {30, 30, 41, 41});
        const QImage image = Render(e.Bytes(), 40, 40);
        EXPECT_EQ(At(image, 5, 5), kBlack);
        EXPECT_EQ(At(image, 15, 5), kWhite);
        EXPECT_EQ(At(image, 35, 35), kRed);
    }
    {
        // The meta region stays when the clip region is reset.
        TEmfBuilder e = TEmfBuilder::Pixels(40, 40);
        e.Rec(EMR_INTERSECTCLIPRECT, {0, 0, 20, 40}).Rec(EMR_SETMETARGN, {});
        e.Rec(EMR_EXTSELECTCLIPRGN, {0, RGN_COPY});
        fill(e);
        const QImage image = Render(e.Bytes(), 40, 40);
        EXPECT_EQ(Drawn(image), QRect(0, 0, 20, 40));
    }
}

TEST(MetafileClipping, NothingIsDrawnOutsideTheTarget) {
    TEmfBuilder e = TEmfBuilder::Pixels(10, 10);
    e.Rec(EMR_SELECTOBJECT, {kBlackBrush}).Rec(EMR_RECTANGLE, {I(-50), I(-50), 60, 60});
    TMetafile m;
    m.LoadFromBytes(e.Bytes(), QStringLiteral("big.emf"));
    QImage image(30, 30, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    m.Paint(painter, QRect(10, 10, 10, 10));
    painter.end();
    EXPECT_EQ(Drawn(image), QRect(10, 10, 10, 10));
}

// --- text

QImage TextImage(int height, const QString& text, uint32_t align, int x, int y,
                 uint32_t options = 0, QRect rect = QRect()) {
    TEmfBuilder e = TEmfBuilder::Pixels(100, 60);
    e.Raw(EMR_EXTCREATEFONTINDIRECTW, FontRecord(1, height, QStringLiteral("Arial")));
    e.Rec(EMR_SELECTOBJECT, {1}).Rec(EMR_SETBKMODE, {TRANSPARENT}).Rec(EMR_SETBKCOLOR, {0x00FF00});
    e.Rec(EMR_SETTEXTALIGN, {align});
    e.Raw(EMR_EXTTEXTOUTW, TextRecord(x, y, text, options, rect));
    return Render(e.Bytes(), 100, 60);
}

TEST(MetafileText, AlignmentAndHeights) {
    // Top-left alignment: the text starts at the reference point and hangs below it.
    const QRect topLeft = Drawn(TextImage(-40, QStringLiteral("H"), 0, 20, 10));
    ASSERT_FALSE(topLeft.isEmpty());
    EXPECT_GE(topLeft.left(), 20);
    EXPECT_LE(topLeft.left(), 25);
    EXPECT_GE(topLeft.top(), 10);
    // Right and baseline alignment: it ends at the point and stands on it.
    const QRect rightBase =
        Drawn(TextImage(-40, QStringLiteral("H"), TA_RIGHT | TA_BASELINE, 60, 50));
    EXPECT_LE(rightBase.right(), 60);
    EXPECT_GE(rightBase.right(), 55);
    EXPECT_EQ(rightBase.bottom(), 49);
    // A negative height is the character height (the capital H is about 0.72 of it); a
    // positive one is the whole cell, so the letter comes out smaller.
    const int character = Drawn(TextImage(-40, QStringLiteral("H"), 0, 20, 5)).height();
    const int cell = Drawn(TextImage(40, QStringLiteral("H"), 0, 20, 5)).height();
    EXPECT_NEAR(character, 29, 2);
    EXPECT_LT(cell, character);
}

TEST(MetafileText, OpaqueRectangleAndClipping) {
    const QImage opaque =
        TextImage(-20, QStringLiteral("W"), 0, 10, 10, ETO_OPAQUE, QRect(5, 5, 50, 30));
    EXPECT_EQ(At(opaque, 6, 6), kGreen);
    EXPECT_EQ(At(opaque, 54, 34), kGreen);
    EXPECT_EQ(At(opaque, 55, 35), kWhite);
    const QImage clipped =
        TextImage(-40, QStringLiteral("WWW"), 0, 10, 10, ETO_CLIPPED, QRect(10, 10, 20, 40));
    EXPECT_LE(Drawn(clipped).right(), 29);
}

TEST(MetafileText, UpdateCurrentPositionAdvancesTheNextText) {
    TEmfBuilder e = TEmfBuilder::Pixels(100, 40);
    e.Raw(EMR_EXTCREATEFONTINDIRECTW, FontRecord(1, -20, QStringLiteral("Courier New")));
    e.Rec(EMR_SELECTOBJECT, {1}).Rec(EMR_SETTEXTALIGN, {TA_UPDATECP});
    e.Rec(EMR_MOVETOEX, {10, 10});
    e.Raw(EMR_EXTTEXTOUTW, TextRecord(0, 0, QStringLiteral("II")));
    e.Raw(EMR_EXTTEXTOUTW, TextRecord(0, 0, QStringLiteral("II")));
    const QImage image = Render(e.Bytes(), 100, 40);
    const QRect drawn = Drawn(image);
    // Four monospaced characters of 12 pixels (0.6 em) from x = 10, ignoring the reference
    // points of the records.
    EXPECT_GE(drawn.left(), 10);
    EXPECT_NEAR(drawn.right(), 10 + 3 * 12 + 8, 4);
    EXPECT_GE(drawn.top(), 10);
}

TEST(MetafileText, FacesAndCharacterSets) {
    EXPECT_EQ(ResolveFontFamily(QStringLiteral("Arial"), 0), QStringLiteral("Liberation Sans"));
    EXPECT_EQ(ResolveFontFamily(QStringLiteral("Times New Roman"), 0),
              QStringLiteral("Liberation Serif"));
    EXPECT_EQ(ResolveFontFamily(QStringLiteral("courier new"), 0),
              QStringLiteral("Liberation Mono"));
    EXPECT_EQ(ResolveFontFamily(QStringLiteral("Calibri"), 0), QStringLiteral("Carlito"));
    EXPECT_EQ(ResolveFontFamily(QStringLiteral("Cambria"), 0), QStringLiteral("Caladea"));
    EXPECT_EQ(ResolveFontFamily(QStringLiteral("No Such Face"), 0x12), // FF_ROMAN
              QStringLiteral("Liberation Serif"));
    EXPECT_EQ(ResolveFontFamily(QStringLiteral("No Such Face"), 0x31), // modern, fixed
              QStringLiteral("Liberation Mono"));
    const uint8_t bytes[] = {'a', 0x80, 0xE9, 0x9F};
    EXPECT_EQ(DecodeAnsi(bytes, 4, 0), QString::fromUtf8("a\u20AC\u00E9\u0178"));
}

// --- bitmaps

// STRETCHDIBITS of a packed DIB into a logical box.
QByteArray StretchDibits(QRect dest, const QByteArray& dib, int headerAndTable, int srcW, int srcH,
                         uint32_t rop = 0x00CC0020) {
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        Put32(b, 0);
    for (int v : {dest.x(), dest.y(), 0, 0, srcW, srcH})
        Put32(b, I(v));
    Put32(b, 80);
    Put32(b, uint32_t(headerAndTable));
    Put32(b, uint32_t(80 + headerAndTable));
    Put32(b, uint32_t(dib.size() - headerAndTable));
    Put32(b, 0); // RGB colours
    Put32(b, rop);
    Put32(b, I(dest.width()));
    Put32(b, I(dest.height()));
    return b + dib;
}

QImage DibImage(const QByteArray& dib, int headerAndTable, int w, int h) {
    TEmfBuilder e = TEmfBuilder::Pixels(20, 20);
    e.Raw(EMR_STRETCHDIBITS, StretchDibits(QRect(0, 0, 20, 20), dib, headerAndTable, w, h));
    return Render(e.Bytes(), 20, 20);
}

TEST(MetafileBitmaps, BottomUpAndTopDownRowsScaled) {
    // 2 x 2, 24 bits; rows padded to 8 bytes. Bottom-up: the first row is the bottom one.
    QByteArray rows;
    rows.append("\x00\x00\xFF\x00\xFF\x00\x00\x00", 8); // red, green
    rows.append("\xFF\x00\x00\x00\x00\x00\x00\x00", 8); // blue, black
    const QImage up = DibImage(Dib(2, 2, 24, {}, rows), 40, 2, 2);
    EXPECT_EQ(At(up, 5, 15), kRed);
    EXPECT_EQ(At(up, 15, 15), kGreen);
    EXPECT_EQ(At(up, 5, 5), 0x0000FFu);
    EXPECT_EQ(At(up, 15, 5), kBlack);
    const QImage down = DibImage(Dib(2, -2, 24, {}, rows), 40, 2, 2);
    EXPECT_EQ(At(down, 5, 5), kRed);
    EXPECT_EQ(At(down, 15, 15), kBlack);
}

TEST(MetafileBitmaps, PaletteRleAndBitFields) {
    // 1 bit with a two-colour table.
    QByteArray mono("\x80\x00\x00\x00\x40\x00\x00\x00", 8); // rows: "10", "01" (bottom first)
    const QImage one = DibImage(Dib(2, 2, 1, {0x0000FF00, 0x00FF0000}, mono), 48, 2, 2);
    EXPECT_EQ(At(one, 5, 15), kRed); // bottom left: index 1
    EXPECT_EQ(At(one, 15, 15), kGreen);
    EXPECT_EQ(At(one, 15, 5), kRed);
    // RLE8: a run of 2 of index 1, end of line, then absolute run of 3 ... cut to 2 wide.
    QByteArray rle("\x02\x01\x00\x00\x00\x03\x00\x01\x01\x00\x00\x01", 12);
    const QImage r8 = DibImage(Dib(2, 2, 8, {0x00000000, 0x00FFFFFF}, rle, 1), 48, 2, 2);
    EXPECT_EQ(At(r8, 5, 15), kWhite);
    EXPECT_EQ(At(r8, 5, 5), kBlack);
    EXPECT_EQ(At(r8, 15, 5), kWhite);
    // 16 bits with 5-6-5 masks after the header.
    QByteArray fields;
    for (uint32_t m : {0xF800u, 0x07E0u, 0x001Fu})
        Put32(fields, m);
    QByteArray px("\x00\xF8\xE0\x07\x1F\x00\x00\x00", 8); // red, green, blue, black
    QByteArray dib = Dib(4, 1, 16, {}, QByteArray(), 3);
    dib = dib + fields + px;
    TEmfBuilder e = TEmfBuilder::Pixels(40, 10);
    e.Raw(EMR_STRETCHDIBITS, StretchDibits(QRect(0, 0, 40, 10), dib, 52, 4, 1));
    const QImage b16 = Render(e.Bytes(), 40, 10);
    EXPECT_EQ(At(b16, 5, 5), kRed);
    EXPECT_EQ(At(b16, 15, 5), kGreen);
    EXPECT_EQ(At(b16, 25, 5), 0x0000FFu);
}

TEST(MetafileBitmaps, AlphaBlendAndPatternBlits) {
    // One premultiplied pixel, black at half coverage, blended at full constant alpha.
    QByteArray px("\x00\x00\x00\x80", 4);
    const QByteArray dib = Dib(1, 1, 32, {}, px);
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        Put32(b, 0);
    for (int v : {0, 0, 10, 10})
        Put32(b, I(v));
    Put32(b, 0x01FF0000); // AC_SRC_OVER, SourceConstantAlpha 255, AC_SRC_ALPHA
    Put32(b, 0);
    Put32(b, 0);
    for (uint32_t v : {F(1), 0u, 0u, F(1), 0u, 0u})
        Put32(b, v);
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 108);
    Put32(b, 40);
    Put32(b, 148);
    Put32(b, 4);
    Put32(b, 1);
    Put32(b, 1);
    TEmfBuilder e = TEmfBuilder::Pixels(20, 10);
    e.Raw(EMR_ALPHABLEND, b + dib);
    // A pattern blit without a bitmap: PATCOPY with the red brush, then DSTINVERT.
    e.Rec(EMR_CREATEBRUSHINDIRECT, {1, 0, 0x0000FF, 0}).Rec(EMR_SELECTOBJECT, {1});
    QByteArray blt;
    for (int i = 0; i < 4; ++i)
        Put32(blt, 0);
    for (int v : {10, 0, 10, 5})
        Put32(blt, I(v));
    Put32(blt, 0x00F00021);
    blt.append(QByteArray(92 - blt.size(), '\0'));
    e.Raw(EMR_BITBLT, blt);
    qToLittleEndian<uint32_t>(0x00550009, blt.data() + 32);
    qToLittleEndian<uint32_t>(3, blt.data() + 20); // rows 3 and 4 only
    qToLittleEndian<uint32_t>(2, blt.data() + 28);
    e.Raw(EMR_BITBLT, blt);
    const QImage image = Render(e.Bytes(), 20, 10);
    EXPECT_NEAR(qRed(At(image, 5, 5)), 127, 2);
    EXPECT_EQ(At(image, 15, 1), kRed);
    EXPECT_EQ(At(image, 15, 4), 0x00FFFFu); // red inverted
    EXPECT_EQ(At(image, 15, 7), kWhite);
}

// A plain decoder for uncompressed palette and 24-bit DIBs, bit by bit.
QRgb ReferencePixel(const QByteArray& rows, int w, int h, int bits, const std::vector<QRgb>& table,
                    int x, int y) {
    const int stride = (w * bits + 31) / 32 * 4;
    const int row = h - 1 - y;
    const int bit = x * bits;
    if (bits == 24) {
        const uint8_t* p =
            reinterpret_cast<const uint8_t*>(rows.constData()) + row * stride + 3 * x;
        return qRgb(p[2], p[1], p[0]);
    }
    int index = 0;
    for (int i = 0; i < bits; ++i) {
        const int b = bit + i;
        index = index * 2 + ((uint8_t(rows[row * stride + b / 8]) >> (7 - b % 8)) & 1);
    }
    return index < int(table.size()) ? table[size_t(index)] : qRgb(0, 0, 0);
}

TEST(MetafileBitmaps, DecoderAgreesWithAPlainReference) {
    std::mt19937 random(7);
    for (int bits : {1, 4, 8, 24}) {
        for (int round = 0; round < 20; ++round) {
            const int w = int(random() % 37) + 1, h = int(random() % 9) + 1;
            const int stride = (w * bits + 31) / 32 * 4;
            QByteArray rows(stride * h, '\0');
            for (char& c : rows)
                c = char(random());
            std::vector<uint32_t> quads;
            std::vector<QRgb> table;
            if (bits <= 8) {
                const int n = int(random() % (1 << bits)) + 1; // fewer entries than indexes
                for (int i = 0; i < n; ++i) {
                    const uint32_t c = random() & 0xFFFFFF;
                    quads.push_back(c);
                    table.push_back(qRgb((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF));
                }
            }
            const QByteArray dib = Dib(w, h, bits, quads, rows);
            TDibResult out;
            ASSERT_TRUE(DecodePackedDib(
                TReader(reinterpret_cast<const uint8_t*>(dib.constData()), size_t(dib.size())),
                TDibOptions(), out));
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(out.Image.pixel(x, y), ReferencePixel(rows, w, h, bits, table, x, y))
                        << bits << " bits, " << w << "x" << h << " at " << x << "," << y;
        }
    }
}

TEST(MetafileBitmaps, OversizedAndShortBitmapsAreRefusedOrPartial) {
    // A header claiming 100000 x 100000 pixels is refused before any allocation.
    QByteArray huge = Dib(100000, 100000, 1, {0, 0xFFFFFF}, QByteArray(16, '\0'));
    TDibResult out;
    EXPECT_FALSE(DecodePackedDib(
        TReader(reinterpret_cast<const uint8_t*>(huge.constData()), size_t(huge.size())),
        TDibOptions(), out));
    // Rows the data does not reach stay transparent.
    QByteArray rows("\x00\x00\xFF\x00", 4);
    QByteArray partial = Dib(1, 3, 24, {}, rows);
    ASSERT_TRUE(DecodePackedDib(
        TReader(reinterpret_cast<const uint8_t*>(partial.constData()), size_t(partial.size())),
        TDibOptions(), out));
    EXPECT_EQ(out.Image.pixel(0, 2), qRgb(255, 0, 0));
    EXPECT_EQ(qAlpha(out.Image.pixel(0, 0)), 0);
}

// --- records that are not drawn or do not fit

TEST(MetafileRecords, CommentsUnknownRecordsAndCountsThatDoNotFit) {
    TEmfBuilder e = TEmfBuilder::Pixels(20, 20);
    e.Rec(EMR_GDICOMMENT, {8, 0x2B464D45, 0}); // an EMF+ record: passed over
    e.Rec(999, {1, 2, 3});                     // unknown: passed over
    // A polyline claiming 2^30 points: 8 * count does not fit 32 bits, nor the record.
    e.Rec(EMR_POLYLINE, {0, 0, 0, 0, 0x40000000, 0, 0, 10, 10});
    e.Rec(EMR_SELECTOBJECT, {kBlackBrush}).Rec(EMR_RECTANGLE, {5, 5, 15, 15});
    TMetafile m;
    m.LoadFromBytes(e.Bytes(), QStringLiteral("records.emf"));
    const QImage image = Render(m, 20, 20);
    EXPECT_EQ(At(image, 10, 10), kBlack);
    EXPECT_EQ(At(image, 2, 2), kWhite);
    EXPECT_EQ(m.LastPlayStats().Skipped, 1);
    EXPECT_EQ(m.LastPlayStats().Unsupported, 2);
    EXPECT_FALSE(m.LastPlayStats().Truncated);
}

} // namespace

namespace {

TEST(MetafileLimits, EndlessDrawingWorkStopsKeepingWhatWasDrawn) {
    // 4000 fills of the whole picture: far more work than a picture needs; playing stops at
    // the work limit instead of taking minutes.
    TEmfBuilder e = TEmfBuilder::Pixels(1000, 1000);
    e.Rec(EMR_SELECTOBJECT, {kBlackBrush}).Rec(EMR_SELECTOBJECT, {kNullPen});
    for (int i = 0; i < 4000; ++i)
        e.Rec(EMR_RECTANGLE, {0, 0, 1001, 1001});
    TMetafile m;
    m.LoadFromBytes(e.Bytes(), QStringLiteral("endless.emf"));
    QElapsedTimer timer;
    timer.start();
    const QImage image = Render(m, 1000, 1000);
    EXPECT_LT(timer.elapsed(), 20000);
    EXPECT_TRUE(m.LastPlayStats().Truncated);
    EXPECT_LT(m.LastPlayStats().Records, 4000);
    EXPECT_EQ(At(image, 500, 500), kBlack);
}

} // namespace
