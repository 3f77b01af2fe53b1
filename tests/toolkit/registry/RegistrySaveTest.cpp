// Saving the registry's files: one save is one atomic replacement of the file, whatever kills the
// writer; failures are reported and never cost what was stored; other writers' values stay; a
// file is parsed once per load; links to the file stay, links in place of the damaged file's copy
// are replaced.
#include "RegistryFixture.h"
#include "toolkit/registry/RegistryFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace regtest;

namespace {

const QString kOptions = QStringLiteral("Options");

ino_t InodeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

QStringList FilesIn(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// A settings file as the program leaves it, with `presets` presets and lines of other values up to
// about `bytes` bytes.
QByteArray SettingsText(qint64 bytes, int presets) {
    QByteArray text = "LastChange=@Binary(0000000040e2e340)\n\n[Options]\nBackColor=255\n"
                      "Foreground=/home/u/Pictures/a.jpg\nBackground=#FF\nInterval=30\n";
    for (int i = 0; i < presets; ++i)
        text += QStringLiteral("\n[Preset%1]\nForeground=/home/u/Pictures/holiday/photo%1.jpg\n"
                               "Background=#FF\nTile=0\n")
                    .arg(i)
                    .toUtf8();
    text += "\n[Other]\n";
    for (int i = 0; text.size() < bytes; ++i)
        text += QStringLiteral("Value%1=some text that another program keeps here, %1\n")
                    .arg(i)
                    .toUtf8();
    return text;
}

// What the main window reads when it is created; returns the number of presets.
int LoadLikeTheMainWindow() {
    TRegIniFile ini(kKey);
    for (const char* name :
         {"BackColor", "Foreground", "Background", "LastBrowse1", "LastBrowse2", "Tile",
          "AutoChange", "Interval", "Random", "LastImage", "OnAutoStart", "ExitAfterAutoStart"})
        ini.ReadString(kOptions, QLatin1String(name), QString());
    ini.ReadBinaryData(QStringLiteral("LastChange"));
    for (int n = 0;; ++n) {
        const QString section = QStringLiteral("Preset%1").arg(n);
        if (ini.ReadString(section, QStringLiteral("Foreground"), QStringLiteral(":")) ==
            QLatin1String(":"))
            return n;
        ini.ReadString(section, QStringLiteral("Background"), QString());
        ini.ReadBool(section, QStringLiteral("Tile"), false);
    }
}

// What the main window writes when it is closed, with the presets' foregrounds in `folder`.
void SaveLikeTheMainWindow(int presets, const QString& folder) {
    TRegIniFile ini(kKey);
    ini.WriteString(kOptions, QStringLiteral("Foreground"), folder + QStringLiteral("/b.jpg"));
    ini.WriteString(kOptions, QStringLiteral("Background"), QStringLiteral("#FF00"));
    ini.WriteBool(kOptions, QStringLiteral("Tile"), true);
    for (int i = 0; i < presets; ++i) {
        const QString section = QStringLiteral("Preset%1").arg(i);
        ini.WriteString(section, QStringLiteral("Foreground"),
                        QStringLiteral("%1/%2.jpg").arg(folder).arg(i));
        ini.WriteString(section, QStringLiteral("Background"), QStringLiteral("#FF"));
        ini.WriteBool(section, QStringLiteral("Tile"), true);
    }
    for (int i = presets; i < presets + 3; ++i)
        ini.EraseSection(QStringLiteral("Preset%1").arg(i));
    ini.WriteBool(kOptions, QStringLiteral("AutoChange"), true);
    ini.WriteInteger(kOptions, QStringLiteral("Interval"), 15);
    ini.WriteBool(kOptions, QStringLiteral("Random"), true);
    ini.WriteBinaryData(QStringLiteral("LastChange"), QByteArray(8, '\x02'));
    for (const char* name : {"LastBrowse1", "LastBrowse2", "LastImage", "OnAutoStart",
                             "ExitAfterAutoStart", "BackColor"})
        ini.WriteString(kOptions, QLatin1String(name), QStringLiteral("1"));
    ini.UpdateFile();
}

} // namespace

TEST_F(RegistryTest, ALoadParsesTheFileOnceAndASaveWritesItOnce) {
    WriteAll(SettingsFile(), SettingsText(64 * 1024, 40));
    const TRegFileStats start = RegFileStats();
    EXPECT_EQ(LoadLikeTheMainWindow(), 40);
    const TRegFileStats loaded = RegFileStats();
    EXPECT_EQ(loaded.Parses - start.Parses, 1);
    EXPECT_EQ(loaded.Writes - start.Writes, 0);

    SaveLikeTheMainWindow(38, QStringLiteral("/new"));
    const TRegFileStats saved = RegFileStats();
    EXPECT_EQ(saved.Parses - loaded.Parses, 0); // the file is the one loaded
    EXPECT_EQ(saved.Writes - loaded.Writes, 1);
    // A save that changes nothing writes nothing; the next load finds the file it wrote.
    SaveLikeTheMainWindow(38, QStringLiteral("/new"));
    EXPECT_EQ(LoadLikeTheMainWindow(), 38);
    EXPECT_EQ(RegFileStats().Parses, saved.Parses);
    EXPECT_EQ(RegFileStats().Writes, saved.Writes);

    // What the save wrote is what reading the file gives.
    const TRegFileData onDisk = ParseRegFile(ReadAll(SettingsFile()));
    EXPECT_FALSE(onDisk.Damaged);
    EXPECT_EQ(
        onDisk.Sections.value(QStringLiteral("Preset37")).value(QStringLiteral("Foreground")).Text,
        QStringLiteral("/new/37.jpg"));
    EXPECT_FALSE(onDisk.Sections.contains(QStringLiteral("Preset38")));
    EXPECT_TRUE(onDisk.Sections.value(QStringLiteral("Other")).contains(QStringLiteral("Value0")));
}

// The timed version of the test above: `test_toolkit --gtest_also_run_disabled_tests
// --gtest_filter=*SpeedOfLargeFiles` prints the figures.
TEST_F(RegistryTest, DISABLED_SpeedOfLargeFiles) {
    for (const int presets : {3, 3000}) {
        for (const qint64 bytes : {qint64(1) << 20, qint64(10) << 20}) {
            WriteAll(SettingsFile(), SettingsText(bytes, presets));
            QElapsedTimer timer;
            timer.start();
            LoadLikeTheMainWindow();
            const qint64 load = timer.restart();
            SaveLikeTheMainWindow(presets, QStringLiteral("/new"));
            std::printf("%lld bytes, %d presets: load %lld ms, save %lld ms\n",
                        qint64(ReadAll(SettingsFile()).size()), presets, load, timer.elapsed());
        }
    }
}

TEST_F(RegistryTest, AKilledSaveLeavesAllOldOrAllNewValues) {
    constexpr int kValues = 300;
    QRandomGenerator rng(20240611);
    auto env = ChildEnv(QStringLiteral("generations"));
    env.insert(QStringLiteral("REG_COUNT"), QString::number(kValues));
    int kills = 0;
    for (int round = 0; round < 8; ++round) {
        QProcess child;
        SetUpChild(child, env);
        child.start();
        // Killed after its first save, at a random moment of the ones that follow.
        QByteArray output;
        while (!output.contains("REG|saved|") && child.waitForReadyRead(30000))
            output += child.readAllStandardOutput();
        ASSERT_TRUE(output.contains("REG|saved|")) << output.toStdString();
        QThread::usleep(rng.bounded(30000));
        child.kill();
        child.waitForFinished();
        kills += child.exitStatus() == QProcess::CrashExit;

        const TRegFileData data = ParseRegFile(ReadAll(SettingsFile()));
        ASSERT_FALSE(data.Damaged);
        const auto values = data.Sections.value(kOptions);
        ASSERT_EQ(values.size(), kValues);
        QSet<QString> generations;
        for (const TRegFileValue& value : values)
            generations.insert(value.Text.section(QLatin1Char('|'), 0, 0));
        ASSERT_EQ(generations.size(), 1) << "round " << round << ": a mix of saves";
    }
    EXPECT_EQ(kills, 8);
    // A temporary file a killed save left behind goes with the next save.
    SaveLikeTheMainWindow(1, QStringLiteral("/after"));
    EXPECT_EQ(FilesIn(QFileInfo(SettingsFile()).absolutePath()),
              QStringList{QStringLiteral("Tapestrix.conf")});
}

TEST_F(RegistryTest, ASaveKeepsWhatOthersWroteMeanwhile) {
    WriteAll(SettingsFile(), "[Preset0]\nForeground=a\n[Preset1]\nForeground=b\n");
    TRegIniFile ini(kKey);
    ini.WriteString(kOptions, QStringLiteral("Mine"), QStringLiteral("1"));
    ini.EraseSection(QStringLiteral("Preset1"));
    {
        // Another writer, after this one loaded the file and before it saves.
        TRegistry other;
        ASSERT_TRUE(other.OpenKey(kKey + QStringLiteral("\\Options"), true));
        other.WriteString(QStringLiteral("Theirs"), QStringLiteral("2"));
    }
    // Until the save, the other writer sees nothing of this one's changes.
    EXPECT_EQ(ParseRegFile(ReadAll(SettingsFile())).Sections.value(kOptions).keys(),
              QStringList{QStringLiteral("Theirs")});
    ini.UpdateFile();
    const TRegFileData data = ParseRegFile(ReadAll(SettingsFile()));
    EXPECT_EQ(data.Sections.keys(),
              (QStringList{QStringLiteral("Options"), QStringLiteral("Preset0")}));
    EXPECT_EQ(data.Sections.value(kOptions).keys(),
              (QStringList{QStringLiteral("Mine"), QStringLiteral("Theirs")}));
    // After its save, the writer reads the file as it is now.
    EXPECT_EQ(ini.ReadInteger(kOptions, QStringLiteral("Theirs"), 0), 2);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
    auto first = ChildEnv(QStringLiteral("many"));
    first.insert(QStringLiteral("REG_NAME"), QStringLiteral("A"));
    auto second = ChildEnv(QStringLiteral("many"));
    second.insert(QStringLiteral("REG_NAME"), QStringLiteral("B"));
    ChildRun runs[2];
    std::thread other([&] { runs[1] = RunChild(second); });
    runs[0] = RunChild(first);
    other.join();
    ASSERT_EQ(runs[0].Lines, QStringList{QStringLiteral("ok")}) << runs[0].Output.toStdString();
    ASSERT_EQ(runs[1].Lines, QStringList{QStringLiteral("ok")}) << runs[1].Output.toStdString();
    TRegIniFile ini(kKey);
    EXPECT_EQ(ini.ReadSection(QStringLiteral("Many")).size(), 40);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(ini.ReadInteger(QStringLiteral("Many"), QStringLiteral("A%1").arg(i), -1), i);
        EXPECT_EQ(ini.ReadInteger(QStringLiteral("Many"), QStringLiteral("B%1").arg(i), -1), i);
    }
}

