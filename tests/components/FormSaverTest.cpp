// The placement saver: the 12-byte record, what is restored under which switches, the value
// names, the roots and the global path, and the chaining into the form's events.
#include "components/FormSaver.h"

#include "platform/Screen.h"
#include "toolkit/registry/Registry.h"
#include "toolkit/widgets/AppEvents.h"
#include "toolkit/widgets/Forms.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <optional>

namespace {

const QString kPath = QStringLiteral("Software\\Halvern\\Tapestrix");

// The record as the format describes it, built field by field.
QByteArray ExpectedRecord(int left, int top, int width, int height, int state, int visible) {
    QByteArray bytes;
    for (int field : {left, top, width, height, state, visible}) {
        bytes.append(char(field & 0xFF));
        bytes.append(char((field >> 8) & 0xFF));
    }
    return bytes;
}

std::optional<QByteArray> StoredValue(HKEY root, const QString& path, const QString& name) {
    TRegistry reg(root);
    if (!reg.OpenKeyReadOnly(path))
        return std::nullopt;
    return reg.ReadBinaryData(name);
}

void StoreValue(HKEY root, const QString& path, const QString& name, const QByteArray& data) {
    TRegistry reg(root);
    ASSERT_TRUE(reg.OpenKey(path, true));
    reg.WriteBinaryData(name, data);
}

class FormSaverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        SetRegistryRootDir(HKEY_CURRENT_USER, FDir.path() + QStringLiteral("/user"));
        SetRegistryRootDir(HKEY_LOCAL_MACHINE, FDir.path() + QStringLiteral("/machine"));
        setPrimaryScreenSizeProvider([this] { return FScreen; });
    }
    void TearDown() override {
        SetRegistryRootDir(HKEY_CURRENT_USER, QString());
        SetRegistryRootDir(HKEY_LOCAL_MACHINE, QString());
        setPrimaryScreenSizeProvider(nullptr);
        GlobalRegistryPath = QStringLiteral("Software\\Halvern\\Form Saver");
    }

    // A saver set up as the main window's: path and value of the settings key.
    static TFormSaver* MainSaver(QWidget* form) {
        auto* saver = new TFormSaver(form);
        saver->SetSaveSize(true);
        saver->SetRegistryPath(kPath);
        saver->SetKeyName(QStringLiteral("MainFormPosition"));
        return saver;
    }

    std::optional<QByteArray> Stored(const QString& name = QStringLiteral("MainFormPosition")) {
        return StoredValue(HKEY_CURRENT_USER, kPath, name);
    }

    QTemporaryDir FDir;
    QSize FScreen{1024, 768};
};

// A form with event slots that records what ran, in order.
class RecordingForm : public TForm {
public:
    RecordingForm() {
        OnCreate = [this](QObject*) { Log << QStringLiteral("form create"); };
        OnDestroy = [this](QObject*) { Log << QStringLiteral("form destroy"); };
        OnShow = [this](QObject*) { Log << QStringLiteral("form show"); };
        OnClose = [this](QObject*, TCloseAction& action) {
            Log << QStringLiteral("form close");
            action = NextAction;
        };
    }
    ~RecordingForm() override { DoDestroy(); }
    QStringList Log;
    TCloseAction NextAction = TCloseAction::caHide;
};

} // namespace

TEST_F(FormSaverTest, ConstructionNeedsAFormAndSetsTheDefaults) {
    auto message = [](auto make) {
        try {
            make();
        } catch (const Exception& e) {
            return e.Message();
        }
        return QStringLiteral("<no error>");
    };
    QWidget form;
    auto* child = new QWidget(&form);
    QObject plain;
    EXPECT_EQ(message([] { TFormSaver saver(nullptr); }),
              QStringLiteral("TFormSaver has invalid owner"));
    EXPECT_EQ(message([&] { new TFormSaver(child); }),
              QStringLiteral("TFormSaver has invalid owner"));
    EXPECT_EQ(message([&] { new TFormSaver(&plain); }),
              QStringLiteral("TFormSaver has invalid owner"));

    auto* saver = new TFormSaver(&form, QStringLiteral("FormSaver2"));
    EXPECT_TRUE(saver->Enabled());
    EXPECT_TRUE(saver->SavePosition());
    EXPECT_FALSE(saver->SaveSize());
    EXPECT_FALSE(saver->SaveState());
    EXPECT_FALSE(saver->SaveVisibilty());
    EXPECT_FALSE(saver->ResolutionDependent());
    EXPECT_TRUE(saver->UserDependent());
    EXPECT_EQ(saver->RegistryPath(), QStringLiteral("Software\\Halvern\\FormSaverData"));
    EXPECT_EQ(saver->KeyName(), QStringLiteral("FormSaver2"));
    EXPECT_FALSE(saver->UseGlobalPath());
    EXPECT_FALSE(saver->WasVisible());
    // Named afterwards, as a form's design does: the key name stays empty.
    auto* unnamed = new TFormSaver(&form);
    unnamed->setObjectName(QStringLiteral("FormSaver1"));
    EXPECT_EQ(unnamed->KeyName(), QString());
}

