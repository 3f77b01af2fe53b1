// The registry tests' shared parts: a private root for the settings, file helpers, and this
// test program started again as a child that reads or writes the registry as told.
#pragma once

#include "toolkit/registry/Registry.h"

#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace regtest {

inline const QString kKey = QStringLiteral("Software\\Halvern\\Tapestrix");

QByteArray ReadAll(const QString& path);
void WriteAll(const QString& path, const QByteArray& data);
// One line per value, below the key in order: "<subkey path>|<name>|<S/B/N>|<hex of the data>".
// Strings are shown as their UTF-8 bytes.
void DumpKey(TRegistry& reg, const QString& path, const QString& shown, QStringList* out);

struct ChildRun {
    QStringList Lines; // the child's "REG|" lines without the prefix
    int ExitCode = -1;
    QString Output;
};

struct ChildOptions {
    bool AsOtherUser = false;  // run as "nobody" when the tests run as root
    qint64 FileSizeLimit = -1; // RLIMIT_FSIZE for the child: writes past it fail like a full disk
};

// Prepares a child: this test program again, doing what the environment tells it (see
// RegistryFixture.cpp for the operations) instead of running tests.
void SetUpChild(QProcess& process, const QMap<QString, QString>& vars, ChildOptions options = {});
// Runs a child to its end.
ChildRun RunChild(const QMap<QString, QString>& vars, ChildOptions options = {});

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The child uses XDG_CONFIG_HOME for the user's root, as the program does.
    QMap<QString, QString> ChildEnv(const QString& op) const;
    QStringList DumpInChild(const QString& root = QStringLiteral("user")) const;
    QString SettingsFile() const { return FUser + QStringLiteral("/Halvern/Tapestrix.conf"); }

    QTemporaryDir FDir;
    QString FUser;
    QString FMachine;
};

} // namespace regtest
