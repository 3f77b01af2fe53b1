// The autostart entry: where it lives, what its Exec line runs (read back with a plain decoder
// of the Desktop Entry quoting rules), when it counts as on, and how failures are reported.
#include "platform/Autostart.h"
#include "toolkit/SysUtils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <optional>
#include <sys/stat.h>

namespace {

// Reference decoder: the desktop-file string escapes first, then the Exec quoting rules
// (arguments separated by blanks, double-quoted arguments with '\' escaping '"', '`', '$' and '\',
// "%%" a literal percent sign). Returns nothing for a value the rules do not allow.
std::optional<QStringList> decodeExec(const QString& value) {
    QString unescaped;
    for (int i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\')) {
            unescaped += value[i];
            continue;
        }
        if (++i >= value.size())
            return std::nullopt;
        switch (value[i].unicode()) {
        case '\\':
            unescaped += QLatin1Char('\\');
            break;
        case 's':
            unescaped += QLatin1Char(' ');
            break;
        case 'n':
            unescaped += QLatin1Char('\n');
            break;
        case 't':
            unescaped += QLatin1Char('\t');
            break;
        case 'r':
            unescaped += QLatin1Char('\r');
            break;
        default:
            return std::nullopt;
        }
    }
    QStringList args;
    int i = 0;
    const int n = int(unescaped.size());
    while (i < n) {
        while (i < n && unescaped[i] == QLatin1Char(' '))
            ++i;
        if (i >= n)
            break;
        QString arg;
        if (unescaped[i] == QLatin1Char('"')) {
            ++i;
            bool closed = false;
            while (i < n) {
                const QChar c = unescaped[i++];
                if (c == QLatin1Char('"')) {
                    closed = true;
                    break;
                }
                if (c == QLatin1Char('\\')) {
                    if (i >= n || !QStringLiteral("\"`$\\").contains(unescaped[i]))
                        return std::nullopt;
                    arg += unescaped[i++];
                } else if (c == QLatin1Char('%')) {
                    if (i >= n || unescaped[i] != QLatin1Char('%'))
                        return std::nullopt;
                    arg += unescaped[i++];
                } else {
                    arg += c;
                }
            }
            if (!closed || (i < n && unescaped[i] != QLatin1Char(' ')))
                return std::nullopt;
        } else {
            while (i < n && unescaped[i] != QLatin1Char(' ')) {
                const QChar c = unescaped[i++];
                // Reserved characters are not allowed outside quotes.
                if (QStringLiteral("\t\n\"'\\><~|&;$*?#()`").contains(c))
                    return std::nullopt;
                if (c == QLatin1Char('%')) {
                    if (i >= n || unescaped[i] != QLatin1Char('%'))
                        return std::nullopt;
                    ++i;
                }
                arg += c;
            }
        }
        args << arg;
    }
    return args;
}

QString execLineOf(const QString& text) {
    for (const QString& line : text.split(QLatin1Char('\n')))
        if (line.startsWith(QStringLiteral("Exec=")))
            return line.mid(5);
    return QString();
}

QString readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool writeText(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

class Autostart : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        FOldConfig = qgetenv("XDG_CONFIG_HOME");
        FHadConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config()));
    }
    void TearDown() override {
        if (FHadConfig)
            qputenv("XDG_CONFIG_HOME", FOldConfig);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    QString config() const { return FDir.path() + QStringLiteral("/config dir"); }
    QString entry() const { return config() + QStringLiteral("/autostart/tapestrix.desktop"); }

    QTemporaryDir FDir;
    QByteArray FOldConfig;
    bool FHadConfig = false;
};

} // namespace

TEST_F(Autostart, EntryPathFollowsXdgConfigHomeAndFallsBackToHome) {
    EXPECT_EQ(autostartEntryPath(), entry());
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(FDir.path()));
    qputenv("XDG_CONFIG_HOME", "relative/dir"); // not absolute: ignored
    EXPECT_EQ(autostartEntryPath(),
              FDir.path() + QStringLiteral("/.config/autostart/tapestrix.desktop"));
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(autostartEntryPath(),
              FDir.path() + QStringLiteral("/.config/autostart/tapestrix.desktop"));
    qputenv("HOME", home);
}