TEST_F(FormSaverTest, ANormalFormStoresItsGeometryStateAndVisibility) {
    QWidget form;
    form.move(10, -20);
    form.resize(300, 200);
    TFormSaver* saver = MainSaver(&form);
    saver->DoShow();
    saver->SavePlacement();
    EXPECT_EQ(Stored(), ExpectedRecord(10, -20, 300, 200, 0, 1));
    EXPECT_EQ(*Stored(), QByteArray::fromHex("0a00ecff2c01c80000000100"));

    // Coordinates keep only their low 16 bits.
    form.move(70000, 5);
    saver->DoClose(*std::make_unique<TCloseAction>(TCloseAction::caHide));
    saver->SavePlacement();
    EXPECT_EQ(Stored(), ExpectedRecord(70000, 5, 300, 200, 0, 0));
}

TEST_F(FormSaverTest, AMaximisedFormStoresNoGeometryAndReopensMaximised) {
    {
        QWidget form;
        form.setGeometry(50, 60, 400, 300);
        form.setWindowState(Qt::WindowMaximized);
        MainSaver(&form)->SavePlacement();
    }
    EXPECT_EQ(Stored(), ExpectedRecord(-9999, -9999, -9999, -9999, 2, 0));
    EXPECT_EQ(Stored()->left(8), QByteArray::fromHex("f1d8f1d8f1d8f1d8"));

    QWidget next;
    next.move(7, 8);
    next.resize(320, 240);
    TFormSaver* saver = MainSaver(&next);
    saver->SetSaveState(true);
    SetFormPosition(&next, TPosition::poScreenCenter);
    saver->RestorePlacement();
    EXPECT_EQ(FormWindowState(&next), TWindowState::wsMaximized);
    EXPECT_EQ(next.pos(), QPoint(7, 8));
    EXPECT_EQ(next.size(), QSize(320, 240));
    EXPECT_EQ(FormPosition(&next), TPosition::poScreenCenter); // -9999 position: mode unchanged
}

TEST_F(FormSaverTest, AMinimisedFormStoresStateOneAndNoGeometry) {
    QWidget form;
    form.setGeometry(50, 60, 400, 300);
    form.setWindowState(Qt::WindowMinimized);
    TFormSaver* saver = MainSaver(&form);
    saver->DoShow();
    saver->SavePlacement();
    EXPECT_EQ(Stored(), ExpectedRecord(-9999, -9999, -9999, -9999, 1, 1));
}

TEST_F(FormSaverTest, SizeWithoutPositionIsAppliedAtTheCurrentPlace) {
    StoreValue(HKEY_CURRENT_USER, kPath, QStringLiteral("MainFormPosition"),
               ExpectedRecord(100, 110, 640, 480, 0, 1));
    QWidget form;
    form.move(5, 6);
    form.resize(200, 100);
    SetFormPosition(&form, TPosition::poDefault);
    TFormSaver* saver = MainSaver(&form);
    saver->SetSavePosition(false);
    saver->RestorePlacement();
    EXPECT_EQ(form.pos(), QPoint(5, 6));
    EXPECT_EQ(form.size(), QSize(640, 480));
    EXPECT_EQ(FormPosition(&form), TPosition::poDesigned);
    EXPECT_FALSE(form.isVisible()); // SaveVisibilty is off

    // Position and size both restored; the position mode becomes designed.
    QWidget other;
    SetFormPosition(&other, TPosition::poScreenCenter);
    MainSaver(&other)->RestorePlacement();
    EXPECT_EQ(FormBoundsRect(&other), QRect(100, 110, 640, 480));
    EXPECT_EQ(FormPosition(&other), TPosition::poDesigned);
}

