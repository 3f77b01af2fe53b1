#include "mainwindow/MainForm.h"

#include "about/FormAbout.h"
#include "components/FormSaver.h"
#include "imaging/Thumbnail.h"
#include "mainwindow/MonitorPresets.h"
#include "platform/Autostart.h"
#include "platform/MonitorWatcher.h"
#include "toolkit/ExtCtrls.h"
#include "toolkit/Graphics.h"
#include "toolkit/codecs/PictureFormats.h"
#include "toolkit/registry/Registry.h"
#include "toolkit/widgets/Anchors.h"
#include "toolkit/widgets/AppEvents.h"
#include "toolkit/widgets/ButtonGlyphs.h"
#include "worker/BackWallpaper.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QMenu>
#include <QScreen>
#include <QTimer>

#include <cmath>
#include <mutex>

namespace {

// "Pictures (*.bmp;*.jpg;...)|*.bmp;*.jpg;...|All files (*.*)|*.*", every readable format.
QString PictureFilter() {
    const QString patterns = PictureFilePatterns(QLatin1Char(';'));
    return QStringLiteral("Pictures (%1)|%1|All files (*.*)|*.*").arg(patterns);
}

std::mutex gClockMutex;
std::function<TDateTime()> gClock;

} // namespace

const QString TForm1::kSettingsKey = QStringLiteral("Software\\Halvern\\Tapestrix");

// ---------------------------------------------------------------------------------------------
// Construction

TForm1::TForm1(QWidget* parent)
    : TForm1(IsAutoStartCommandLine(QCoreApplication::arguments()), parent) {}

TForm1::TForm1(bool startedWithAutoStart, QWidget* parent)
    : QWidget(parent), FAutoStart(startedWithAutoStart) {
    Init();
}

bool TForm1::IsAutoStartCommandLine(const QStringList& arguments) {
    return arguments.size() >= 2 && arguments.at(1) == QLatin1String(kAutostartArgument);
}

void TForm1::Init() {
    setupUi(this);
    SetUpControls();
    CreateFormSaver();
    ConnectEvents();
    // The form's creation: the window's own handler, then the placement saver's restore.
    FormSaver1->DoCreate([this] { FormCreate(this); });
}

