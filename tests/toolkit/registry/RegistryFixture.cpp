// The registry tests' shared parts: the child's operations, the private root, file helpers.
#include "RegistryFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <sys/resource.h>
#include <unistd.h>

namespace regtest {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void WriteAll(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

void DumpKey(TRegistry& reg, const QString& path, const QString& shown, QStringList* out) {
    if (!reg.OpenKeyReadOnly(QLatin1Char('\\') + path))
        return;
    const QStringList values = reg.GetValueNames();
    for (const QString& name : values) {
        QString type = QStringLiteral("N");
        QByteArray data;
        if (reg.GetDataType(name) == TRegDataType::rdString) {
            type = QStringLiteral("S");
            data = reg.ReadString(name).toUtf8();
        } else if (reg.GetDataType(name) == TRegDataType::rdBinary) {
            type = QStringLiteral("B");
            data = *reg.ReadBinaryData(name);
        }
        out->append(QStringLiteral("%1|%2|%3|%4")
                        .arg(shown, name, type, QString::fromLatin1(data.toHex())));
    }
    const QStringList keys = reg.GetKeyNames();
    for (const QString& key : keys)
        DumpKey(reg, path + QLatin1Char('\\') + key,
                shown.isEmpty() ? key : shown + QLatin1Char('\\') + key, out);
}

void SetUpChild(QProcess& process, const QMap<QString, QString>& vars, ChildOptions options) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = vars.cbegin(); it != vars.cend(); ++it)
        env.insert(it.key(), it.value());
    process.setProcessEnvironment(env);
    process.setChildProcessModifier([options] {
        if (options.FileSizeLimit >= 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{rlim_t(options.FileSizeLimit), rlim_t(options.FileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.AsOtherUser && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(99);
        }
    });
    process.setProgram(QCoreApplication::applicationFilePath());
    // Any test: the child does its work in the set-up, before the tests.
    process.setArguments({QStringLiteral("--gtest_filter=RegistryFile.*")});
}

ChildRun RunChild(const QMap<QString, QString>& vars, ChildOptions options) {
    QProcess process;
    SetUpChild(process, vars, options);
    process.start();
    ChildRun run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
    }
    run.ExitCode = process.exitCode();
    run.Output =
        QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    const QStringList lines = run.Output.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("REG|")))
            run.Lines.append(line.mid(4));
    }
    return run;
}

void RegistryTest::SetUp() {
    ASSERT_TRUE(FDir.isValid());
    // Open to other users: one test reads and writes as "nobody".
    QFile::setPermissions(FDir.path(), QFileDevice::Permissions(0x7755));
    FUser = FDir.path() + QStringLiteral("/user");
    FMachine = FDir.path() + QStringLiteral("/machine");
    SetRegistryRootDir(HKEY_CURRENT_USER, FUser);
    SetRegistryRootDir(HKEY_LOCAL_MACHINE, FMachine);
}

void RegistryTest::TearDown() {
    SetRegistryRootDir(HKEY_CURRENT_USER, QString());
    SetRegistryRootDir(HKEY_LOCAL_MACHINE, QString());
}

QMap<QString, QString> RegistryTest::ChildEnv(const QString& op) const {
    return {{QStringLiteral("TAPESTRIX_REGISTRY_CHILD"), op},
            {QStringLiteral("XDG_CONFIG_HOME"), FUser},
            {QStringLiteral("REG_MACHINE_ROOT"), FMachine},
            {QStringLiteral("REG_KEY"), kKey}};
}

QStringList RegistryTest::DumpInChild(const QString& root) const {
    auto env = ChildEnv(QStringLiteral("dump"));
    env.insert(QStringLiteral("REG_ROOT"), root);
    const ChildRun run = RunChild(env);
    EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
    return run.Lines;
}

} // namespace regtest

namespace {

using namespace regtest;

void Print(const QString& line) {
    QTextStream(stdout) << "REG|" << line << '\n';
    std::fflush(stdout);
}

// The other half of the fresh-process tests: what the child does, told by its environment.
void RunAsChild(const QString& op) {
    if (!qEnvironmentVariableIsEmpty("REG_MACHINE_ROOT"))
        SetRegistryRootDir(HKEY_LOCAL_MACHINE, qEnvironmentVariable("REG_MACHINE_ROOT"));
    const HKEY root = qEnvironmentVariable("REG_ROOT") == QLatin1String("machine")
                          ? HKEY_LOCAL_MACHINE
                          : HKEY_CURRENT_USER;
    const QString key = qEnvironmentVariable("REG_KEY");
    if (op == QLatin1String("dump")) {
        TRegistry reg(root);
        QStringList lines;
        DumpKey(reg, key, QString(), &lines);
        for (const QString& line : lines)
            Print(line);
    } else if (op == QLatin1String("write")) {
        // REG_SECTION, REG_NAME, REG_VALUE: one WriteString, saved by UpdateFile (or, with
        // REG_LEAVE_HELD, by the destructor), then what this process reads back.
        const QString section = qEnvironmentVariable("REG_SECTION");
        const QString name = qEnvironmentVariable("REG_NAME");
        TRegIniFile ini(key, root);
        try {
            ini.WriteString(section, name, qEnvironmentVariable("REG_VALUE"));
            if (qEnvironmentVariableIsEmpty("REG_LEAVE_HELD"))
                ini.UpdateFile();
            Print(QStringLiteral("ok"));
        } catch (const ERegistryException& e) {
            Print(QStringLiteral("error|") + e.Message());
        }
        if (qEnvironmentVariableIsEmpty("REG_LEAVE_HELD"))
            Print(QStringLiteral("after|") +
                  ini.ReadString(section, name, QStringLiteral("<none>")));
    } else if (op == QLatin1String("many")) {
        // REG_NAME: prefix of 20 values written into section "Many", saved five at a time.
        TRegIniFile ini(key, root);
        const QString prefix = qEnvironmentVariable("REG_NAME");
        for (int i = 0; i < 20; ++i) {
            ini.WriteInteger(QStringLiteral("Many"), prefix + QString::number(i), i);
            if (i % 5 == 4)
                ini.UpdateFile();
        }
        Print(QStringLiteral("ok"));
    } else if (op == QLatin1String("generations")) {
        // Saves generation after generation of REG_COUNT values "Gen<i>" = "<generation>|..."
        // in section "Options" until it is killed.
        const int count = qEnvironmentVariableIntValue("REG_COUNT");
        const QString padding(64, QLatin1Char('x'));
        for (int generation = 1;; ++generation) {
            TRegIniFile ini(key, root);
            for (int i = 0; i < count; ++i)
                ini.WriteString(QStringLiteral("Options"), QStringLiteral("Gen%1").arg(i),
                                QStringLiteral("%1|%2").arg(generation).arg(padding));
            ini.UpdateFile();
            Print(QStringLiteral("saved|%1").arg(generation));
        }
    }
}

// Before any test runs, a child started by RunChild does its work and ends.
class ChildEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const QString op = qEnvironmentVariable("TAPESTRIX_REGISTRY_CHILD");
        if (op.isEmpty())
            return;
        RunAsChild(op);
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(0);
    }
};

[[maybe_unused]] ::testing::Environment* const gChildEnvironment =
    ::testing::AddGlobalTestEnvironment(new ChildEnvironment);

} // namespace