TEST_F(FormSaverTest, PositionWithoutSizeKeepsTheFormsSize) {
    StoreValue(HKEY_CURRENT_USER, kPath, QStringLiteral("MainFormPosition"),
               ExpectedRecord(100, 110, 640, 480, 0, 1));
    QWidget form;
    form.resize(200, 100);
    TFormSaver* saver = MainSaver(&form);
    saver->SetSaveSize(false);
    saver->RestorePlacement();
    EXPECT_EQ(FormBoundsRect(&form), QRect(100, 110, 200, 100));
}

TEST_F(FormSaverTest, VisibilityIsRestoredOnlyWhenAskedFor) {
    StoreValue(HKEY_CURRENT_USER, kPath, QStringLiteral("MainFormPosition"),
               ExpectedRecord(10, 10, 200, 150, 0, 1));
    QWidget form;
    TFormSaver* saver = MainSaver(&form);
    saver->RestorePlacement();
    EXPECT_FALSE(form.isVisible());
    saver->SetSaveVisibilty(true);
    saver->RestorePlacement();
    EXPECT_TRUE(form.isVisible());
    StoreValue(HKEY_CURRENT_USER, kPath, QStringLiteral("MainFormPosition"),
               ExpectedRecord(10, 10, 200, 150, 0, 0));
    saver->RestorePlacement();
    EXPECT_FALSE(form.isVisible());
}

TEST_F(FormSaverTest, StoredValuesThatAreNotARecordAreIgnored) {
    QWidget form;
    form.setGeometry(30, 40, 250, 150);
    TFormSaver* saver = MainSaver(&form);
    saver->SetSaveState(true);
    saver->SetSaveVisibilty(true);
    const QRect designed = FormBoundsRect(&form);
    for (const QByteArray& bad :
         {ExpectedRecord(1, 2, 3, 4, 2, 1).left(11),
          ExpectedRecord(1, 2, 3, 4, 2, 1) + QByteArray(1, '\0'), QByteArray()}) {
        StoreValue(HKEY_CURRENT_USER, kPath, QStringLiteral("MainFormPosition"), bad);
        saver->RestorePlacement();
        EXPECT_EQ(FormBoundsRect(&form), designed) << bad.toHex().toStdString();
        EXPECT_EQ(FormWindowState(&form), TWindowState::wsNormal);
        EXPECT_FALSE(form.isVisible());
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kPath, true));
    reg.WriteString(QStringLiteral("MainFormPosition"), QStringLiteral("123456789012"));
    saver->RestorePlacement();
    EXPECT_EQ(FormBoundsRect(&form), designed);
    // No key and no value at all: the first run.
    QWidget fresh;
    fresh.setGeometry(30, 40, 250, 150);
    auto* other = new TFormSaver(&fresh, QStringLiteral("Other"));
    other->RestorePlacement();
    EXPECT_EQ(FormBoundsRect(&fresh), designed);
}

TEST_F(FormSaverTest, EachScreenResolutionKeepsItsOwnRecord) {
    QWidget form;
    TFormSaver* saver = MainSaver(&form);
    saver->SetResolutionDependent(true);
    EXPECT_EQ(saver->GetValueName(), QStringLiteral("MainFormPosition_1024x768"));
    form.setGeometry(1, 2, 300, 200);
    saver->SavePlacement();
    FScreen = QSize(1920, 1080); // read at each call
    EXPECT_EQ(saver->GetValueName(), QStringLiteral("MainFormPosition_1920x1080"));
    form.setGeometry(500, 400, 900, 700);
    saver->SavePlacement();
    EXPECT_EQ(Stored(QStringLiteral("MainFormPosition_1024x768")),
              ExpectedRecord(1, 2, 300, 200, 0, 0));
    EXPECT_EQ(Stored(QStringLiteral("MainFormPosition_1920x1080")),
              ExpectedRecord(500, 400, 900, 700, 0, 0));
    EXPECT_FALSE(Stored().has_value());

    FScreen = QSize(1024, 768);
    saver->RestorePlacement();
    EXPECT_EQ(FormBoundsRect(&form), QRect(1, 2, 300, 200));
    saver->SetResolutionDependent(false);
    EXPECT_EQ(saver->GetValueName(), QStringLiteral("MainFormPosition"));
}

