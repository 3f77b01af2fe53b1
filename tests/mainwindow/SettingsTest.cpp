// The settings store: what the next start reads after a save.
#include "MainWindowFixture.h"

#include "platform/Autostart.h"
#include "toolkit/registry/Registry.h"
#include "toolkit/widgets/AppEvents.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QtEndian>
#include <gmock/gmock.h>

#include <grp.h>
#include <unistd.h>

using namespace mainwindowtest;

TEST_F(MainWindowTest, FirstStartHasEveryDefault) {
    auto form = NewForm();
    EXPECT_EQ(form->ColorBox1->Selected(), clBlack);
    EXPECT_EQ(form->ForegroundPath(), "");
    EXPECT_EQ(form->BackgroundPath(), "");
    EXPECT_FALSE(form->CheckBox1->isChecked());
    EXPECT_FALSE(form->cbAutoChange->isChecked());
    EXPECT_EQ(form->UpDown1->Position(), 60);
    EXPECT_EQ(form->Edit1->text(), "60");
    EXPECT_FALSE(form->cbRandom->isChecked());
    EXPECT_EQ(form->FLastImage, 0);
    EXPECT_EQ(form->FLastChange, 0.0);
    EXPECT_TRUE(form->cbOnStart->isChecked());
    EXPECT_FALSE(form->cbExit->isChecked());
    EXPECT_FALSE(form->cbAutoStart->isChecked());
    EXPECT_TRUE(form->FPresets.empty());
    EXPECT_EQ(form->StatusBar1->SimpleText(), "");
    EXPECT_EQ(form->StringGrid1->RowCount(), 2);
    EXPECT_FALSE(form->StringGrid1->isEnabled());
    EXPECT_EQ(form->StringGrid1->Cells(0, 0), "Foreground");
    EXPECT_EQ(form->StringGrid1->Cells(1, 0), "Background");
    EXPECT_EQ(form->StringGrid1->Cells(2, 0), "Tile?");
    EXPECT_EQ(form->Image2->Picture()->Width(), 100); // the black swatch
    EXPECT_TRUE(FErrors.isEmpty());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainWindowTest, EverySettingSurvivesARestart) {
    const QString fg = WriteBmp(FPictures, "fg.bmp", 8, 6, clLime);
    const QString bg = WriteBmp(FPictures, "bg.bmp", 8, 6, clBlue);
    {
        auto form = NewForm();
        QueueDialogAnswer(fg);
        form->BtnBrowseFClick(nullptr);
        QueueDialogAnswer(bg);
        form->BtnBrowseBClick(nullptr);
        form->CheckBox1->setChecked(true);
        form->cbAutoChange->setChecked(true);
        form->UpDown1->SetPosition(1234);
        form->cbRandom->setChecked(true);
        form->cbOnStart->setChecked(false);
        form->cbExit->setChecked(true);
        form->ColorBox1->SetSelected(0x123456);
        form->FLastImage = 3;
        form->FLastChange = 45123.75;
        form->BitBtn6Click(nullptr);
        Destroy(form);
    }
    EXPECT_EQ(Read("Options", "Interval"), "1234");
    EXPECT_EQ(Read("Options", "Tile"), "1");
    EXPECT_EQ(Read("Options", "BackColor"), QString::number(0x123456));

    auto form = NewForm();
    EXPECT_EQ(form->ForegroundPath(), fg);
    EXPECT_EQ(form->BackgroundPath(), bg);
    EXPECT_EQ(form->Image1->Picture()->Width(), 8);
    EXPECT_EQ(form->Image2->Picture()->Width(), 8);
    EXPECT_EQ(form->FLastBrowse1, fg);
    EXPECT_EQ(form->FLastBrowse2, bg);
    EXPECT_TRUE(form->CheckBox1->isChecked());
    EXPECT_TRUE(form->cbAutoChange->isChecked());
    EXPECT_EQ(form->UpDown1->Position(), 1234);
    EXPECT_TRUE(form->cbRandom->isChecked());
    EXPECT_FALSE(form->cbOnStart->isChecked());
    EXPECT_TRUE(form->cbExit->isChecked());
    EXPECT_EQ(form->ColorBox1->Selected(), 0x123456);
    EXPECT_EQ(form->FLastImage, 3);
    EXPECT_EQ(form->FLastChange, 45123.75);
    ASSERT_EQ(form->FPresets.size(), 1u);
    EXPECT_EQ(form->FPresets[0], (TPreset{fg, bg, true}));
    EXPECT_EQ(form->StringGrid1->Row(), 1); // the restored editors match the preset
    // The dialogs open in the folders of the restored pictures.
    EXPECT_EQ(form->OpenDialog1.InitialDir(), FPictures + "/");
    EXPECT_EQ(form->OpenDialog2.InitialDir(), FPictures + "/");
    EXPECT_TRUE(FErrors.isEmpty());
}

