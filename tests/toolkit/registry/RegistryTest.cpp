// The registry on configuration files: what one process writes, a fresh process reads back with
// the same types and bytes; keys map to folders, files and sections; the handle calls keep their
// contract.
#include "RegistryFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace regtest;

namespace {

QString Hex(const QByteArray& data) {
    return QString::fromLatin1(data.toHex());
}
QString HexUtf8(const QString& text) {
    return Hex(text.toUtf8());
}

} // namespace

TEST_F(RegistryTest, ValuesKeepTheirTypeAndBytesInAFreshProcess) {
    QByteArray allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.append(char(i));
    const QByteArray lastChange = QByteArray::fromHex("0000000040e2e340"); // 8 bytes
    const QByteArray placement = QByteArray::fromHex("f1d8f1d8f1d8f1d80200"
                                                     "0100");
    const QStringList strings = {QString(),
                                 QStringLiteral("255"),
                                 QStringLiteral("-2147483633"),
                                 QStringLiteral("#8000000F"),
                                 QStringLiteral("@ByteArray(not binary)"),
                                 QStringLiteral("a, b; c = d"),
                                 QStringLiteral("  padded  "),
                                 QStringLiteral("\"quoted\"\\back\\slash"),
                                 QStringLiteral("two\nlines\ttab"),
                                 QStringLiteral("Grüße, ☃ /home/ü/a b.jpg")};
    {
        TRegIniFile ini(kKey);
        for (int i = 0; i < strings.size(); ++i)
            ini.WriteString(QStringLiteral("Options"), QStringLiteral("S%1").arg(i), strings[i]);
        ini.WriteBinaryData(QStringLiteral("LastChange"), lastChange);
        ini.WriteBinaryData(QStringLiteral("MainFormPosition"), placement);
        ini.WriteBinaryData(QStringLiteral("Empty"), QByteArray());
        ini.WriteBinaryData(QStringLiteral("AllBytes"), allBytes);
        ini.WriteString(QStringLiteral("Preset0\\Deeper"), QStringLiteral("Name"),
                        QStringLiteral("x"));
        ini.WriteBool(QStringLiteral("Preset0"), QStringLiteral("Tile"), true);
        // A value and a subkey may share a name.
        ini.WriteString(QString(), QStringLiteral("Options"), QStringLiteral("value, not key"));
    }
    EXPECT_TRUE(QFileInfo(SettingsFile()).isFile());

    QStringList expected;
    expected << QStringLiteral("|AllBytes|B|") + Hex(allBytes) << QStringLiteral("|Empty|B|")
             << QStringLiteral("|LastChange|B|") + Hex(lastChange)
             << QStringLiteral("|MainFormPosition|B|") + Hex(placement)
             << QStringLiteral("|Options|S|") + HexUtf8(QStringLiteral("value, not key"));
    QStringList options;
    for (int i = 0; i < strings.size(); ++i)
        options << QStringLiteral("Options|S%1|S|%2").arg(i).arg(HexUtf8(strings[i]));
    options.sort();
    expected << options << QStringLiteral("Preset0|Tile|S|31")
             << QStringLiteral("Preset0\\Deeper|Name|S|78");

    const QStringList dumped = DumpInChild();
    EXPECT_EQ(dumped, expected) << dumped.join('\n').toStdString();
}

TEST_F(RegistryTest, WhatAFreshProcessWritesIsReadHere) {
    auto env = ChildEnv(QStringLiteral("write"));
    env.insert(QStringLiteral("REG_SECTION"), QStringLiteral("Options"));
    env.insert(QStringLiteral("REG_NAME"), QStringLiteral("Foreground"));
    env.insert(QStringLiteral("REG_VALUE"), QStringLiteral("/home/u/Pictures/a, b.jpg"));
    const ChildRun run = RunChild(env);
    ASSERT_EQ(run.Lines, (QStringList{QStringLiteral("ok"),
                                      QStringLiteral("after|/home/u/Pictures/a, b.jpg")}))
        << run.Output.toStdString();

    TRegIniFile ini(kKey);
    EXPECT_EQ(ini.ReadString(QStringLiteral("Options"), QStringLiteral("Foreground"), QString()),
              QStringLiteral("/home/u/Pictures/a, b.jpg"));
    // The child found the file through XDG_CONFIG_HOME, where this process's override points.
    EXPECT_TRUE(QFileInfo(SettingsFile()).isFile());
}