TEST_F(FormSaverTest, AMachineWideRecordThatCannotBeWrittenIsReportedOnce) {
    QWidget form;
    form.setGeometry(1, 2, 300, 200);
    TFormSaver* saver = MainSaver(&form);
    saver->SetUserDependent(false);
    saver->SavePlacement();
    EXPECT_EQ(StoredValue(HKEY_LOCAL_MACHINE, kPath, QStringLiteral("MainFormPosition")),
              ExpectedRecord(1, 2, 300, 200, 0, 0));
    EXPECT_FALSE(Stored().has_value());

    // A machine-wide folder nobody may create: nothing saved; the failure is reported, once
    // until a save succeeds again, and raises nothing. A failed restore says nothing.
    QStringList reports;
    SetExceptionDisplay([&](const QString& message) { reports << message; });
    QTemporaryDir other;
    QFile blocker(other.path() + QStringLiteral("/file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    SetRegistryRootDir(HKEY_LOCAL_MACHINE, blocker.fileName() + QStringLiteral("/etc"));
    EXPECT_NO_THROW(saver->SavePlacement());
    EXPECT_NO_THROW(saver->SavePlacement());
    EXPECT_NO_THROW(saver->RestorePlacement());
    EXPECT_EQ(FormBoundsRect(&form), QRect(1, 2, 300, 200));
    EXPECT_FALSE(Stored().has_value());
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].startsWith(QStringLiteral("Failed to create key ") + kPath + ": "))
        << reports[0].toStdString();

    SetRegistryRootDir(HKEY_LOCAL_MACHINE, FDir.path() + QStringLiteral("/machine"));
    saver->SavePlacement();
    SetRegistryRootDir(HKEY_LOCAL_MACHINE, blocker.fileName() + QStringLiteral("/etc"));
    saver->SavePlacement();
    EXPECT_EQ(reports.size(), 2) << "a new failure after a success is reported again";
    SetExceptionDisplay(nullptr);
}

TEST_F(FormSaverTest, TheGlobalPathMovesEverySaverThatUsesIt) {
    QWidget form;
    auto* a = new TFormSaver(&form, QStringLiteral("A"));
    auto* b = new TFormSaver(&form, QStringLiteral("B"));
    auto* own = new TFormSaver(&form, QStringLiteral("Own"));
    // As a form's design sets them: the path first, then UseGlobalPath, which replaces it.
    a->SetRegistryPath(QStringLiteral("Software\\Halvern\\Written In Design"));
    a->SetUseGlobalPath(true);
    EXPECT_EQ(a->RegistryPath(), QStringLiteral("Software\\Halvern\\Form Saver"));
    b->SetUseGlobalPath(true);
    own->SetRegistryPath(QStringLiteral("Software\\Halvern\\Own"));

    b->SetRegistryPath(QStringLiteral("Software\\Halvern\\Moved"));
    EXPECT_EQ(GlobalRegistryPath, QStringLiteral("Software\\Halvern\\Moved"));
    EXPECT_EQ(a->RegistryPath(), QStringLiteral("Software\\Halvern\\Moved"));
    EXPECT_EQ(own->RegistryPath(), QStringLiteral("Software\\Halvern\\Own"));

    form.setGeometry(3, 4, 120, 90);
    a->SavePlacement();
    EXPECT_EQ(StoredValue(HKEY_CURRENT_USER, QStringLiteral("Software\\Halvern\\Moved"),
                          QStringLiteral("A")),
              ExpectedRecord(3, 4, 120, 90, 0, 0));
    // Leaving the global path keeps the path last taken from it.
    a->SetUseGlobalPath(false);
    a->SetRegistryPath(QStringLiteral("Software\\Halvern\\Alone"));
    EXPECT_EQ(GlobalRegistryPath, QStringLiteral("Software\\Halvern\\Moved"));
}

TEST_F(FormSaverTest, CloseActionsDecideTheStoredVisibility) {
    struct Case {
        TCloseAction Action;
        bool VisibleAfter;
    };
    for (const Case& c :
         {Case{TCloseAction::caNone, true}, Case{TCloseAction::caHide, false},
          Case{TCloseAction::caFree, false}, Case{TCloseAction::caMinimize, true}}) {
        RecordingForm form;
        form.resize(200, 100);
        auto* saver = MainSaver(&form);
        saver->Loaded();
        form.show();
        EXPECT_TRUE(saver->WasVisible());
        form.NextAction = c.Action;
        form.close();
        EXPECT_EQ(saver->WasVisible(), c.VisibleAfter) << int(c.Action);
        saver->SavePlacement();
        EXPECT_EQ(Stored()->at(10), c.VisibleAfter ? 1 : 0) << int(c.Action);
        // The form applied the action its handler chose.
        EXPECT_EQ(form.isVisible(),
                  c.Action == TCloseAction::caNone || c.Action == TCloseAction::caMinimize);
        form.NextAction = TCloseAction::caHide;
    }
}