TEST_F(MainWindowTest, LastChangeIsAnEightByteBinaryValue) {
    {
        auto form = NewForm();
        form->FLastChange = 45000.125;
        Destroy(form);
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(TForm1::kSettingsKey, false));
    EXPECT_EQ(reg.GetDataType("LastChange"), TRegDataType::rdBinary);
    const auto bytes = reg.ReadBinaryData("LastChange");
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), 8);
    EXPECT_EQ(qFromLittleEndian<double>(bytes->constData()), 45000.125);

    // A value of another length or type reads as 0, silently.
    reg.WriteBinaryData("LastChange", QByteArray(4, '\x01'));
    EXPECT_EQ(NewForm()->FLastChange, 0.0);
    reg.WriteString("LastChange", "45000.125");
    auto form = NewForm();
    EXPECT_EQ(form->FLastChange, 0.0);
    EXPECT_EQ(form->StatusBar1->SimpleText(), "");
}

TEST_F(MainWindowTest, ColourRoundTrips) {
    struct Case {
        TColor Color;
        const char* Text;
        const char* Integer;
    };
    for (const Case& c :
         {Case{clRed, "#FF", "255"}, Case{clBlack, "#0", "0"},
          Case{clBtnFace, "#8000000F", "-2147483633"}, Case{clWhite, "#FFFFFF", "16777215"}}) {
        {
            auto form = NewForm();
            form->ColorBox1->SetSelected(c.Color);
            Destroy(form);
        }
        EXPECT_EQ(Read("Options", "Background"), c.Text);
        EXPECT_EQ(Read("Options", "BackColor"), c.Integer);
        auto form = NewForm();
        EXPECT_EQ(form->ColorBox1->Selected(), c.Color) << c.Text;
        EXPECT_EQ(form->BackgroundPath(), "");
    }
}

TEST_F(MainWindowTest, RestoringFailuresShowInTheStatusBar) {
    const QString missingFg = FPictures + "/gone.bmp";
    const QString missingBg = FPictures + "/also gone.jpg";
    // "Error loading <path>", then the reason.
    const auto failure = [](const QString& path, const char* reason) {
        return ::testing::AllOf(
            ::testing::StartsWith(("Error loading " + path + ": ").toStdString()),
            ::testing::HasSubstr(reason));
    };
    Write("Options", "Foreground", missingFg);
    Write("Options", "Background", missingBg);
    {
        auto form = NewForm();
        // Both fail: the background's message is the one left.
        EXPECT_THAT(form->StatusBar1->SimpleText().toStdString(),
                    failure(missingBg, "No such file or directory"));
        // The paths stay the editors' paths, so that they are saved again.
        EXPECT_EQ(form->ForegroundPath(), missingFg);
        EXPECT_EQ(form->BackgroundPath(), missingBg);
        Destroy(form);
    }
    EXPECT_EQ(Read("Options", "Foreground"), missingFg);
    EXPECT_EQ(Read("Options", "Background"), missingBg);

    Write("Options", "Background", "");
    EXPECT_THAT(NewForm()->StatusBar1->SimpleText().toStdString(),
                failure(missingFg, "No such file or directory"));
    // A picture that is there but does not read.
    const QString damaged = FPictures + "/damaged.bmp";
    QFile file(damaged);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("BM this is no bitmap");
    file.close();
    Write("Options", "Foreground", damaged);
    const QString text = NewForm()->StatusBar1->SimpleText();
    EXPECT_THAT(text.toStdString(), failure(damaged, ""));
    EXPECT_GT(text.size(), ("Error loading " + damaged + ": ").size()) << "no reason given";

    // A colour text that does not convert: solid colour with the "BackColor" colour.
    Write("Options", "Foreground", "");
    Write("Options", "BackColor", "255");
    Write("Options", "Background", "#12G4");
    auto form = NewForm();
    EXPECT_EQ(form->StatusBar1->SimpleText(), "Error reading backround color from resgistry");
    EXPECT_EQ(form->ColorBox1->Selected(), clRed);
    EXPECT_EQ(form->BackgroundPath(), "");
    EXPECT_TRUE(FErrors.isEmpty());
}