TEST_F(RegistryTest, EraseSectionAndDeleteValueRemoveOnlyWhatTheyName) {
    {
        TRegIniFile ini(kKey);
        for (int i = 0; i < 4; ++i) {
            ini.WriteString(QStringLiteral("Preset%1").arg(i), QStringLiteral("Foreground"),
                            QStringLiteral("f%1").arg(i));
            ini.WriteBool(QStringLiteral("Preset%1").arg(i), QStringLiteral("Tile"), false);
        }
        ini.WriteString(QStringLiteral("Preset2\\Nested"), QStringLiteral("X"),
                        QStringLiteral("y"));
        ini.WriteString(QString(), QStringLiteral("Preset2"), QStringLiteral("top-level value"));
        ini.WriteString(QStringLiteral("Options"), QStringLiteral("Keep"), QStringLiteral("1"));
        ini.WriteString(QStringLiteral("Options"), QStringLiteral("Drop"), QStringLiteral("1"));
        ini.WriteString(QStringLiteral("Options\\Drop"), QStringLiteral("Sub"),
                        QStringLiteral("2"));

        ini.EraseSection(QStringLiteral("Preset2"));
        ini.EraseSection(QStringLiteral("Preset3"));
        ini.EraseSection(QStringLiteral("Preset9")); // missing: no error
        ini.DeleteKey(QStringLiteral("Options"), QStringLiteral("Drop"));
        ini.DeleteKey(QStringLiteral("Options"), QStringLiteral("Missing")); // no error
        ini.DeleteKey(QStringLiteral("Nowhere"), QStringLiteral("Missing"));
        EXPECT_EQ(ini.ReadSections(),
                  (QStringList{QStringLiteral("Options"), QStringLiteral("Preset0"),
                               QStringLiteral("Preset1")}));
    }
    const QStringList expected = {
        QStringLiteral("|Preset2|S|") + HexUtf8(QStringLiteral("top-level value")),
        QStringLiteral("Options|Keep|S|31"),
        QStringLiteral("Options\\Drop|Sub|S|32"),
        QStringLiteral("Preset0|Foreground|S|6630"),
        QStringLiteral("Preset0|Tile|S|30"),
        QStringLiteral("Preset1|Foreground|S|6631"),
        QStringLiteral("Preset1|Tile|S|30"),
    };
    const QStringList dumped = DumpInChild();
    EXPECT_EQ(dumped, expected) << dumped.join('\n').toStdString();
}