void TForm1::SetUpControls() {
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    // The design's minimum window size of 620 x 450 includes a frame of 8 x 34 pixels; Qt's
    // minimum is the client area's.
    setMinimumSize(604, 416);
    resize(604, 416);
    // Lay the panels out at the design size now, so that the anchors below record the design's
    // distances (a hidden window is laid out only when it is shown).
    FormLayout->activate();
    // "MS Sans Serif" where it exists, else a sans serif of about its width: the layout's
    // captions were sized for it.
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                      QStringLiteral("Arial"), QStringLiteral("Nimbus Sans"),
                      QStringLiteral("Helvetica")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    setFont(font);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }

    // Icons of the buttons.
    BtnBrowseF->setIcon(ButtonGlyph(TGlyph::Browse));
    BtnClearFore->setIcon(ButtonGlyph(TGlyph::Clear));
    BtnBrowseB->setIcon(ButtonGlyph(TGlyph::Browse));
    BtnClearBack->setIcon(ButtonGlyph(TGlyph::Clear));
    BtnPreview->setIcon(ButtonGlyph(TGlyph::Preview));
    BtnSet->setIcon(ButtonGlyph(TGlyph::Apply));
    BitBtn5->setIcon(ButtonGlyph(TGlyph::Stop));
    BtnExit->setIcon(ButtonGlyph(TGlyph::Exit));
    BtnAbout->setIcon(ButtonGlyph(TGlyph::About));
    BitBtn6->setIcon(ButtonGlyph(TGlyph::Add));
    BtnUp->setIcon(ButtonGlyph(TGlyph::Up));
    BitBtn1->setIcon(ButtonGlyph(TGlyph::Down));
    BitBtn7->setIcon(ButtonGlyph(TGlyph::Delete));
    // How several monitors share the wallpaper: a small button beside the automation options,
    // where the window has no room for a combo box.
    cbMonitors->SetChoices({QStringLiteral("Each monitor"), QStringLiteral("Span monitors"),
                            QStringLiteral("Preset per monitor")},
                           QStringLiteral("Several monitors"));
    cbMonitors->setIcon(ButtonGlyph(TGlyph::Monitors));
    cbMonitors->setIconSize(QSize(16, 16));
    for (QPushButton* button : findChildren<QPushButton*>())
        button->setIconSize(QSize(16, 16));

    // Labels take the width of their text, as the toolkit's auto-sized labels do; check boxes
    // whose caption the font in use makes wider than the design keep it readable as far as
    // their group (and the monitors' button beside the last rows) allows.
    for (QLabel* label : {Label1, Label3})
        label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
    for (QCheckBox* box : GroupBox4->findChildren<QCheckBox*>()) {
        const bool besideButton = box->y() < cbMonitors->geometry().bottom() &&
                                  cbMonitors->y() < box->geometry().bottom();
        const int room = (besideButton ? cbMonitors->x() : GroupBox4->width()) - box->x() - 2;
        if (box->sizeHint().width() > box->width())
            box->resize(std::min(box->sizeHint().width(), room), box->height());
    }

    ColorBox1->SetItemHeight(16);
    UpDown1->SetRange(1, 10000);
    UpDown1->SetAssociate(Edit1);
    UpDown1->SetPosition(5);

    // The preset grid: one header row, three columns, whole-row selection.
    StringGrid1->SetColCount(3);
    StringGrid1->SetDefaultRowHeight(16);
    StringGrid1->SetRowCount(2);
    StringGrid1->SetSelection(TGridRect{});
    SetAnchors(StringGrid1, TAnchorKind::akLeft | TAnchorKind::akTop | TAnchorKind::akRight |
                                TAnchorKind::akBottom);
    SetAnchors(BitBtn6, TAnchorKind::akTop | TAnchorKind::akRight);
    SetAnchors(BtnUp, TAnchorKind::akTop | TAnchorKind::akRight);
    SetAnchors(BitBtn1, TAnchorKind::akTop | TAnchorKind::akRight);
    SetAnchors(BitBtn7, TAnchorKind::akRight | TAnchorKind::akBottom);
    Panel2->installEventFilter(this);
    Panel2Resize(Panel2);

    // Popup menus: the separators carry their design names; the window's menu works anywhere in
    // the window, the grid's while the focus is in the grid.
    const auto nameSeparators = [](QMenu* menu, const QStringList& names) {
        int i = 0;
        for (QAction* action : menu->actions())
            if (action->isSeparator() && i < names.size())
                action->setObjectName(names[i++]);
    };
    nameSeparators(PopupMenu2, {QStringLiteral("N4"), QStringLiteral("N3")});
    nameSeparators(PopupMenu1, {QStringLiteral("N1"), QStringLiteral("N2")});
    for (QAction* action : PopupMenu2->actions()) {
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
    }
    for (QAction* action : PopupMenu1->actions()) {
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        StringGrid1->addAction(action);
    }
    PopupMenu1->setDefaultAction(Preview1);

    for (TOpenDialog* dialog : {&OpenDialog1, &OpenDialog2}) {
        dialog->SetFilter(PictureFilter());
        dialog->SetOptions(int(TOpenOption::ofPathMustExist) | int(TOpenOption::ofFileMustExist) |
                           int(TOpenOption::ofEnableSizing) | int(TOpenOption::ofDontAddToRecent));
    }

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(100);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(15000);
    // A burst of monitor changes ends within about two seconds (TAPESTRIX_MONITOR_QUIET_MS in
    // milliseconds for tests).
    bool quietOk = false;
    const int quietMs = qEnvironmentVariableIntValue("TAPESTRIX_MONITOR_QUIET_MS", &quietOk);
    FMonitorWatcher = new TMonitorWatcher(this, quietOk ? quietMs : 2000);

    FRandomEngine.seed(std::random_device{}());
}

void TForm1::CreateFormSaver() {
    FormSaver1 = new TFormSaver(this, QStringLiteral("FormSaver1"));
    FormSaver1->setObjectName(QStringLiteral("FormSaver1"));
    FormSaver1->SetEnabled(true);
    FormSaver1->SetSaveSize(true);
    FormSaver1->SetSaveVisibilty(true);
    FormSaver1->SetRegistryPath(kSettingsKey);
    FormSaver1->SetKeyName(QStringLiteral("MainFormPosition"));
    FormSaver1->SetUseGlobalPath(false);
    FormSaver1->Loaded();
}