TEST_F(MainWindowTest, IntegersAndBooleansThatDoNotReadGiveTheDefaults) {
    Write("Options", "Interval", "sixty");
    Write("Options", "OnAutoStart", "yes");
    Write("Options", "Tile", "2");
    auto form = NewForm();
    EXPECT_EQ(form->UpDown1->Position(), 60);
    EXPECT_TRUE(form->cbOnStart->isChecked());
    EXPECT_TRUE(form->CheckBox1->isChecked()); // any non-zero integer is true
}

TEST_F(MainWindowTest, AutostartEntryFollowsTheCheckBox) {
    auto form = NewForm();
    form->cbAutoStart->setChecked(true);
    TCloseAction action;
    form->FormClose(nullptr, action);
    ASSERT_TRUE(QFile::exists(AutostartFile()));
    EXPECT_TRUE(isAutostartEnabled());
    EXPECT_TRUE(NewForm()->cbAutoStart->isChecked());

    // An entry for another program path is rewritten with the running program's path.
    writeAutostartEntry("/opt/old place/tapestrix");
    form->FormClose(nullptr, action);
    QFile file(AutostartFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_FALSE(text.contains("old place"));
    EXPECT_TRUE(text.contains(QStringLiteral("Exec=") +
                              desktopEntryExecValue({currentProgramPath(), "/autostart"})))
        << text.toStdString();

    // Unchecked: the entry goes; a missing entry is no error.
    form->cbAutoStart->setChecked(false);
    form->FormClose(nullptr, action);
    EXPECT_FALSE(QFile::exists(AutostartFile()));
    form->FormClose(nullptr, action);
    EXPECT_FALSE(NewForm()->cbAutoStart->isChecked());
    EXPECT_TRUE(FErrors.isEmpty());
}

namespace {

// The arguments of a desktop entry's Exec value as a launcher reads them: the string escapes
// of the file first, then quoting of arguments, then "%%" for "%".
QStringList ExecArguments(const QString& value) {
    QString text;
    for (int i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const QChar c = value[++i];
            text += c == 's'   ? QChar(' ')
                    : c == 'n' ? QChar('\n')
                    : c == 't' ? QChar('\t')
                    : c == 'r' ? QChar('\r')
                               : c;
        } else {
            text += value[i];
        }
    }
    QStringList args;
    QString current;
    bool inQuotes = false, any = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (inQuotes) {
            if (c == '\\' && i + 1 < text.size() && QStringLiteral("\"`$\\").contains(text[i + 1]))
                current += text[++i];
            else if (c == '"')
                inQuotes = false;
            else
                current += c;
        } else if (c == '"') {
            inQuotes = any = true;
        } else if (c == ' ') {
            if (any)
                args << current;
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any)
        args << current;
    for (QString& arg : args)
        arg.replace(QStringLiteral("%%"), QStringLiteral("%"));
    return args;
}

QString ExecLine(const QString& file) {
    QFile entry(file);
    if (!entry.open(QIODevice::ReadOnly))
        return QString();
    for (const QString& line : QString::fromUtf8(entry.readAll()).split('\n'))
        if (line.startsWith(QLatin1String("Exec=")))
            return line.mid(5);
    return QString();
}

// Run by the copy of this program at an awkward path: saves with "Auto start" checked.
TEST(MainWindowChild, DISABLED_SaveWithAutoStart) {
    SetExceptionDisplay([](const QString& m) { printf("ERROR|%s\n", qPrintable(m)); });
    {
        TForm1 form(false);
        form.cbAutoStart->setChecked(true);
        TCloseAction action;
        form.FormClose(nullptr, action);
    }
    SetExceptionDisplay(nullptr);
}

} // namespace