TEST_F(Autostart, ExecLineRunsTheProgramWithAutostartForAwkwardPaths) {
    const QStringList paths = {
        QStringLiteral("/usr/bin/tapestrix"),
        QStringLiteral("/opt/My Programs/tapestrix"),
        QStringLiteral("/home/u/\"quoted\" and 'single'/tapestrix"),
        QStringLiteral("/home/u/100% sure/%f%u/tapestrix"),
        QStringLiteral("/home/u/back\\slash\\\\double/tapestrix"),
        QStringLiteral("/home/u/$HOME `date` ~tilde & more; (x) #y *?|<>/tapestrix"),
        QStringLiteral("/home/u/tab\there/new\nline/tapestrix"),
        QStringLiteral("/home/u/Bilder für Straße/tapestrix"),
        QStringLiteral("/home/u/trailing\\"),
    };
    for (const QString& path : paths) {
        writeAutostartEntry(path);
        const QString text = readAll(entry());
        // One Exec line, no raw control characters in the file's lines.
        EXPECT_EQ(text.count(QStringLiteral("\nExec=")), 1) << path.toStdString();
        const QString exec = execLineOf(text);
        EXPECT_FALSE(exec.contains(QLatin1Char('\t'))) << path.toStdString();
        const auto args = decodeExec(exec);
        ASSERT_TRUE(args.has_value()) << "not a valid Exec value: " << exec.toStdString();
        EXPECT_EQ(*args, (QStringList{path, QStringLiteral("/autostart")})) << exec.toStdString();
        EXPECT_TRUE(isAutostartEnabled());
    }
}

TEST_F(Autostart, EntryHasTheFieldsOfAnApplicationNamedTapestrix) {
    writeAutostartEntry(QStringLiteral("/usr/bin/tapestrix"));
    const QString text = readAll(entry());
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nType=Application\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nName=Tapestrix\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=/usr/bin/tapestrix /autostart\n")));
    EXPECT_FALSE(text.contains(QStringLiteral("Hidden")));
}

TEST_F(Autostart, DefaultProgramPathIsTheRunningProgram) {
    writeAutostartEntry();
    const auto args = decodeExec(execLineOf(readAll(entry())));
    ASSERT_TRUE(args.has_value());
    ASSERT_EQ(args->size(), 2);
    EXPECT_EQ(QFileInfo(args->at(0)).canonicalFilePath(),
              QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath());
}

TEST_F(Autostart, RewritingReplacesAnEntryWithAnotherPathOrHidden) {
    ASSERT_TRUE(writeText(entry(), "[Desktop Entry]\nType=Application\nName=Old\n"
                                   "Exec=/old/path /autostart\nHidden=true\n"));
    EXPECT_FALSE(isAutostartEnabled());
    writeAutostartEntry(QStringLiteral("/new/path"));
    EXPECT_TRUE(isAutostartEnabled());
    EXPECT_EQ(execLineOf(readAll(entry())), QStringLiteral("/new/path /autostart"));
    EXPECT_EQ(QDir(config() + QStringLiteral("/autostart")).entryList(QDir::Files).size(), 1)
        << "no temporary file left behind";
}

TEST_F(Autostart, EnabledOnlyWithAnExecLineInTheEntryGroupAndNotHidden) {
    EXPECT_FALSE(isAutostartEnabled()); // no file
    const struct {
        const char* text;
        bool enabled;
    } cases[] = {
        {"[Desktop Entry]\nExec=x\n", true},
        {"[Desktop Entry]\nExec = x\nHidden = false\n", true},
        {"# comment\n[Desktop Entry]\r\nExec=x\r\n", true},
        {"[Desktop Entry]\nExec=x\nHidden=true\n", false},
        {"[Desktop Entry]\nHidden=true\nExec=x\n", false},
        {"[Desktop Entry]\nExec=\n", false},
        {"[Desktop Entry]\nName=Tapestrix\n", false},
        {"[Desktop Entry]\nExec[de]=x\n", false},
        {"[Desktop Action x]\nExec=x\n[Desktop Entry]\nName=y\n", false},
        {"[Desktop Entry]\nExec=x\n[Desktop Action x]\nHidden=true\n", true},
        {"", false},
        // Switched off by a desktop's startup settings.
        {"[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n", false},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled = false\nExec=x\n", false},
        {"[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=true\n", true},
        {"[Desktop Entry]\nExec=x\nX-MATE-Autostart-enabled=false\n", false},
        {"[Desktop Entry]\nExec=x\n[Other]\nX-GNOME-Autostart-enabled=false\n", true},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(writeText(entry(), c.text));
        EXPECT_EQ(isAutostartEnabled(), c.enabled) << c.text;
    }
}