TEST_F(RegistryTest, ReadersApplyDefaultsToMissingInvalidAndMistypedValues) {
    WriteAll(SettingsFile(), "LastChange=not binary\n"
                             "Blob=@Binary(3132333435363738)\n"
                             "List=@List(a, b)\n"
                             "[Options]\n"
                             "Interval=15\n"
                             "Padded=  7\n"
                             "Hex=$1F\n"
                             "Word=abc\n"
                             "Empty=\n"
                             "Fraction=1.5\n"
                             "Huge=2147483648\n"
                             "BtnFace=-2147483633\n"
                             "Two=2\n"
                             "Zero=0\n"
                             "Binary=@Binary(31)\n");
    TRegIniFile ini(kKey);
    const QString o = QStringLiteral("Options");
    EXPECT_EQ(ini.ReadInteger(o, QStringLiteral("Interval"), 60), 15);
    EXPECT_EQ(ini.ReadInteger(o, QStringLiteral("Padded"), 60), 7);
    EXPECT_EQ(ini.ReadInteger(o, QStringLiteral("Hex"), 60), 31);
    EXPECT_EQ(ini.ReadInteger(o, QStringLiteral("Word"), 60), 60);
    EXPECT_EQ(ini.ReadInteger(o, QStringLiteral("Empty"), 60), 60);
    EXPECT_EQ(ini.ReadInteger(o, QStringLiteral("Fraction"), 60), 60);
    EXPECT_EQ(ini.ReadInteger(o, QStringLiteral("Huge"), 60), 60);
    EXPECT_EQ(ini.ReadInteger(o, QStringLiteral("BtnFace"), 0), int32_t(0x8000000F));
    EXPECT_EQ(ini.ReadInteger(o, QStringLiteral("Absent"), 60), 60);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("NoSection"), QStringLiteral("Interval"), 60), 60);
    EXPECT_EQ(ini.ReadInteger(o, QStringLiteral("Binary"), 60), 60);
    EXPECT_TRUE(ini.ReadBool(o, QStringLiteral("Two"), false));
    EXPECT_FALSE(ini.ReadBool(o, QStringLiteral("Zero"), true));
    EXPECT_TRUE(ini.ReadBool(o, QStringLiteral("Word"), true));
    EXPECT_FALSE(ini.ReadBool(o, QStringLiteral("Word"), false));
    EXPECT_TRUE(ini.ReadBool(o, QStringLiteral("Absent"), true));
    EXPECT_EQ(ini.ReadString(o, QStringLiteral("Empty"), QStringLiteral("d")), QString());
    EXPECT_EQ(ini.ReadString(o, QStringLiteral("Binary"), QStringLiteral("d")),
              QStringLiteral("d"));

    EXPECT_EQ(ini.GetDataType(QStringLiteral("LastChange")), TRegDataType::rdString);
    EXPECT_FALSE(ini.ReadBinaryData(QStringLiteral("LastChange")).has_value());
    EXPECT_EQ(ini.GetDataType(QStringLiteral("Blob")), TRegDataType::rdBinary);
    EXPECT_EQ(ini.GetDataSize(QStringLiteral("Blob")), 8);
    EXPECT_EQ(ini.ReadString(QStringLiteral("Blob")), QString());
    // A value of a type this program does not know is neither a string nor binary data.
    EXPECT_TRUE(ini.ValueExists(QStringLiteral("List")));
    EXPECT_EQ(ini.GetDataType(QStringLiteral("List")), TRegDataType::rdUnknown);
    EXPECT_EQ(ini.ReadString(QString(), QStringLiteral("List"), QStringLiteral("d")),
              QStringLiteral("d"));
    EXPECT_EQ(ini.GetDataSize(QStringLiteral("Absent")), -1);
    EXPECT_EQ(ini.GetDataType(QStringLiteral("Absent")), TRegDataType::rdUnknown);
}

TEST_F(RegistryTest, IntegersAndBooleansAreWrittenAsDecimalText) {
    {
        TRegIniFile ini(kKey);
        ini.WriteInteger(QStringLiteral("Options"), QStringLiteral("BackColor"),
                         int32_t(0x8000000F));
        ini.WriteInteger(QStringLiteral("Options"), QStringLiteral("Red"), 255);
        ini.WriteBool(QStringLiteral("Options"), QStringLiteral("On"), true);
        ini.WriteBool(QStringLiteral("Options"), QStringLiteral("Off"), false);
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(kKey + QStringLiteral("\\Options")));
    EXPECT_EQ(reg.ReadString(QStringLiteral("BackColor")), QStringLiteral("-2147483633"));
    EXPECT_EQ(reg.ReadString(QStringLiteral("Red")), QStringLiteral("255"));
    EXPECT_EQ(reg.ReadString(QStringLiteral("On")), QStringLiteral("1"));
    EXPECT_EQ(reg.ReadString(QStringLiteral("Off")), QStringLiteral("0"));
    EXPECT_EQ(reg.GetDataType(QStringLiteral("Red")), TRegDataType::rdString);
}

TEST_F(RegistryTest, KeysMapToFilesBelowTheirRoot) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, QStringLiteral("Software\\Halvern\\Form Saver"),
                             KEY_WRITE, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(QFileInfo(FMachine + QStringLiteral("/Halvern/Form Saver.conf")).isFile());
    EXPECT_FALSE(QFileInfo::exists(FUser));

    // Keys above the application are folders without values.
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, QStringLiteral("Software\\Halvern"), KEY_READ, &key),
              ERROR_SUCCESS);
    const char data[] = "x";
    EXPECT_EQ(RegSetValueEx(key, QStringLiteral("V"), REG_SZ, data, 2), ERROR_ACCESS_DENIED);
    QStringList names;
    EXPECT_EQ(RegEnumKeyNames(key, &names), ERROR_SUCCESS);
    EXPECT_EQ(names, QStringList{QStringLiteral("Form Saver")});
    RegCloseKey(key);

    // Names that would leave the root are refused, and nothing is created.
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, QStringLiteral("Software\\..\\..\\escape"),
                             KEY_WRITE, &key),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(QFileInfo::exists(FDir.path() + QStringLiteral("/escape")));
    EXPECT_FALSE(QFileInfo::exists(FUser));
}

