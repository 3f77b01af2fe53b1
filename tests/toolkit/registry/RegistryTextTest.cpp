// The registry's file text: everything written reads back the same, and the text stays the one a
// person can read and edit.
#include "toolkit/registry/RegistryText.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace {

QString RandomText(QRandomGenerator& rng, int maxLength) {
    // Printable ASCII, every character the format escapes, controls and non-ASCII text.
    static const QString pool =
        QStringLiteral(" @\"\\%=[];#\n\r\t\x01\x7f/aZ09.,:-_éü☃€\u00a0\u2028\u3000") +
        QChar(0xD83D) + QChar(0xDE00); // a surrogate pair
    QString text;
    const int length = int(rng.bounded(maxLength + 1));
    for (int i = 0; i < length; ++i) {
        const int pick = int(rng.bounded(pool.size()));
        if (pool[pick].isHighSurrogate() || pool[pick].isLowSurrogate())
            text += QString(pool.mid(pool.size() - 2, 2));
        else
            text += pool[pick];
    }
    return text;
}

QString RandomName(QRandomGenerator& rng) {
    QString name;
    do {
        name = RandomText(rng, 8).remove(QLatin1Char('\\')).remove(QLatin1Char('/'));
    } while (name.isEmpty());
    return name;
}

} // namespace

TEST(RegistryFile, TheTextIsPlainWhereItCanBe) {
    TRegFileData data;
    data.Sections[QString()][QStringLiteral("LastChange")] =
        TRegFileValue::Binary(QByteArray::fromHex("00ff10"));
    data.Sections[QStringLiteral("Options")][QStringLiteral("Foreground")] =
        TRegFileValue::String(QStringLiteral("/home/me/My Pictures/a, b.jpg"));
    data.Sections[QStringLiteral("Options")][QStringLiteral("Padded")] =
        TRegFileValue::String(QStringLiteral(" x "));
    data.Sections[QStringLiteral("Options")][QStringLiteral("At")] =
        TRegFileValue::String(QStringLiteral("@x"));
    data.Sections[QStringLiteral("Options")][QStringLiteral("Lines")] =
        TRegFileValue::String(QStringLiteral("a\nb\\c"));
    data.Sections[QStringLiteral("Preset0\\Deeper")][QStringLiteral("a=b")] =
        TRegFileValue::String(QString());
    data.Sections[QStringLiteral("Empty")];
    const QByteArray text = SerializeRegFile(data);
    EXPECT_EQ(text, QByteArray("LastChange=@Binary(00ff10)\n"
                               "\n[Empty]\n"
                               "\n[Options]\n"
                               "At=\"@x\"\n"
                               "Foreground=/home/me/My Pictures/a, b.jpg\n"
                               "Lines=a\\nb\\\\c\n"
                               "Padded=\" x \"\n"
                               "\n[Preset0\\Deeper]\n"
                               "a%3Db=\n"));
    const TRegFileData back = ParseRegFile(text);
    EXPECT_FALSE(back.Damaged);
    EXPECT_EQ(back, data);
}

TEST(RegistryFile, RandomContentSurvivesTheRoundTrip) {
    QRandomGenerator rng(20240607);
    for (int round = 0; round < 300; ++round) {
        TRegFileData data;
        const int sections = int(rng.bounded(5));
        for (int s = 0; s < sections; ++s) {
            QString path = s == 0 ? QString() : RandomName(rng);
            if (rng.bounded(3) == 0 && !path.isEmpty())
                path += QLatin1Char('\\') + RandomName(rng);
            auto& values = data.Sections[path];
            const int count = int(rng.bounded(6));
            for (int v = 0; v < count; ++v) {
                if (rng.bounded(2) == 0) {
                    QByteArray bytes(int(rng.bounded(20)), '\0');
                    for (char& b : bytes)
                        b = char(rng.bounded(256));
                    values[RandomName(rng)] = TRegFileValue::Binary(bytes);
                } else {
                    values[RandomName(rng)] = TRegFileValue::String(RandomText(rng, 24));
                }
            }
        }
        const QByteArray text = SerializeRegFile(data);
        const TRegFileData back = ParseRegFile(text);
        ASSERT_FALSE(back.Damaged) << text.toStdString();
        ASSERT_EQ(back, data) << text.toStdString();
    }
}

