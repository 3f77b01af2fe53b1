// The programs' command lines: what tapestrix reads of its arguments, --help and --version of
// both programs without a display, and the manual pages naming every option --help lists.
#include "shell/CommandLine.h"

#include "Version.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using Request = TSingleInstance::TRequest;

struct TRunResult {
    int code = -1;
    QString out;
};

// Runs a built program with nothing of a desktop in its environment: no display, no platform
// chosen, private runtime and configuration folders.
TRunResult runProgram(const QString& program, const QStringList& arguments, const QString& home) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TAPESTRIX_BINARY_DIR "/src/") + program, arguments);
    TRunResult run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    return run;
}

} // namespace

TEST(CommandLine, RequestsAndInformationOptions) {
    struct Case {
        QStringList arguments;
        bool help, version;
        std::vector<Request> requests;
    };
    const Case cases[] = {
        {{}, false, false, {}},
        {{"/autostart"}, false, false, {}},
        {{"/autostart", "-platform", "xcb", "whatever"}, false, false, {}},
        {{"--change-now"}, false, false, {Request::ChangeNow}},
        {{"--show"}, false, false, {Request::Restore}},
        {{"--show", "--change-now", "--show"},
         false,
         false,
         {Request::Restore, Request::ChangeNow}},
        {{"/autostart", "--change-now"}, false, false, {Request::ChangeNow}},
        {{"--version"}, false, true, {}},
        {{"-h"}, true, false, {}},
        {{"--change-now", "--help"}, true, false, {Request::ChangeNow}},
        {{"--change"}, false, false, {}},
    };
    for (const Case& c : cases) {
        const TProgramOptions options = ParseProgramOptions(c.arguments);
        const std::string label = c.arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(options.Help, c.help) << label;
        EXPECT_EQ(options.Version, c.version) << label;
        EXPECT_EQ(options.Requests, c.requests) << label;
    }
}

TEST(CommandLine, BothProgramsAnswerVersionAndHelpWithoutADisplay) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    for (const char* program : {"tapestrix", "tapestrix-compose"}) {
        const TRunResult version =
            runProgram(QLatin1String(program), {QStringLiteral("--version")}, home.path());
        EXPECT_EQ(version.code, 0) << program;
        EXPECT_EQ(version.out, QLatin1String(program) + QStringLiteral(" " TAPESTRIX_VERSION "\n"));
        const TRunResult help =
            runProgram(QLatin1String(program), {QStringLiteral("--help")}, home.path());
        EXPECT_EQ(help.code, 0) << program;
        EXPECT_TRUE(help.out.startsWith(QStringLiteral("Usage: ") + QLatin1String(program)))
            << qPrintable(help.out);
    }
    // Neither took the instance lock.
    EXPECT_FALSE(QFile::exists(home.path() + QStringLiteral("/tapestrix.lock")));
}

TEST(CommandLine, ManualPagesNameEveryOptionTheHelpLists) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    // An option: a word that begins with one or two hyphens or a slash after a blank, a bracket
    // or a bar ("[--tile]", "--help | --version", "/autostart").
    static const QRegularExpression option(
        QStringLiteral("(?:^|[\\s\\[|])(--?[a-z][a-z-]*|/[a-z]+)\\b"));
    for (const char* program : {"tapestrix", "tapestrix-compose"}) {
        const TRunResult help =
            runProgram(QLatin1String(program), {QStringLiteral("--help")}, home.path());
        ASSERT_EQ(help.code, 0) << program;
        QFile page(QStringLiteral(TAPESTRIX_SOURCE_DIR "/src/install/man/%1.1.in")
                       .arg(QLatin1String(program)));
        ASSERT_TRUE(page.open(QIODevice::ReadOnly)) << qPrintable(page.fileName());
        const QString roff = QString::fromUtf8(page.readAll());
        QStringList listed;
        for (auto it = option.globalMatch(help.out); it.hasNext();)
            listed << it.next().captured(1);
        listed.removeDuplicates();
        EXPECT_GE(listed.size(), 4) << program << ": " << qPrintable(listed.join(' '));
        for (const QString& name : listed) {
            // Hyphens are written \- in a manual page.
            const QString written = QString(name).replace(QLatin1Char('-'), QStringLiteral("\\-"));
            EXPECT_TRUE(roff.contains(QStringLiteral(".B ") + written) ||
                        roff.contains(QStringLiteral(".BI ") + written) ||
                        roff.contains(QStringLiteral(".BR ") + written))
                << program << "(1) does not describe " << qPrintable(name);
        }
    }
}