TEST_F(RegistryTest, WritingWhatIsStoredTouchesNeitherTheLockNorTheFile) {
    TRegIniFile ini(kKey);
    ini.WriteString(kOptions, QStringLiteral("Foreground"), QStringLiteral("a"));
    ini.WriteBinaryData(QStringLiteral("LastChange"), QByteArray(8, '\1'));
    ini.UpdateFile();
    const ino_t before = InodeOf(SettingsFile());
    const int writes = RegFileStats().Writes;
    {
        // Another program holds the folder's lock: a save that needed it would wait and fail.
        const int folder = ::open(QFile::encodeName(QFileInfo(SettingsFile()).absolutePath()),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_EQ(::flock(folder, LOCK_EX), 0);
        ini.WriteString(kOptions, QStringLiteral("Foreground"), QStringLiteral("a"));
        ini.WriteBinaryData(QStringLiteral("LastChange"), QByteArray(8, '\1'));
        ini.EraseSection(QStringLiteral("Missing"));
        ini.DeleteKey(kOptions, QStringLiteral("Missing"));
        QElapsedTimer timer;
        timer.start();
        ini.UpdateFile();
        EXPECT_LT(timer.elapsed(), 5000);
        ::close(folder);
    }
    // Every real write puts a new file in place; these put none.
    EXPECT_EQ(InodeOf(SettingsFile()), before);
    EXPECT_EQ(RegFileStats().Writes, writes);
    ini.WriteString(kOptions, QStringLiteral("Foreground"), QStringLiteral("b"));
    ini.UpdateFile();
    EXPECT_NE(InodeOf(SettingsFile()), before);
}

TEST_F(RegistryTest, AReadOnlyFolderIsReportedAndTheFileKept) {
    {
        TRegIniFile ini(kKey);
        ini.WriteString(kOptions, QStringLiteral("Foreground"), QStringLiteral("old"));
    }
    const QString folder = QFileInfo(SettingsFile()).absolutePath();
    const QByteArray before = ReadAll(SettingsFile());
    QFile::setPermissions(SettingsFile(), QFileDevice::Permissions(0x6666));
    QFile::setPermissions(folder, QFileDevice::Permissions(0x5555));

    auto env = ChildEnv(QStringLiteral("write"));
    env.insert(QStringLiteral("REG_SECTION"), kOptions);
    env.insert(QStringLiteral("REG_NAME"), QStringLiteral("Foreground"));
    env.insert(QStringLiteral("REG_VALUE"), QStringLiteral("new"));
    ChildOptions options;
    options.AsOtherUser = true;
    const ChildRun run = RunChild(env, options);
    QFile::setPermissions(folder, QFileDevice::Permissions(0x7755));

    // The write that cannot succeed raises at once, not at the save.
    ASSERT_EQ(run.Lines.size(), 2) << run.Output.toStdString();
    EXPECT_TRUE(run.Lines[0].startsWith(QLatin1String("error|Failed to create key Options")))
        << run.Lines[0].toStdString();
    EXPECT_TRUE(run.Lines[0].contains(QDir::toNativeSeparators(folder)))
        << run.Lines[0].toStdString();
    EXPECT_EQ(run.Lines[1], QStringLiteral("after|old"));
    EXPECT_EQ(ReadAll(SettingsFile()), before);
}

TEST_F(RegistryTest, ASaveThatRunsOutOfSpaceIsReportedAndTheFileKept) {
    {
        TRegIniFile ini(kKey);
        for (int i = 0; i < 8; ++i)
            ini.WriteString(QStringLiteral("Preset%1").arg(i), QStringLiteral("Foreground"),
                            QStringLiteral("/home/someone/Pictures/picture%1.jpg").arg(i));
    }
    const QByteArray before = ReadAll(SettingsFile());
    for (const bool leftToTheDestructor : {false, true}) {
        SCOPED_TRACE(leftToTheDestructor ? "saved by the destructor" : "saved by UpdateFile");
        auto env = ChildEnv(QStringLiteral("write"));
        env.insert(QStringLiteral("REG_SECTION"), kOptions);
        env.insert(QStringLiteral("REG_NAME"), QStringLiteral("Background"));
        env.insert(QStringLiteral("REG_VALUE"), QStringLiteral("#FF"));
        if (leftToTheDestructor)
            env.insert(QStringLiteral("REG_LEAVE_HELD"), QStringLiteral("1"));
        ChildOptions options;
        options.FileSizeLimit = before.size(); // the rewritten file is longer: the write runs short
        const ChildRun run = RunChild(env, options);

        // The error names the file and the cause; the destructor, which cannot raise, reports it.
        const QString expected = QStringLiteral("Failed to save %1: %2 could not be written (File "
                                                "too large)")
                                     .arg(kKey, QDir::toNativeSeparators(SettingsFile()));
        if (leftToTheDestructor) {
            EXPECT_EQ(run.Lines, QStringList{QStringLiteral("ok")}) << run.Output.toStdString();
            EXPECT_TRUE(run.Output.contains(expected)) << run.Output.toStdString();
        } else {
            // The failed value does not linger in the writer's memory either.
            EXPECT_EQ(run.Lines, (QStringList{QStringLiteral("error|") + expected,
                                              QStringLiteral("after|<none>")}))
                << run.Output.toStdString();
        }
        EXPECT_EQ(ReadAll(SettingsFile()), before);
        EXPECT_EQ(FilesIn(QFileInfo(SettingsFile()).absolutePath()),
                  QStringList{QStringLiteral("Tapestrix.conf")});
    }
}

TEST_F(RegistryTest, ACorruptFileIsReadAsFarAsItGoesAndKeptAside) {
    static const char raw[] = "[Options]\nTile=1\n\x01\xff garbage \xfe\n[Broken\nInterval=5\n";
    const QByteArray corrupt(raw, sizeof raw - 1);
    WriteAll(SettingsFile(), corrupt);
    // A link where the copy goes is replaced, not written through.
    const QString victim = FDir.path() + QStringLiteral("/victim");
    WriteAll(victim, "not yours");
    const QString copy = SettingsFile() + QStringLiteral(".corrupt");
    ASSERT_EQ(::symlink(QFile::encodeName(victim).constData(), QFile::encodeName(copy).constData()),
              0);
    {
        TRegIniFile ini(kKey);
        EXPECT_TRUE(ini.ReadBool(kOptions, QStringLiteral("Tile"), false));
        EXPECT_EQ(ini.ReadInteger(kOptions, QStringLiteral("Random"), 3), 3);
        ini.WriteString(kOptions, QStringLiteral("Foreground"), QStringLiteral("f"));
    }
    EXPECT_FALSE(QFileInfo(copy).isSymLink());
    EXPECT_EQ(ReadAll(copy), corrupt);
    EXPECT_EQ(ReadAll(victim), QByteArray("not yours"));
    const QStringList dumped = DumpInChild();
    EXPECT_TRUE(dumped.contains(QStringLiteral("Options|Tile|S|31")))
        << dumped.join('\n').toStdString();
    EXPECT_TRUE(dumped.contains(QStringLiteral("Options|Foreground|S|66")));

    // Binary garbage with no structure at all reads as an empty key.
    WriteAll(SettingsFile(), QByteArray("\xff\xfe\x00\x00\x12\x34", 6));
    TRegIniFile ini(kKey);
    EXPECT_EQ(ini.ReadString(kOptions, QStringLiteral("Tile"), QStringLiteral("d")),
              QStringLiteral("d"));
    EXPECT_TRUE(ini.GetValueNames().isEmpty());
}

TEST_F(RegistryTest, ASettingsFileThatIsALinkStaysOne) {
    // As dotfile setups have it: the file lives in a repository, linked by a relative link.
    const QString repository = FDir.path() + QStringLiteral("/dotfiles");
    const QString target = repository + QStringLiteral("/Tapestrix.conf");
    WriteAll(target, "[Options]\nTile=0\nKept=1\n");
    QDir().mkpath(QFileInfo(SettingsFile()).absolutePath());
    ASSERT_EQ(::symlink("../../dotfiles/Tapestrix.conf", QFile::encodeName(SettingsFile())), 0);
    const ino_t before = InodeOf(target);

    EXPECT_EQ(LoadLikeTheMainWindow(), 0);
    SaveLikeTheMainWindow(2, QStringLiteral("/linked"));

    EXPECT_TRUE(QFileInfo(SettingsFile()).isSymLink());
    EXPECT_EQ(QFileInfo(SettingsFile()).symLinkTarget(), target);
    EXPECT_NE(InodeOf(target), before); // replaced, not rewritten where it lies
    const TRegFileData data = ParseRegFile(ReadAll(target));
    EXPECT_EQ(data.Sections.value(kOptions).value(QStringLiteral("Tile")).Text,
              QStringLiteral("1"));
    EXPECT_EQ(data.Sections.value(kOptions).value(QStringLiteral("Kept")).Text,
              QStringLiteral("1"));
    EXPECT_EQ(FilesIn(repository), QStringList{QStringLiteral("Tapestrix.conf")});
    EXPECT_EQ(FilesIn(QFileInfo(SettingsFile()).absolutePath()),
              QStringList{QStringLiteral("Tapestrix.conf")});
    EXPECT_EQ(LoadLikeTheMainWindow(), 2);
}
