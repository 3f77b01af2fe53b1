// The About dialog: its layout as designed, its three links reaching the link opener with the
// right text, and OK by Enter and by Esc.
#include "about/FormAbout.h"
#include "about/OpenURL.h"
#include "about/ProjectInfo.h"
#include "platform/LinkOpener.h"
#include "support/TestSupport.h"

#include <QImage>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class RecordingOpener : public ILinkOpener {
public:
    bool openLink(const QString& link) override {
        Links << link;
        if (Throw)
            throw std::runtime_error("no handler");
        return Accept;
    }
    QStringList Links;
    bool Accept = true;
    bool Throw = false;
};

class AboutBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        FOpener = std::make_shared<RecordingOpener>();
        setLinkOpener(FOpener);
    }
    void TearDown() override { setLinkOpener(nullptr); }
    std::shared_ptr<RecordingOpener> FOpener;
};

void Click(QWidget* widget) {
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, widget->rect().center());
}

} // namespace

TEST_F(AboutBoxTest, TheLinksReachTheOpenerWithTheirText) {
    TfrmAbout about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    Click(about.Label5);
    Click(about.Label4);
    Click(about.Image1);
    const QString page =
        ProjectInfo::EntryPage() + QStringLiteral("?id=") + ProjectInfo::ProductId();
    EXPECT_EQ(
        FOpener->Links,
        (QStringList{QStringLiteral("mailto:") + ProjectInfo::MailAddress() +
                         QStringLiteral("?subject=Tapestrix"),
                     page, page + QStringLiteral("&redir=") + ProjectInfo::SoftwareSection()}));
    EXPECT_TRUE(FOpener->Links[0].startsWith(QLatin1String("mailto:")));
    EXPECT_TRUE(FOpener->Links[1].contains(QLatin1String("example.org")));
    // Clicks elsewhere open nothing.
    Click(about.Label6);
    Click(about.Label1);
    EXPECT_EQ(FOpener->Links.size(), 3);
}

TEST_F(AboutBoxTest, ALinkNothingCanOpenLeavesTheDialogOpenAndSaysNothing) {
    TfrmAbout about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    FOpener->Accept = false;
    Click(about.Label4);
    FOpener->Throw = true;
    EXPECT_NO_THROW(Click(about.Label5));
    EXPECT_NO_THROW(ShellOpen(QStringLiteral("mailto:x@example.org")));
    EXPECT_TRUE(about.isVisible());
    EXPECT_EQ(FOpener->Links.size(), 3);
}

TEST_F(AboutBoxTest, TheLayoutIsTheDesignedOne) {
    TfrmAbout about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About..."));
    EXPECT_EQ(about.size(), QSize(385, 300));
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    EXPECT_FALSE(about.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(about.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(about.Bevel1->geometry(), QRect(12, 12, 361, 245));
    EXPECT_EQ(about.Bevel3->geometry(), QRect(24, 180, 337, 69));
    EXPECT_EQ(about.Bevel2->geometry().topLeft(), QPoint(88, 16));
    EXPECT_EQ(about.Image1->geometry(), QRect(32, 28, 48, 48));
    EXPECT_EQ(about.Image1->pixmap().size(), QSize(48, 48));
    EXPECT_EQ(about.Image1->toolTip(),
              QStringLiteral("Click to visit Tapestrix section on my homepage"));
    EXPECT_EQ(about.BitBtn1->geometry(), QRect(140, 264, 117, 29));
    EXPECT_EQ(about.BitBtn1->text(), QStringLiteral("&OK"));
    EXPECT_TRUE(about.BitBtn1->isDefault());

    const struct {
        QLabel* Label;
        QPoint Place;
        QString Text;
    } labels[] = {
        {about.Label1, {96, 32}, QStringLiteral("Tapestrix")},
        {about.Label2, {96, 68}, QStringLiteral("Version 1.3")},
        {about.Label3, {96, 84}, ProjectInfo::Authorship()},
        {about.Label7,
         {96, 100},
         QStringLiteral("Feel free to send your comments, questions and bug reports to:")},
        {about.Label5, {96, 128}, ProjectInfo::MailAddress()},
        {about.Label6,
         {96, 144},
         QStringLiteral("For my another programs and updates, please visit:")},
        {about.Label4, {96, 160}, ProjectInfo::HomePageText()},
    };
    for (const auto& l : labels) {
        EXPECT_EQ(l.Label->pos(), l.Place) << l.Label->objectName().toStdString();
        EXPECT_EQ(l.Label->text(), l.Text) << l.Label->objectName().toStdString();
    }
    EXPECT_EQ(about.Label7->size(), QSize(233, 29));
    EXPECT_TRUE(about.Label7->wordWrap());
    EXPECT_EQ(about.Label1->font().pixelSize(), 32);
    for (QLabel* link : {about.Label4, about.Label5}) {
        EXPECT_TRUE(link->font().underline());
        EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 0x80));
        EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    }
    EXPECT_EQ(about.Image1->cursor().shape(), Qt::PointingHandCursor);
    // The terms of use sit inside their frame.
    EXPECT_TRUE(about.Bevel3->geometry().contains(about.Label8->geometry()));
    EXPECT_FALSE(about.Label8->text().isEmpty());
}

TEST_F(AboutBoxTest, EnterAndEscBothCloseWithOk) {
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        TfrmAbout about;
        QTimer::singleShot(0, &about, [&about, key] {
            QTest::keyClick(about.focusWidget() ? about.focusWidget() : &about, key);
        });
        EXPECT_EQ(about.ShowModal(), QDialog::Accepted) << key;
        EXPECT_FALSE(about.isVisible());
    }
}

TEST_F(AboutBoxTest, ShowAboutBoxUsesTheProgramsDialog) {
    TfrmAbout about;
    frmAbout = &about;
    bool shownModal = false;
    QTimer::singleShot(0, &about, [&] {
        shownModal = about.isVisible() && about.isModal();
        about.BitBtn1->click();
    });
    EXPECT_EQ(ShowAboutBox(), QDialog::Accepted);
    EXPECT_TRUE(shownModal);
    frmAbout = nullptr;
}

// For a person to compare with the design: test-artefacts/about/about.png.
TEST_F(AboutBoxTest, ScreenshotForReview) {
    TfrmAbout about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    const QString path =
        testsupport::artefactDir(QStringLiteral("about")) + QStringLiteral("/about.png");
    EXPECT_TRUE(about.grab().save(path));
}

TEST(ProgramIcon, EverySizeIsInTheResources) {
    for (int size : {16, 48, 256}) {
        const QImage image(QStringLiteral(":/icons/tapestrix-%1.png").arg(size));
        EXPECT_EQ(image.size(), QSize(size, size)) << size;
        EXPECT_TRUE(image.hasAlphaChannel());
        // Corners are see-through, the middle is not.
        EXPECT_LT(qAlpha(image.pixel(0, 0)), 255) << size;
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255) << size;
    }
    EXPECT_EQ(QImage(QStringLiteral(":/icons/tapestrix.png")).size(), QSize(256, 256));
}