TEST_F(RegistryTest, HandleCallsFollowTheirContract) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, kKey, KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, kKey, KEY_WRITE, &key), ERROR_SUCCESS);
    const unsigned char record[12] = {1, 0, 2, 0, 3, 0, 4, 0, 0, 0, 1, 0};
    EXPECT_EQ(RegSetValueEx(key, QStringLiteral("Rec"), REG_BINARY, record, 12), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueEx(key, QStringLiteral("Text"), REG_SZ, "abc\0ignored", 11),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueEx(key, QString(), REG_SZ, "x", 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueEx(key, QStringLiteral("Dw"), 4, record, 4), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, kKey, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    DWORD type = 99;
    DWORD size = 4;
    unsigned char buffer[16] = {};
    EXPECT_EQ(RegQueryValueEx(key, QStringLiteral("Rec"), &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueEx(key, QStringLiteral("Rec"), &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buffer), 12),
              QByteArray(reinterpret_cast<const char*>(record), 12));
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueEx(key, QStringLiteral("Text"), &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 4u);
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "abc");
    EXPECT_EQ(RegQueryValueEx(key, QStringLiteral("Missing"), &type, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    // A key opened for reading refuses writes.
    EXPECT_EQ(RegSetValueEx(key, QStringLiteral("Rec"), REG_BINARY, record, 12),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValue(key, QStringLiteral("Rec")), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
}

TEST_F(RegistryTest, AKeyThatCannotBeCreatedFailsWithoutSideEffects) {
    // A file where the machine's folder should be: not even root can create the key.
    WriteAll(FMachine, "in the way");
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kKey, KEY_WRITE, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(RegistryLastErrorText().isEmpty());

    TRegistry reg(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(reg.OpenKey(kKey, true));
    EXPECT_THROW(reg.CreateKey(kKey), ERegistryException);

    // The settings store reads defaults and reports the first write.
    TRegIniFile ini(kKey, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("Options"), QStringLiteral("Interval"), 60), 60);
    EXPECT_THROW(ini.WriteInteger(QStringLiteral("Options"), QStringLiteral("Interval"), 5),
                 ERegistryException);
    EXPECT_THROW(ini.WriteBinaryData(QStringLiteral("LastChange"), QByteArray(8, '\0')),
                 ERegistryException);
    EXPECT_EQ(ReadAll(FMachine), QByteArray("in the way"));
}

TEST_F(RegistryTest, RelativeAndAbsoluteKeyPaths) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kKey, true));
    EXPECT_EQ(reg.CurrentPath(), kKey);
    ASSERT_TRUE(reg.OpenKey(QStringLiteral("Options"), true)); // below the open key
    EXPECT_EQ(reg.CurrentPath(), kKey + QStringLiteral("\\Options"));
    reg.WriteString(QStringLiteral("Tile"), QStringLiteral("1"));
    ASSERT_TRUE(reg.OpenKey(QLatin1Char('\\') + kKey, false)); // from the root again
    EXPECT_EQ(reg.CurrentPath(), kKey);
    EXPECT_TRUE(reg.KeyExists(QStringLiteral("Options")));
    EXPECT_FALSE(reg.KeyExists(QStringLiteral("Preset0")));
    EXPECT_FALSE(reg.OpenKey(QStringLiteral("Preset0"), false));
    EXPECT_EQ(reg.CurrentPath(), kKey); // a failed open keeps the open key
    EXPECT_TRUE(reg.DeleteKey(QStringLiteral("Options")));
    EXPECT_FALSE(reg.KeyExists(QStringLiteral("Options")));
    EXPECT_FALSE(reg.DeleteKey(QStringLiteral("Options")));
}