TEST(RegistryFile, HandWrittenTextIsReadLeniently) {
    const TRegFileData data = ParseRegFile("\xEF\xBB\xBF; a comment\r\n"
                                           "  Top = spaced value  \r\n"
                                           "# another comment\n"
                                           "[ Options ]\n"
                                           "Quoted=\"  kept  \"\n"
                                           "Odd=\\q stays\n"
                                           "Unknown=@Variant(1)\n"
                                           "BadHex=@Binary(123)\n"
                                           "Dup=1\n"
                                           "Dup=2\n"
                                           "Half%uD800=1\n");
    EXPECT_FALSE(data.Damaged);
    EXPECT_EQ(data.Sections[QString()][QStringLiteral("Top")],
              TRegFileValue::String(QStringLiteral("spaced value")));
    const auto options = data.Sections.value(QStringLiteral("Options"));
    EXPECT_EQ(options.value(QStringLiteral("Quoted")),
              TRegFileValue::String(QStringLiteral("  kept  ")));
    EXPECT_EQ(options.value(QStringLiteral("Odd")),
              TRegFileValue::String(QStringLiteral("\\q stays")));
    EXPECT_EQ(options.value(QStringLiteral("Unknown")).Type, TRegFileValue::Kind::Other);
    EXPECT_EQ(options.value(QStringLiteral("BadHex")).Type, TRegFileValue::Kind::Other);
    EXPECT_EQ(options.value(QStringLiteral("Dup")), TRegFileValue::String(QStringLiteral("2")));
    // Half a surrogate pair is not decoded: the name stays as written.
    EXPECT_TRUE(options.contains(QStringLiteral("Half%uD800")));
    // Values of unknown type are written back as they were found.
    EXPECT_TRUE(SerializeRegFile(data).contains("Unknown=@Variant(1)\n"));
}

TEST(RegistryFile, DamageIsNotedAndTheRestStillRead) {
    const TRegFileData data = ParseRegFile(QByteArray("Good=1\n"
                                                      "no equals sign\n"
                                                      "=no name\n"
                                                      "[Broken\n"
                                                      "Lost=1\n"
                                                      "[Fine]\n"
                                                      "Kept=\xff\xfe\n"));
    EXPECT_TRUE(data.Damaged);
    EXPECT_EQ(data.Sections[QString()].keys(), QStringList{QStringLiteral("Good")});
    EXPECT_FALSE(data.Sections.contains(QStringLiteral("Broken")));
    EXPECT_TRUE(data.Sections[QStringLiteral("Fine")].contains(QStringLiteral("Kept")));
    for (const auto& values : data.Sections)
        EXPECT_FALSE(values.contains(QStringLiteral("Lost")));
}

TEST(RegistryFile, SubkeysAreFoundByTheirPathNotByTheirName) {
    TRegFileData data;
    for (const char* section : {"A", "A b", "A\\x", "A\\x\\y", "A\\z", "AB", "B\\c"})
        data.Sections[QString::fromLatin1(section)];
    // "A b" and "AB" begin like "A" but are no subkeys of it.
    EXPECT_EQ(data.ChildSections(QString()),
              (QStringList{QStringLiteral("A"), QStringLiteral("A b"), QStringLiteral("AB"),
                           QStringLiteral("B")}));
    EXPECT_EQ(data.ChildSections(QStringLiteral("A")),
              (QStringList{QStringLiteral("x"), QStringLiteral("z")}));
    EXPECT_TRUE(data.HasSection(QStringLiteral("B"))); // only a subkey of it has a section
    EXPECT_FALSE(data.HasSection(QStringLiteral("A\\y")));
    EXPECT_TRUE(data.RemoveTree(QStringLiteral("A")));
    EXPECT_EQ(data.Sections.keys(),
              (QStringList{QStringLiteral("A b"), QStringLiteral("AB"), QStringLiteral("B\\c")}));
    EXPECT_FALSE(data.RemoveTree(QStringLiteral("A")));
}

TEST(RegistryFile, StoredTextReadsBackAsItIsKept) {
    // Half a surrogate pair cannot be written as UTF-8: it is kept as the file will give it back.
    const QString half = QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b");
    EXPECT_EQ(StorableText(half), QStringLiteral("a\uFFFDb"));
    EXPECT_EQ(StorableText(QStringLiteral("ok ☃")), QStringLiteral("ok ☃"));
    TRegFileData data;
    data.Sections[QString()][QStringLiteral("\uFEFFStartsTheFile")] =
        TRegFileValue::String(QStringLiteral("1"));
    data.Sections[QStringLiteral("S")][StorableText(half)] =
        TRegFileValue::String(StorableText(half));
    const TRegFileData back = ParseRegFile(SerializeRegFile(data));
    EXPECT_FALSE(back.Damaged);
    EXPECT_EQ(back, data);
}