void TForm1::ConnectEvents() {
    const auto on = [this](auto* sender, auto signal, void (TForm1::*handler)(QObject*)) {
        FConnections.push_back(connect(
            sender, signal, this, Guarded([this, sender, handler] { (this->*handler)(sender); })));
    };
    const auto onAction = [&](QAction* action, void (TForm1::*handler)(QObject*)) {
        on(action, &QAction::triggered, handler);
    };

    on(BtnBrowseF, &QPushButton::clicked, &TForm1::BtnBrowseFClick);
    on(Image1, &TImageView::DblClick, &TForm1::BtnBrowseFClick);
    on(BtnClearFore, &QPushButton::clicked, &TForm1::BtnClearForeClick);
    on(BtnBrowseB, &QPushButton::clicked, &TForm1::BtnBrowseBClick);
    on(Image2, &TImageView::DblClick, &TForm1::BtnBrowseBClick);
    on(BtnClearBack, &QPushButton::clicked, &TForm1::BtnClearBackClick);
    on(ColorBox1, &TColorBox::Change, &TForm1::ColorBox1Change);
    on(ColorBox1, &TColorBox::CloseUp, &TForm1::ColorBox1CloseUp);
    on(ColorBox1, &TColorBox::Click, &TForm1::ColorBox1CloseUp);
    on(Image3, &TImageView::Click, &TForm1::BtnPreviewClick);
    on(Image3, &TImageView::DblClick, &TForm1::BtnSetClick);
    on(BtnPreview, &QPushButton::clicked, &TForm1::BtnPreviewClick);
    on(BtnSet, &QPushButton::clicked, &TForm1::BtnSetClick);
    on(BitBtn5, &QPushButton::clicked, &TForm1::BitBtn5Click);
    on(BtnExit, &QPushButton::clicked, &TForm1::BtnExitClick);
    on(BtnAbout, &QPushButton::clicked, &TForm1::BtnAboutClick);
    on(BitBtn6, &QPushButton::clicked, &TForm1::BitBtn6Click);
    on(BtnUp, &QPushButton::clicked, &TForm1::BtnUpClick);
    on(BitBtn1, &QPushButton::clicked, &TForm1::BitBtn1Click);
    on(BitBtn7, &QPushButton::clicked, &TForm1::BitBtn7Click);
    on(StringGrid1, &TStringGrid::Click, &TForm1::BtnUseClick);
    on(StringGrid1, &TStringGrid::DblClick, &TForm1::BtnUseAndPreviewClick);
    on(Timer1, &QTimer::timeout, &TForm1::Timer1Timer);
    on(Timer2, &QTimer::timeout, &TForm1::Timer2Timer);
    FConnections.push_back(connect(FMonitorWatcher, &TMonitorWatcher::Changed, this,
                                   Guarded([this] { MonitorsChanged(); })));

    onAction(Hidemainwindow1, &TForm1::Hidemainwindow1Click);
    onAction(About1, &TForm1::BtnAboutClick);
    onAction(Chengebackgroundnow1, &TForm1::Chengebackgroundnow1Click);
    onAction(Exitprogram1, &TForm1::BtnExitClick);
    onAction(Setasbackground1, &TForm1::BtnSetClick);
    onAction(Preview1, &TForm1::BtnPreviewClick);
    onAction(Up1, &TForm1::BtnUpClick);
    onAction(Down1, &TForm1::BitBtn1Click);
    onAction(Delete1, &TForm1::BitBtn7Click);
    onAction(Browse1, &TForm1::BtnBrowseFClick);
    onAction(Clear1, &TForm1::BtnClearForeClick);
    onAction(CopyAddress1, &TForm1::CopyAddress1Click);
    onAction(MenuItem1, &TForm1::BtnBrowseBClick);
    onAction(MenuItem2, &TForm1::BtnClearBackClick);
    onAction(MenuItem3, &TForm1::MenuItem3Click);

    // Picture-loading progress of both thumbnails.
    const auto progress = [this](TObject* sender, TProgressStage stage, uint8_t percent,
                                 bool redraw, const TRect& r, const QString& msg) {
        Image1Progress(sender, stage, percent, redraw, r, msg);
    };
    Image1->Image()->OnProgress = progress;
    Image2->Image()->OnProgress = progress;

    // Context menus.
    FConnections.push_back(connect(this, &QWidget::customContextMenuRequested, this,
                                   [this](const QPoint& pos) { PopUp(PopupMenu2, this, pos); }));
    FConnections.push_back(
        connect(StringGrid1, &QWidget::customContextMenuRequested, this,
                [this](const QPoint& pos) { PopUp(PopupMenu1, StringGrid1->viewport(), pos); }));
    FConnections.push_back(connect(Image1, &QWidget::customContextMenuRequested, this,
                                   [this](const QPoint& pos) { PopUp(pm1, Image1, pos); }));
    FConnections.push_back(connect(Image2, &QWidget::customContextMenuRequested, this,
                                   [this](const QPoint& pos) { PopUp(pm2, Image2, pos); }));

    Timer1->start();
    Timer2->start();
}

void TForm1::PopUp(QMenu* menu, QWidget* widget, const QPoint& pos) {
    menu->popup(widget->mapToGlobal(pos));
}

TForm1::~TForm1() {
    Timer1->stop();
    Timer2->stop();
    RunGuarded([this] { FormSaver1->DoDestroy([this] { FormDestroy(this); }); });
    // A drawing that still runs is stopped and waited for before its target goes.
    StopAndFreeThread();
    Image1->Image()->OnProgress = nullptr;
    Image2->Image()->OnProgress = nullptr;
    // The base class hides and deletes the controls after this point, when this window's part
    // is gone: none of their signals may reach the handlers any more.
    for (const QMetaObject::Connection& connection : FConnections)
        disconnect(connection);
}

// ---------------------------------------------------------------------------------------------
// Small helpers

QString TForm1::FolderPart(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash + 1);
}

