#include "about/FormAbout.h"

#include "about/OpenURL.h"
#include "about/ProjectInfo.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

// The icons live in the GUI library's resources; a static library needs them registered by hand,
// and doing it while the program loads makes them available before any window asks.
static void RegisterTapestrixResources() {
    Q_INIT_RESOURCE(tapestrix);
}

namespace {

const struct ResourceRegistration {
    ResourceRegistration() { RegisterTapestrixResources(); }
} gResourceRegistration;

// The dialog is laid out in pixels for 96 pixels per inch: 8 points are 11 pixels.
constexpr int kDialogFontPixels = 11;
constexpr int kTitleFontPixels = 32; // "Tapestrix" in Arial, 32 pixels high
const QColor kNavy(0x00, 0x00, 0x80);

QIcon OkGlyph() {
    QIcon icon = QIcon::fromTheme(QStringLiteral("dialog-ok"));
    if (!icon.isNull())
        return icon;
    // A green tick, drawn when the theme has none.
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x00, 0x80, 0x00), 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF tick[] = {{3.0, 8.5}, {6.5, 12.0}, {13.0, 4.0}};
    p.drawPolyline(tick, 3);
    p.end();
    return QIcon(pixmap);
}

void MakeLink(QLabel* label, const QString& text) {
    label->setText(text);
    QFont font = label->font();
    font.setUnderline(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, kNavy);
    label->setPalette(palette);
    label->setCursor(Qt::PointingHandCursor);
}

} // namespace

TfrmAbout* frmAbout = nullptr;

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent) {
    // "MS Sans Serif" is the design's font; systems without it use a close sans serif.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                QStringLiteral("DejaVu Sans")});
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(kDialogFontPixels);
    setFont(font);
    setupUi(this);
    setObjectName(QStringLiteral("frmAbout"));
    // A fixed single-line border with only the system menu.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(385, 300);

    Image1->setPixmap(QPixmap(QStringLiteral(":/icons/tapestrix-48.png")));

    QFont title(QStringLiteral("Arial"));
    title.setPixelSize(kTitleFontPixels);
    Label1->setFont(title);
    Label2->setText(ProjectInfo::VersionText());
    Label3->setText(ProjectInfo::Authorship());
    MakeLink(Label5, ProjectInfo::MailAddress());
    MakeLink(Label4, ProjectInfo::HomePageText());
    Label8->setText(ProjectInfo::TermsOfUse());
    for (QLabel* label : {Label1, Label2, Label3, Label4, Label5, Label6})
        label->adjustSize();

    BitBtn1->setIcon(OkGlyph());
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

    for (QWidget* clickable : {static_cast<QWidget*>(Image1), static_cast<QWidget*>(Label4),
                               static_cast<QWidget*>(Label5)})
        clickable->installEventFilter(this);
}

int TfrmAbout::ShowModal() {
    return exec();
}

void TfrmAbout::Image1Click(QObject*) {
    ShellOpen(ProjectInfo::ProductPageLink());
}

void TfrmAbout::Label4Click(QObject*) {
    ShellOpen(ProjectInfo::HomePageLink());
}

void TfrmAbout::Label5Click(QObject*) {
    ShellOpen(ProjectInfo::MailLink());
}

bool TfrmAbout::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        // A click is a release over the control it began on.
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
            if (watched == Image1)
                Image1Click(Image1);
            else if (watched == Label4)
                Label4Click(Label4);
            else if (watched == Label5)
                Label5Click(Label5);
        }
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TfrmAbout::keyPressEvent(QKeyEvent* event) {
    // OK is the cancel button too: Esc closes with OK.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        BitBtn1->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TfrmAbout::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - frameGeometry().center() + pos());
}

int ShowAboutBox(QWidget* parent) {
    if (frmAbout)
        return frmAbout->ShowModal();
    TfrmAbout box(parent);
    return box.ShowModal();
}