TEST_F(MainWindowTest, AutostartEntryRunsAProgramWithAnAwkwardPath) {
    // A copy of this program under a path with spaces, quotes and a percent sign writes the
    // entry; the entry's command line must give back exactly that path and "/autostart".
    const QString dir = FDir.path() + QStringLiteral("/My \"Apps\" $HOME`x`");
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString program = dir + QStringLiteral("/100% tapes\\trix");
    ASSERT_TRUE(QFile::copy(QCoreApplication::applicationFilePath(), program));
    QFile::setPermissions(program, QFileDevice::Permissions(0x7755));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", FConfigHome);
    env.insert("XDG_DATA_HOME", FDataHome);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.start(program, {"--gtest_filter=MainWindowChild.DISABLED_SaveWithAutoStart",
                          "--gtest_also_run_disabled_tests"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromUtf8(child.readAllStandardOutput());
    EXPECT_FALSE(output.contains("ERROR|")) << output.toStdString();

    const QString exec = ExecLine(AutostartFile());
    ASSERT_FALSE(exec.isEmpty());
    EXPECT_EQ(ExecArguments(exec), (QStringList{program, "/autostart"})) << exec.toStdString();
    EXPECT_TRUE(NewForm()->cbAutoStart->isChecked());

    // A hidden entry counts as off.
    QFile hidden(AutostartFile());
    ASSERT_TRUE(hidden.open(QIODevice::WriteOnly | QIODevice::Truncate));
    hidden.write("[Desktop Entry]\nType=Application\nName=Tapestrix\nExec=tapestrix /autostart\n"
                 "Hidden=true\n");
    hidden.close();
    EXPECT_FALSE(NewForm()->cbAutoStart->isChecked());
}

// --- A settings folder that cannot be written

namespace {

// The part that runs in a child process (as "nobody" when the tests run as root): a window over
// the given settings changes a value and closes; the error it reports is printed.
TEST(MainWindowChild, DISABLED_SaveIntoReadOnlySettings) {
    QStringList errors;
    SetExceptionDisplay([&](const QString& m) { errors << m; });
    SetTerminateAction([] {});
    {
        TForm1 form(false);
        form.Timer1->stop();
        form.Timer2->stop();
        form.ColorBox1->SetSelected(clRed);
        form.FPresets.push_back({"", "#FF", false});
        form.close();
        printf("ERRORS|%d\n", int(errors.size()));
        for (const QString& e : errors)
            printf("ERROR|%s\n", qPrintable(e));
        fflush(stdout);
        SetExceptionDisplay([](const QString&) {});
    }
}

} // namespace

TEST_F(MainWindowTest, ASettingsFolderThatCannotBeWrittenIsReportedAndNothingIsLost) {
    WritePreset(0, "/p/a.bmp", "#0", false);
    Write("Options", "BackColor", "65280");
    Write("Options", "Background", "#FF00");
    const QString folder = FConfigHome + "/Halvern";
    QFile settings(SettingsFile());
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    const QByteArray before = settings.readAll();
    settings.close();
    // Readable by the other user, writable by nobody.
    for (const QString& dir : {FDir.path(), FConfigHome})
        QFile::setPermissions(dir, QFileDevice::Permissions(0x7755));
    QFile::setPermissions(folder, QFileDevice::Permissions(0x5555));
    QFile::setPermissions(SettingsFile(), QFileDevice::Permissions(0x4444));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", FConfigHome);
    env.insert("XDG_DATA_HOME", FDataHome);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setChildProcessModifier([] {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
    });
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=MainWindowChild.DISABLED_SaveIntoReadOnlySettings",
                 "--gtest_also_run_disabled_tests"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromUtf8(child.readAllStandardOutput());
    QFile::setPermissions(folder, QFileDevice::Permissions(0x7755));
    QFile::setPermissions(SettingsFile(), QFileDevice::Permissions(0x6644));

    EXPECT_TRUE(output.contains("ERRORS|1")) << output.toStdString();
    EXPECT_TRUE(output.contains("ERROR|Failed to ")) << output.toStdString();
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    EXPECT_EQ(settings.readAll(), before);
    auto form = NewForm();
    EXPECT_EQ(form->ColorBox1->Selected(), clLime);
    ASSERT_EQ(form->FPresets.size(), 1u);
    EXPECT_EQ(form->FPresets[0].Foreground, "/p/a.bmp");
}

TEST_F(MainWindowTest, ASaveThatFailsHalfwayKeepsWhatWasWrittenBeforeIt) {
    // The autostart folder is a file: the values of the settings key are all written, then the
    // autostart entry fails and the error is reported.
    QFile blocker(FConfigHome + "/autostart");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    auto form = NewForm();
    form->ColorBox1->SetSelected(clRed);
    form->cbAutoStart->setChecked(true);
    form->show();
    form->close();
    ASSERT_EQ(FErrors.size(), 1);
    EXPECT_TRUE(form->isVisible()); // the failed close leaves the window as it was
    EXPECT_EQ(Read("Options", "BackColor"), "255");
    form->hide();
}