TEST_F(FormSaverTest, HookedHandlersRunAfterTheFormsOwn) {
    StoreValue(HKEY_CURRENT_USER, kPath, QStringLiteral("MainFormPosition"),
               ExpectedRecord(40, 50, 333, 222, 0, 0));
    RecordingForm form;
    form.resize(10, 10);
    form.OnCreate = [&form](QObject*) {
        // The form's own handler sees the form before the restore.
        form.Log << QStringLiteral("form create at width %1").arg(form.width());
    };
    auto* saver = MainSaver(&form);
    saver->Loaded();
    try {
        saver->HookFormEvents();
        ADD_FAILURE() << "hooked twice";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("TFormSaver: events are already set"));
    }
    form.DoCreate();
    EXPECT_EQ(FormBoundsRect(&form), QRect(40, 50, 333, 222));
    form.show();
    form.close();
    EXPECT_EQ(form.Log, (QStringList{QStringLiteral("form create at width 10"),
                                     QStringLiteral("form show"), QStringLiteral("form close")}));
    form.move(1, 1);
    form.DoDestroy();
    EXPECT_EQ(form.Log.last(), QStringLiteral("form destroy"));
    EXPECT_EQ(Stored(), ExpectedRecord(1, 1, 333, 222, 0, 0));
}

TEST_F(FormSaverTest, ADisabledSaverPassesEventsOnButNeitherRestoresNorSaves) {
    StoreValue(HKEY_CURRENT_USER, kPath, QStringLiteral("MainFormPosition"),
               ExpectedRecord(40, 50, 333, 222, 0, 0));
    RecordingForm form;
    form.setGeometry(1, 2, 30, 40);
    auto* saver = MainSaver(&form);
    saver->SetEnabled(false);
    saver->Loaded();
    form.DoCreate();
    EXPECT_EQ(FormBoundsRect(&form), QRect(1, 2, 30, 40));
    form.show();
    EXPECT_TRUE(saver->WasVisible()); // followed whatever Enabled says
    form.DoDestroy();
    EXPECT_EQ(form.Log, (QStringList{QStringLiteral("form create"), QStringLiteral("form show"),
                                     QStringLiteral("form destroy")}));
    EXPECT_EQ(Stored(), ExpectedRecord(40, 50, 333, 222, 0, 0));
}

TEST_F(FormSaverTest, EnablingTakesTheFormsCurrentVisibility) {
    QWidget form;
    form.resize(100, 100);
    auto* saver = MainSaver(&form);
    form.show();
    EXPECT_FALSE(saver->WasVisible()); // no show event went through the saver
    saver->SetEnabled(true);           // unchanged: nothing happens
    EXPECT_FALSE(saver->WasVisible());
    saver->SetEnabled(false);
    saver->SetEnabled(true);
    EXPECT_TRUE(saver->WasVisible());
    form.hide();
    saver->SetEnabled(false);
    saver->SetEnabled(true);
    EXPECT_FALSE(saver->WasVisible());
}

TEST_F(FormSaverTest, FormsWithoutEventSlotsCallTheSaverThemselves) {
    StoreValue(HKEY_CURRENT_USER, kPath, QStringLiteral("MainFormPosition"),
               ExpectedRecord(40, 50, 333, 222, 0, 1));
    QWidget form;
    auto* saver = MainSaver(&form);
    saver->SetSaveVisibilty(true);
    saver->Loaded();
    EXPECT_THROW(saver->Loaded(), Exception);
    QStringList log;
    saver->DoCreate([&] { log << QStringLiteral("create ") + QString::number(form.width()); });
    EXPECT_EQ(log, QStringList{QStringLiteral("create ") + QString::number(QWidget().width())});
    EXPECT_EQ(FormBoundsRect(&form), QRect(40, 50, 333, 222));
    EXPECT_TRUE(form.isVisible());
    saver->DoShow();
    TCloseAction action = TCloseAction::caNone;
    saver->DoClose(action, [](TCloseAction& a) { a = TCloseAction::caHide; });
    EXPECT_EQ(action, TCloseAction::caHide);
    EXPECT_FALSE(saver->WasVisible());
    saver->DoDestroy([&] { log << QStringLiteral("destroy"); });
    EXPECT_EQ(log.last(), QStringLiteral("destroy"));
    EXPECT_EQ(Stored(), ExpectedRecord(40, 50, 333, 222, 0, 0));
}