TEST_F(Autostart, RewritingSwitchesTheEntryOnAndKeepsWhatTheProgramDoesNotOwn) {
    ASSERT_TRUE(writeText(entry(), "# kept comment\n"
                                   "[Desktop Entry]\n"
                                   "Type=Application\n"
                                   "Name=Old name\n"
                                   "Name[de]=Alter Name\n"
                                   "Exec=/old/path /autostart\n"
                                   "Exec=/second/exec\n"
                                   "X-GNOME-Autostart-enabled=false\n"
                                   "Hidden = true\n"
                                   "X-GNOME-Autostart-Delay=5\n"
                                   "OnlyShowIn=GNOME;XFCE;\n"
                                   "\n"
                                   "[Desktop Action extra]\n"
                                   "Name=Kept action\n"
                                   "Exec=/kept/action\n"));
    EXPECT_FALSE(isAutostartEnabled());
    writeAutostartEntry(QStringLiteral("/new/path"));
    EXPECT_TRUE(isAutostartEnabled());
    EXPECT_EQ(readAll(entry()), QStringLiteral("# kept comment\n"
                                               "[Desktop Entry]\n"
                                               "Type=Application\n"
                                               "Name=Tapestrix\n"
                                               "Name[de]=Alter Name\n"
                                               "Exec=/new/path /autostart\n"
                                               "X-GNOME-Autostart-enabled=true\n"
                                               "Hidden=false\n"
                                               "X-GNOME-Autostart-Delay=5\n"
                                               "OnlyShowIn=GNOME;XFCE;\n"
                                               "Comment=Changes the desktop wallpaper at logon\n"
                                               "Icon=tapestrix\n"
                                               "Terminal=false\n"
                                               "\n"
                                               "[Desktop Action extra]\n"
                                               "Name=Kept action\n"
                                               "Exec=/kept/action\n"));
    // A file with no entry group gets one in front of what it held.
    ASSERT_TRUE(writeText(entry(), "[Other]\nKey=value\n"));
    writeAutostartEntry(QStringLiteral("/new/path"));
    EXPECT_TRUE(readAll(entry()).startsWith(autostartEntryText(QStringLiteral("/new/path"))));
    EXPECT_TRUE(readAll(entry()).endsWith(QStringLiteral("[Other]\nKey=value\n")));
    EXPECT_TRUE(isAutostartEnabled());
}

TEST_F(Autostart, EntryThatIsASymbolicLinkIsRewrittenThroughTheLink) {
    // Dotfile setups: the entry links to a file kept elsewhere, by a relative link.
    const QString target = FDir.path() + QStringLiteral("/dotfiles/tapestrix.desktop");
    ASSERT_TRUE(
        writeText(target, "[Desktop Entry]\nExec=/old /autostart\nHidden=true\nX-Mine=1\n"));
    QDir().mkpath(config() + QStringLiteral("/autostart"));
    ASSERT_TRUE(QFile::link(QStringLiteral("../../dotfiles/tapestrix.desktop"), entry()));
    EXPECT_FALSE(isAutostartEnabled());
    const auto inode = [](const QString& path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : ino_t(0);
    };
    const ino_t before = inode(target);
    writeAutostartEntry(QStringLiteral("/new/path"));
    EXPECT_TRUE(QFileInfo(entry()).isSymLink());
    EXPECT_TRUE(isAutostartEnabled());
    EXPECT_EQ(readAll(target),
              QStringLiteral("[Desktop Entry]\nExec=/new/path /autostart\nHidden=false\nX-Mine=1\n"
                             "Type=Application\nName=Tapestrix\n"
                             "Comment=Changes the desktop wallpaper at logon\nIcon=tapestrix\n"
                             "Terminal=false\n"));
    EXPECT_NE(inode(target), before) << "the file is replaced, not written over";
    EXPECT_EQ(QDir(FDir.path() + QStringLiteral("/dotfiles")).entryList(QDir::Files).size(), 1)
        << "no temporary file left behind";
}

TEST_F(Autostart, RemovalDeletesTheEntryAndAbsenceIsNoError) {
    EXPECT_NO_THROW(removeAutostartEntry()); // neither file nor folder
    writeAutostartEntry(QStringLiteral("/usr/bin/tapestrix"));
    ASSERT_TRUE(QFile::exists(entry()));
    EXPECT_NO_THROW(removeAutostartEntry());
    EXPECT_FALSE(QFile::exists(entry()));
    EXPECT_FALSE(isAutostartEnabled());
    EXPECT_NO_THROW(removeAutostartEntry());
    // Another program's entry in the same folder is left alone.
    ASSERT_TRUE(writeText(config() + QStringLiteral("/autostart/other.desktop"), "x"));
    removeAutostartEntry();
    EXPECT_TRUE(QFile::exists(config() + QStringLiteral("/autostart/other.desktop")));
}

TEST_F(Autostart, WriteFailureRaisesWithTheFileAndKeepsNothingHalfWritten) {
    // A plain file where the configuration folder should be: nothing below it can be created,
    // whoever runs the test.
    ASSERT_TRUE(writeText(config(), "not a folder"));
    try {
        writeAutostartEntry(QStringLiteral("/usr/bin/tapestrix"));
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(entry())) << e.Message().toStdString();
    }
    EXPECT_FALSE(isAutostartEnabled());
    EXPECT_NO_THROW(removeAutostartEntry()); // still absent, not an error
}

TEST_F(Autostart, EntryThatCannotBeDeletedRaises) {
    // A non-empty folder in the entry's place cannot be removed like a file.
    ASSERT_TRUE(writeText(entry() + QStringLiteral("/inside"), "x"));
    EXPECT_FALSE(isAutostartEnabled());
    try {
        removeAutostartEntry();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_TRUE(e.Message().contains(entry())) << e.Message().toStdString();
    }
    EXPECT_THROW(writeAutostartEntry(QStringLiteral("/usr/bin/tapestrix")), Exception);
}