QString TForm1::NamePart(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

void TForm1::SetClock(std::function<TDateTime()> clock) {
    std::lock_guard<std::mutex> lock(gClockMutex);
    gClock = std::move(clock);
}

TDateTime TForm1::ClockNow() {
    std::lock_guard<std::mutex> lock(gClockMutex);
    return gClock ? gClock() : Now();
}

void TForm1::SetRandomSource(std::function<int(int)> random) {
    FRandom = std::move(random);
}

int TForm1::RandomIndex(int n) {
    if (FRandom)
        return FRandom(n);
    std::uniform_int_distribution<int> distribution(0, n - 1);
    return distribution(FRandomEngine);
}

QString TForm1::SettingsKey() const {
    return FormSaver1 ? FormSaver1->RegistryPath() : kSettingsKey;
}

TPreset TForm1::CurrentPreset() const {
    TPreset preset;
    preset.Foreground = ForegroundPath();
    preset.Background =
        BackgroundPath().isEmpty() ? ColorToText(ColorBox1->Selected()) : BackgroundPath();
    preset.Tile = CheckBox1->isChecked();
    return preset;
}

void TForm1::LoadPicture(TImageView* view, const QString& path) {
    // The editor keeps the picture only at the size it shows it (sharp on a high-density
    // screen); the whole picture is read, decoded as little as it can be, and let go. The file
    // is read away from the GUI thread, which a read that never returns must not hold.
    const QSize box = (QSizeF(view->size()) * view->devicePixelRatioF()).toSize();
    struct TLoaded {
        std::unique_ptr<TThumbnail> Thumbnail;
        std::vector<TProgressStage> Stages;
    };
    const auto loaded = std::make_shared<TLoaded>(); // outlives an abandoned read
    RunOffTheGuiThread([path, box, loaded] {
        TPicture picture;
        picture.LoadFromFile(path);
        loaded->Thumbnail =
            MakeThumbnail(picture.Graphic(), box,
                          [loaded](TObject*, TProgressStage stage, uint8_t, bool, const TRect&,
                                   const QString&) { loaded->Stages.push_back(stage); });
    });
    TThumbnail* thumbnail = loaded->Thumbnail.get();
    const std::vector<TProgressStage>& stages = loaded->Stages;
    // The loading's progress, as the editor's picture reports it.
    if (view->Image()->OnProgress && thumbnail) {
        const TRect whole = Rect(0, 0, thumbnail->Width(), thumbnail->Height());
        for (const TProgressStage stage : stages)
            view->Image()->OnProgress(thumbnail, stage, stage == TProgressStage::psEnding ? 100 : 0,
                                      false, whole, QString());
    }
    view->Picture()->SetGraphic(thumbnail);
    ReleaseFreedMemory();
}

void TForm1::StopAndFreeThread() {
    if (!FBack)
        return;
    try {
        FBack->Stop();
        WaitForStoppedThread();
    } catch (...) {
        // Errors of thread handling are not reported.
    }
    FBack.reset();
}

void TForm1::WaitForStoppedThread() {
    // A stopped job ends within a row or a step; one stuck in a read that never returns (a
    // stalled network mount) is let go, so that Stop and Exit always end it. Its object stays
    // allocated for the thread that still runs on it.
    constexpr int kStuckJobMs = 3000;
    if (!FBack->WaitFor(kStuckJobMs)) {
        static auto* abandoned = new std::vector<BackBack*>; // reachable, never freed
        FBack->Abandon();
        abandoned->push_back(FBack.release());
    }
}

void TForm1::StartThread(const TPreset& preset, bool preview) {
    if (!preview) {
        StartDesktopThread({preset}, TMonitorMode::Each);
        return;
    }
    FBack = std::make_unique<BackBack>(preset, Image3->Image());
    FBack->Resume();
}

void TForm1::StartDesktopThread(const std::vector<TPreset>& presets, TMonitorMode mode) {
    FLastPresets = presets;
    FLastMode = mode;
    FBack = std::make_unique<BackBack>(presets, mode);
    FBack->Resume();
}

TMonitorMode TForm1::MonitorMode() const {
    return TMonitorMode(qBound(0, cbMonitors->currentIndex(), 2));
}

void TForm1::MonitorsChanged() {
    if (FLastPresets.empty())
        return;
    StopAndFreeThread();
    StartDesktopThread(std::vector<TPreset>(FLastPresets), FLastMode);
}

// ---------------------------------------------------------------------------------------------
// Form events

void TForm1::closeEvent(QCloseEvent* event) {
    // The window decides itself: it only hides, and Qt's own close (which may end the
    // application with its last window) never runs.
    event->ignore();
    RunGuarded([this] {
        TCloseAction action = TCloseAction::caHide;
        DoClose(action);
        if (action == TCloseAction::caHide || action == TCloseAction::caFree)
            hide();
        else if (action == TCloseAction::caMinimize)
            showMinimized();
    });
}

void TForm1::DoClose(TCloseAction& action) {
    FormSaver1->DoClose(action, [this](TCloseAction& a) { FormClose(this, a); });
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FormSaver1->DoShow();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Panel2 && event->type() == QEvent::Resize) {
        // The anchored grid takes its new width first.
        ApplyAnchors(Panel2);
        RunGuarded([this] { Panel2Resize(Panel2); });
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::FormCreate(QObject*) {
    // Fresh random numbers for the random order; no drawing yet, no preset list seen yet.
    FRandomEngine.seed(uint32_t(QDateTime::currentMSecsSinceEpoch()));
    FBack.reset();
    FMaxPresetCount = 0;

    // Every stored value (the settings key is created when it is missing).
    const TSettings settings = LoadSettings(TRegIniFile(SettingsKey()));
    ApplyOptions(settings);

    // The foreground picture. One that cannot be loaded is reported and stays the editor's path,
    // so that it is saved again and a preview reports it again.
    if (!settings.Foreground.isEmpty()) {
        LoadRestoredPicture(Image1, settings.Foreground);
        OpenDialog1.SetFileName(settings.Foreground);
        OpenDialog1.SetInitialDir(FolderPart(settings.Foreground));
    } else {
        BtnClearForeClick(this);
    }

    // The background: a colour text (solid-colour mode with that colour), nothing (solid-colour
    // mode with "BackColor"), or a picture, restored as the foreground is.
    if (IsColorText(settings.Background)) {
        try {
            ColorBox1->SetSelected(TextToColor(settings.Background));
        } catch (...) {
            StatusBar1->SetSimpleText(
                QStringLiteral("Error reading backround color from resgistry"));
        }
        BtnClearBackClick(this);
    } else if (settings.Background.isEmpty()) {
        BtnClearBackClick(this);
    } else {
        LoadRestoredPicture(Image2, settings.Background);
        OpenDialog2.SetFileName(settings.Background);
        OpenDialog2.SetInitialDir(FolderPart(settings.Background));
    }

    // The preset list, with the last preset equal to the restored editors selected.
    FPresets.clear();
    int matched = -1;
    for (const TPreset& preset : settings.Presets) {
        FPresets.push_back(preset);
        if (MatchesEditors(preset))
            matched = int(FPresets.size());
    }
    RefreshPresetGrid();
    if (matched > 0)
        SelectPresetRow(matched);
    else
        SelectNoPreset();

    // "Auto start" is the autostart entry.
    cbAutoStart->setChecked(isAutostartEnabled());

    // The grid's header row, and the colour swatch when there is no background picture.
    StringGrid1->SetCells(0, 0, QStringLiteral("Foreground"));
    StringGrid1->SetCells(1, 0, QStringLiteral("Background"));
    StringGrid1->SetCells(2, 0, QStringLiteral("Tile?"));
    ColorBox1Change(this);

    AutomaticStart();
}

void TForm1::ApplyOptions(const TSettings& settings) {
    ColorBox1->SetSelected(settings.BackColor);
    FLastBrowse1 = settings.LastBrowse1;
    FLastBrowse2 = settings.LastBrowse2;
    CheckBox1->setChecked(settings.Tile);
    cbAutoChange->setChecked(settings.AutoChange);
    UpDown1->SetPosition(settings.Interval);
    cbRandom->setChecked(settings.Random);
    FLastImage = settings.LastImage;
    FLastChange = settings.LastChange;
    cbOnStart->setChecked(settings.OnAutoStart);
    cbExit->setChecked(settings.ExitAfterAutoStart);
    cbMonitors->setCurrentIndex(qBound(0, int(settings.Monitors), 2));
}

TSettings TForm1::CurrentSettings() const {
    TSettings settings;
    settings.BackColor = ColorBox1->Selected();
    settings.Foreground = ForegroundPath();
    settings.Background = CurrentPreset().Background;
    settings.LastBrowse1 = FLastBrowse1;
    settings.LastBrowse2 = FLastBrowse2;
    settings.Tile = CheckBox1->isChecked();
    settings.AutoChange = cbAutoChange->isChecked();
    settings.Interval = UpDown1->Position();
    settings.Random = cbRandom->isChecked();
    settings.LastImage = FLastImage;
    settings.LastChange = FLastChange;
    settings.OnAutoStart = cbOnStart->isChecked();
    settings.ExitAfterAutoStart = cbExit->isChecked();
    settings.Monitors = int32_t(MonitorMode());
    settings.Presets = FPresets;
    return settings;
}

void TForm1::LoadRestoredPicture(TImageView* view, const QString& path) {
    try {
        LoadPicture(view, path);
    } catch (const std::exception& error) {
        StatusBar1->SetSimpleText(QStringLiteral("Error loading ") + path + QStringLiteral(": ") +
                                  ExceptionMessage(error));
    } catch (...) {
        StatusBar1->SetSimpleText(QStringLiteral("Error loading ") + path);
    }
}

bool TForm1::MatchesEditors(const TPreset& preset) const {
    if (preset.Foreground != ForegroundPath())
        return false;
    if (!BackgroundPath().isEmpty())
        return preset.Background == BackgroundPath() && preset.Tile == CheckBox1->isChecked();
    try {
        // The colour compares by value, so "#ff" matches the colour 0xFF.
        return StrToInt(QStringLiteral("0x") + preset.Background.mid(1)) == ColorBox1->Selected();
    } catch (...) {
        return false;
    }
}

void TForm1::FormClose(QObject*, TCloseAction& Action) {
    Action = TCloseAction::caHide;
    TRegIniFile ini(SettingsKey());
    SaveSettings(ini, CurrentSettings(), FMaxPresetCount);
    ini.UpdateFile(); // every value above in one replacement of the file
    if (cbAutoStart->isChecked())
        writeAutostartEntry(currentProgramPath());
    else
        removeAutostartEntry();
}

void TForm1::FormDestroy(QObject*) {
    if (FDestroyed)
        return;
    FDestroyed = true;
    SaveState();
}

void TForm1::SaveState() {
    TCloseAction action = TCloseAction::caHide;
    try {
        FormClose(this, action);
    } catch (const std::exception& error) {
        ApplicationShowException(error);
    }
    FormSaver1->SavePlacement();
}

// ---------------------------------------------------------------------------------------------
// Editors

void TForm1::BtnBrowseFClick(QObject*) {
    const QString before = OpenDialog1.FileName();
    if (OpenDialog1.FileName().isEmpty())
        OpenDialog1.SetFileName(FLastBrowse1);
    OpenDialog1.SetInitialDir(FolderPart(OpenDialog1.FileName()));
    if (!OpenDialog1.Execute(this)) {
        // A cancelled browse leaves the editor as it was.
        OpenDialog1.SetFileName(before);
        return;
    }
    SelectNoPreset();
    LoadPicture(Image1, OpenDialog1.FileName());
    FLastBrowse1 = OpenDialog1.FileName();
}

void TForm1::BtnBrowseBClick(QObject*) {
    const QString before = OpenDialog2.FileName();
    if (OpenDialog2.FileName().isEmpty())
        OpenDialog2.SetFileName(FLastBrowse2);
    OpenDialog2.SetInitialDir(FolderPart(OpenDialog2.FileName()));
    if (!OpenDialog2.Execute(this)) {
        OpenDialog2.SetFileName(before);
        return;
    }
    SelectNoPreset();
    LoadPicture(Image2, OpenDialog2.FileName());
    FLastBrowse2 = OpenDialog2.FileName();
}

void TForm1::BtnClearForeClick(QObject*) {
    OpenDialog1.SetFileName(QString());
    Image1->Picture()->SetGraphic(nullptr);
}

void TForm1::BtnClearBackClick(QObject*) {
    OpenDialog2.SetFileName(QString());
    DisplayColor();
}

void TForm1::DisplayColor() {
    TBitmap bitmap(Image2->width(), Image2->height(), TPixelFormat::pf24bit);
    bitmap.Canvas()->Brush().Color = ColorBox1->Selected();
    bitmap.Canvas()->FillRect(Rect(0, 0, bitmap.Width(), bitmap.Height()));
    Image2->Picture()->SetGraphic(&bitmap);
}

void TForm1::ColorBox1Change(QObject*) {
    if (BackgroundPath().isEmpty())
        DisplayColor();
}

void TForm1::ColorBox1CloseUp(QObject*) {
    SelectNoPreset();
}

void TForm1::CopyAddress1Click(QObject*) {
    if (!ForegroundPath().isEmpty())
        QGuiApplication::clipboard()->setText(ForegroundPath());
}

void TForm1::MenuItem3Click(QObject*) {
    QGuiApplication::clipboard()->setText(
        BackgroundPath().isEmpty() ? ColorToText(ColorBox1->Selected()) : BackgroundPath());
}

// ---------------------------------------------------------------------------------------------
// Preview, apply, stop and the status poll

void TForm1::BtnPreviewClick(QObject*) {
    StopAndFreeThread();
    StartThread(CurrentPreset(), true);
}

void TForm1::BtnSetClick(QObject*) {
    StopAndFreeThread();
    // The editors' preset goes on every monitor.
    const TMonitorMode mode = MonitorMode();
    StartDesktopThread({CurrentPreset()},
                       mode == TMonitorMode::PerMonitor ? TMonitorMode::Each : mode);
    FLastChange = ClockNow();
}

void TForm1::BitBtn5Click(QObject*) {
    if (!FBack)
        return;
    try {
        FBack->Stop();
        WaitForStoppedThread();
        FBack.reset();
        StatusBar1->SetSimpleText(QStringLiteral("Stopped!"));
    } catch (...) {
        // Errors of thread handling are not reported.
    }
}

void TForm1::Timer1Timer(QObject*) {
    if (!FBack)
        return;
    try {
        // Status and progress first: a thread found done has already written its last text.
        StatusBar1->SetSimpleText(FBack->Status());
        ProgressBar1->setValue(qBound(0, int(FBack->Progress()), 100));
        if (FBack->Done()) {
            FBack->WaitFor();
            if (!FBack->HasTarget())
                FLastChange = ClockNow();
            FBack.reset();
            ReleaseFreedMemory(); // the job's pictures are gone; the program may now sit idle
            return;
        }
        try {
            if (isVisible() && FBack->Priority() != TThreadPriority::tpNormal)
                FBack->SetPriority(TThreadPriority::tpNormal);
            if (!isVisible() && FBack->Priority() != TThreadPriority::tpLowest)
                FBack->SetPriority(TThreadPriority::tpLowest);
        } catch (...) {
        }
    } catch (...) {
        // A failed tick is not reported; the next one tries again.
    }
}

void TForm1::Image1Progress(TObject*, TProgressStage Stage, uint8_t PercentDone, bool, const TRect&,
                            const QString& Msg) {
    switch (Stage) {
    case TProgressStage::psStarting:
        StatusBar1->SetSimpleText(QStringLiteral("Opening file... ") + Msg);
        break;
    case TProgressStage::psRunning:
        StatusBar1->SetSimpleText(QStringLiteral("Loading image... ") + Msg);
        break;
    case TProgressStage::psEnding:
        StatusBar1->SetSimpleText(QStringLiteral("Image loaded. ") + Msg);
        break;
    }
    // Pictures decode without the event loop running, so the bar is painted at once.
    StatusBar1->Repaint();
    ProgressBar1->setValue(qBound(0, int(PercentDone), 100));
}

void TForm1::Panel2Resize(QObject*) {
    const int w = StringGrid1->width();
    StringGrid1->SetColWidths(0, w * 40 / 100);
    StringGrid1->SetColWidths(1, w * 40 / 100);
    StringGrid1->SetColWidths(2, w * 20 / 100 - 8);
}

// ---------------------------------------------------------------------------------------------
// Hide, exit, About

void TForm1::Hidemainwindow1Click(QObject*) {
    close();
}

void TForm1::BtnExitClick(QObject*) {
    TCloseAction action = TCloseAction::caHide;
    try {
        FormClose(this, action);
    } catch (const std::exception& error) {
        // Reported, and the program still ends: a settings file that cannot be written must
        // not keep the user from leaving.
        ApplicationShowException(error);
    }
    // A drawing that still runs is stopped as the stop button does and waited for, so the
    // wallpaper file is never cut short.
    StopAndFreeThread();
    ApplicationTerminate();
}

void TForm1::BtnAboutClick(QObject*) {
    ShowAboutBox(this);
}

void TForm1::ShowInFront() {
    show();
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
    setFocus(Qt::ActiveWindowFocusReason);
}

// ---------------------------------------------------------------------------------------------
// Preset list

void TForm1::RefreshPresetGrid() {
    const int count = int(FPresets.size());
    FMaxPresetCount = std::max(FMaxPresetCount, count);
    if (count == 0) {
        StringGrid1->SetRowCount(2);
        for (int c = 0; c < 3; ++c)
            StringGrid1->SetCells(c, 1, QString());
        StringGrid1->setEnabled(false);
        return;
    }
    StringGrid1->SetRowCount(count + 1);
    for (int i = 0; i < count; ++i) {
        const TPreset& p = FPresets[i];
        StringGrid1->SetCells(0, i + 1, NamePart(p.Foreground));
        StringGrid1->SetCells(1, i + 1, NamePart(p.Background));
        QString mode = p.Tile ? QStringLiteral("Tile") : QStringLiteral("Stretch");
        if (IsColorText(p.Background))
            mode = QStringLiteral("Solid Color");
        StringGrid1->SetCells(2, i + 1, mode);
    }
    StringGrid1->setEnabled(true);
}

void TForm1::SelectPresetRow(int R) {
    StringGrid1->SetSelection({0, R, 2, R});
    const int top =
        std::max(1, std::min(R, StringGrid1->RowCount() - StringGrid1->VisibleRowCount()));
    StringGrid1->SetTopRow(top);
}

void TForm1::SelectNoPreset() {
    StringGrid1->SetSelection(TGridRect{});
}

void TForm1::BitBtn6Click(QObject*) {
    const bool fileMode = !BackgroundPath().isEmpty();
    const QString background = fileMode ? BackgroundPath() : ColorToText(ColorBox1->Selected());
    for (size_t i = 0; i < FPresets.size(); ++i) {
        const TPreset& p = FPresets[i];
        if (p.Foreground == ForegroundPath() && p.Background == background &&
            (!fileMode || p.Tile == CheckBox1->isChecked())) {
            SelectPresetRow(int(i) + 1);
            return;
        }
    }
    FPresets.push_back({ForegroundPath(), background, CheckBox1->isChecked()});
    RefreshPresetGrid();
    SelectPresetRow(int(FPresets.size()));
}

void TForm1::BitBtn7Click(QObject*) {
    const int r = StringGrid1->Row();
    if (FPresets.empty() || r < 1 || r > int(FPresets.size()))
        return;
    FPresets.erase(FPresets.begin() + (r - 1));
    RefreshPresetGrid();
    if (FPresets.empty())
        return;
    SelectPresetRow(std::min(r, int(FPresets.size())));
    BtnUseClick(this);
}

void TForm1::BtnUpClick(QObject*) {
    const int r = StringGrid1->Row();
    if (FPresets.size() <= 1 || r <= 1 || r > int(FPresets.size()))
        return;
    std::swap(FPresets[r - 2], FPresets[r - 1]);
    RefreshPresetGrid();
    SelectPresetRow(r - 1);
}

void TForm1::BitBtn1Click(QObject*) {
    const int r = StringGrid1->Row();
    if (FPresets.size() <= 1 || r < 1 || r >= int(FPresets.size()))
        return;
    std::swap(FPresets[r - 1], FPresets[r]);
    RefreshPresetGrid();
    SelectPresetRow(r + 1);
}

void TForm1::BtnUseClick(QObject*) {
    const int r = StringGrid1->Row();
    if (FPresets.empty() || r < 1 || r > int(FPresets.size()))
        return;
    const TPreset p = FPresets[r - 1];
    FLastImage = r - 1;
    OpenDialog1.SetFileName(p.Foreground);
    OpenDialog1.SetInitialDir(FolderPart(p.Foreground));
    OpenDialog2.SetFileName(p.Background);
    OpenDialog2.SetInitialDir(FolderPart(p.Background));
    CheckBox1->setChecked(p.Tile);
    if (p.Foreground.isEmpty())
        BtnClearForeClick(this);
    else
        LoadPicture(Image1, p.Foreground);
    if (IsColorText(p.Background)) {
        ColorBox1->SetSelected(TextToColor(p.Background));
        BtnClearBackClick(this);
    } else if (p.Background.isEmpty()) {
        // A preset without a background (only from edited settings) is drawn without a
        // background picture: show it in colour mode rather than fail on an empty file name.
        BtnClearBackClick(this);
    } else {
        LoadPicture(Image2, p.Background);
    }
    Image1->Image()->Repaint();
    Image2->Image()->Repaint();
}

void TForm1::BtnUseAndPreviewClick(QObject*) {
    BtnUseClick(this);
    BtnPreviewClick(this);
}

// ---------------------------------------------------------------------------------------------
// Automation

void TForm1::Timer2Timer(QObject*) {
    try {
        if (!cbAutoChange->isChecked())
            return;
        // The edit box's text as the user reads it, so a typed fraction counts (1.5 is 90
        // seconds) and the up-down's grouped numbers from 1000 on read back; other text makes
        // no change.
        double interval = 0;
        if (!TryStrToFloat(Edit1->text(), interval))
            return;
        const double elapsed = std::fabs(ClockNow() - FLastChange) * 1440.0;
        if (interval < elapsed && !FBack && FPresets.size() >= 2)
            ChangeBackgroundNow();
    } catch (...) {
        // A failed check is not reported; the next tick tries again.
    }
}

void TForm1::ChangeBackgroundNow() {
    const int count = int(FPresets.size());
    if (count == 0)
        return;
    const TMonitorMode mode = MonitorMode();
    const int monitors =
        mode == TMonitorMode::PerMonitor ? std::max(1, int(monitorList().size())) : 1;
    const std::vector<int> indices =
        ChooseMonitorPresets(count, FLastImage, monitors, cbRandom->isChecked(),
                             [this](int n) { return RandomIndex(n); });
    std::vector<TPreset> presets;
    for (int index : indices)
        presets.push_back(FPresets[size_t(index)]);
    // A drawing that runs is stopped first, as Apply does: two drawings never run at once.
    StopAndFreeThread();
    StartDesktopThread(presets, mode);
    FLastImage = indices.front(); // the first monitor's
    FLastChange = ClockNow();
}

void TForm1::Chengebackgroundnow1Click(QObject*) {
    ChangeBackgroundNow();
}

void TForm1::AutomaticStart() {
    if (!cbOnStart->isChecked() || !FAutoStart)
        return;
    FormSaver1->SetSaveVisibilty(false);
    hide();
    ChangeBackgroundNow();
    if (!cbExit->isChecked())
        return;
    FormSaver1->SetEnabled(false);
    hide();
    if (FBack) {
        try {
            FBack->WaitFor();
        } catch (...) {
        }
    }
    TCloseAction action = TCloseAction::caHide;
    try {
        FormClose(this, action);
    } catch (const std::exception& error) {
        ApplicationShowException(error);
    }
    ApplicationTerminate();
}
