// Text in the symbol fonts (Symbol, Wingdings, Webdings): their codes become the Unicode
// characters they stand for, in ANSI and Unicode records of both formats, and are drawn exactly
// as that Unicode text is drawn in the same font.
#include "MetafileBuilders.h"
#include "toolkit/metafile/MetafileDevice.h"
#include "toolkit/metafile/MetafileSymbols.h"

#include <QFontDatabase>
#include <QRawFont>
#include <gtest/gtest.h>

using namespace mftest;
using namespace metafile;

namespace {

constexpr uint8_t kGreekCharSet = 161; // windows-1253

TEST(MetafileSymbols, CodesOfEachFontStandForTheirCharacters) {
    struct TCase {
        TSymbolFont Font;
        uint8_t Code;
        char32_t Expected;
    };
    const TCase cases[] = {
        {TSymbolFont::Symbol, 'D', U'\u0394'},    // Delta
        {TSymbolFont::Symbol, 'x', U'\u03BE'},    // xi
        {TSymbolFont::Symbol, 'W', U'\u03A9'},    // Omega
        {TSymbolFont::Symbol, '"', U'\u2200'},    // for all
        {TSymbolFont::Symbol, '-', U'\u2212'},    // minus
        {TSymbolFont::Symbol, '(', U'('},         // punctuation stays
        {TSymbolFont::Symbol, 0xA5, U'\u221E'},   // infinity
        {TSymbolFont::Symbol, 0xB4, U'\u00D7'},   // multiplication sign
        {TSymbolFont::Symbol, 0xD7, U'\u22C5'},   // dot operator
        {TSymbolFont::Symbol, 0xE5, U'\u2211'},   // summation
        {TSymbolFont::Symbol, 0xF2, U'\u222B'},   // integral
        {TSymbolFont::Symbol, 0xE6, U'\u239B'},   // left parenthesis upper hook
        {TSymbolFont::Symbol, 0x80, 0},           // no picture
        {TSymbolFont::Wingdings, 'J', U'\u263A'}, // smiling face
        {TSymbolFont::Wingdings, 0xFC, U'\u2713'},
        {TSymbolFont::Wingdings, '!', U'\U0001F589'}, // lower left pencil
        {TSymbolFont::Wingdings2, 'R', U'\u2611'},
        {TSymbolFont::Wingdings3, 0x70, U'\u25B2'},
        {TSymbolFont::Webdings, 0x61, U'\u2714'},
        {TSymbolFont::None, 'D', 0},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(SymbolCharacter(c.Font, c.Code), c.Expected)
            << int(c.Font) << " code " << int(c.Code);
    // Every letter of Symbol is a Greek one.
    for (uint8_t code : QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"))
        EXPECT_EQ(QChar::script(SymbolCharacter(TSymbolFont::Symbol, code)), QChar::Script_Greek)
            << code;

    EXPECT_EQ(SymbolFontOf(QStringLiteral(" symbol ")), TSymbolFont::Symbol);
    EXPECT_EQ(SymbolFontOf(QStringLiteral("WingDings")), TSymbolFont::Wingdings);
    EXPECT_EQ(SymbolFontOf(QStringLiteral("Wingdings 3")), TSymbolFont::Wingdings3);
    EXPECT_EQ(SymbolFontOf(QStringLiteral("Symbol Sans")), TSymbolFont::None);
}

TFontDef Font(const char* face, uint8_t charSet) {
    TFontDef font;
    font.Face = QString::fromLatin1(face);
    font.CharSet = charSet;
    return font;
}

TEST(MetafileSymbols, WhichTextIsRecoded) {
    struct TCase {
        const char* Face;
        uint8_t CharSet;
        QString Text;
        QString Expected;
    };
    const QString greek = QString::fromUtf8("\u0394\u03BE");
    const TCase cases[] = {
        // In the symbol character set (or the default one, which a symbol font answers with
        // its own) the codes 0x20..0xFF are the font's.
        {"Symbol", SYMBOL_CHARSET, QStringLiteral("Dx"), greek},
        {"Symbol", DEFAULT_CHARSET, QStringLiteral("Dx"), greek},
        {"Symbol", ANSI_CHARSET, QStringLiteral("Dx"), QStringLiteral("Dx")},
        // The private area means the font's codes whatever the character set.
        {"Symbol", ANSI_CHARSET, QString::fromUtf8("\uF044\uF078"), greek},
        {"Symbol", SYMBOL_CHARSET, QString::fromUtf8("\uF044x"), greek},
        // Characters the font's codes do not reach, and other fonts, stay as they are.
        {"Symbol", SYMBOL_CHARSET, QString::fromUtf8("\u0394\u20AC"),
         QString::fromUtf8("\u0394\u20AC")},
        {"Arial", SYMBOL_CHARSET, QStringLiteral("Dx"), QStringLiteral("Dx")},
        {"Arial", ANSI_CHARSET, QString::fromUtf8("\uF044"), QString::fromUtf8("\uF044")},
        // A code without a picture shows nothing.
        {"Symbol", SYMBOL_CHARSET, QString(QChar(0x80)), QStringLiteral(" ")},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(SymbolsToUnicode(c.Text, Font(c.Face, c.CharSet), nullptr), c.Expected)
            << c.Face << " " << int(c.CharSet) << " " << c.Text.toStdString();

    EXPECT_EQ(TextCharSet(Font("Webdings", DEFAULT_CHARSET)), SYMBOL_CHARSET);
    EXPECT_EQ(TextCharSet(Font("Arial", DEFAULT_CHARSET)), DEFAULT_CHARSET);
    EXPECT_EQ(TextCharSet(Font("Symbol", kGreekCharSet)), kGreekCharSet);

    // A character outside the basic plane takes two units: the advance stays on the first.
    std::vector<QPointF> advances{{10, 0}, {20, 0}, {30, 0}};
    EXPECT_EQ(SymbolsToUnicode(QStringLiteral("!J!"), Font("Wingdings", SYMBOL_CHARSET), &advances),
              QString::fromUtf8("\U0001F589\u263A\U0001F589"));
    EXPECT_EQ(advances, (std::vector<QPointF>{{10, 0}, {0, 0}, {20, 0}, {30, 0}, {0, 0}}));
}

// --- drawn: symbol codes against the Unicode text in the same face

constexpr int kWidth = 160, kHeight = 60;

QImage EmfText(const char* face, uint8_t charSet, uint32_t type, const QByteArray& payload) {
    TEmfBuilder e = TEmfBuilder::Pixels(kWidth, kHeight);
    e.Raw(EMR_EXTCREATEFONTINDIRECTW, FontRecord(1, -40, QString::fromLatin1(face), 0, charSet));
    e.Rec(EMR_SELECTOBJECT, {1}).Rec(EMR_SETBKMODE, {TRANSPARENT});
    e.Raw(type, payload);
    return Render(e.Bytes(), kWidth, kHeight);
}

// The reference: Unicode text in the face with the ANSI character set, which is not recoded.
QImage Unicode(const char* face, const QString& text, const std::vector<int32_t>& dx = {}) {
    return EmfText(face, ANSI_CHARSET, EMR_EXTTEXTOUTW, TextRecord(10, 5, text, 0, QRect(), dx));
}

QImage WmfText(const char* face, uint8_t charSet, uint16_t function, const QByteArray& words) {
    TWmfBuilder w(true, 0, 0, kWidth, kHeight);
    w.Raw(META_CREATEFONTINDIRECT, WmfFontRecord(-40, face, charSet));
    w.Rec(META_SELECTOBJECT, {0}).Rec(META_SETBKMODE, {TRANSPARENT});
    w.Raw(function, words);
    return Render(w.Bytes(), kWidth, kHeight);
}

TEST(MetafileSymbols, SymbolCodesDrawTheGreekAndMathematicalCharacters) {
    const QString deltaXi = QString::fromUtf8("\u0394\u03BE");
    const QImage expected = Unicode("Symbol", deltaXi);
    ASSERT_FALSE(Drawn(expected).isEmpty());
    // The Latin letters of the same codes look different.
    EXPECT_NE(Unicode("Symbol", QStringLiteral("Dx")), expected);

    struct TCase {
        const char* Name;
        QImage Image;
    };
    const QByteArray dx("Dx");
    const TCase cases[] = {
        {"EMF ANSI, symbol set",
         EmfText("Symbol", SYMBOL_CHARSET, EMR_EXTTEXTOUTA, TextRecordA(10, 5, dx))},
        {"EMF ANSI, default set",
         EmfText("Symbol", DEFAULT_CHARSET, EMR_EXTTEXTOUTA, TextRecordA(10, 5, dx))},
        {"EMF Unicode, symbol set", EmfText("Symbol", SYMBOL_CHARSET, EMR_EXTTEXTOUTW,
                                            TextRecord(10, 5, QStringLiteral("Dx")))},
        {"EMF Unicode, private area", Unicode("Symbol", QString::fromUtf8("\uF044\uF078"))},
        {"WMF TEXTOUT", WmfText("Symbol", SYMBOL_CHARSET, META_TEXTOUT, WmfTextOut(10, 5, dx))},
        {"WMF EXTTEXTOUT",
         WmfText("Symbol", DEFAULT_CHARSET, META_EXTTEXTOUT, WmfExtTextOut(10, 5, dx))},
        // The Greek code page holds the same characters.
        {"WMF Greek",
         WmfText("Symbol", kGreekCharSet, META_TEXTOUT, WmfTextOut(10, 5, QByteArray("\xC4\xEE")))},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(c.Image, expected) << c.Name;

    // Mathematical signs: integral, infinity, multiplication sign, summation.
    const QImage signs = Unicode("Symbol", QString::fromUtf8("\u222B\u221E\u00D7\u2211"));
    EXPECT_EQ(EmfText("Symbol", SYMBOL_CHARSET, EMR_EXTTEXTOUTA,
                      TextRecordA(10, 5, QByteArray("\xF2\xA5\xB4\xE5"))),
              signs);
    EXPECT_EQ(WmfText("Symbol", SYMBOL_CHARSET, META_EXTTEXTOUT,
                      WmfExtTextOut(10, 5, QByteArray("\xF2\xA5\xB4\xE5"))),
              signs);
}

TEST(MetafileSymbols, WingdingsAndWebdingsDrawTheirPictures) {
    EXPECT_EQ(EmfText("Wingdings", SYMBOL_CHARSET, EMR_EXTTEXTOUTA, TextRecordA(10, 5, "J")),
              Unicode("Wingdings", QString::fromUtf8("\u263A")));
    EXPECT_EQ(EmfText("Webdings", ANSI_CHARSET, EMR_EXTTEXTOUTW,
                      TextRecord(10, 5, QString::fromUtf8("\uF061"))),
              Unicode("Webdings", QString::fromUtf8("\u2714")));
    // Two pictures outside the basic plane 50 units apart: each where the spacing puts it.
    const QImage pencils =
        WmfText("Wingdings", SYMBOL_CHARSET, META_EXTTEXTOUT, WmfExtTextOut(10, 5, "!!", {50, 50}));
    const QString pencil = QString::fromUtf8("\U0001F589");
    EXPECT_EQ(pencils, Unicode("Wingdings", pencil + pencil, {50, 0, 50, 0}));
    const QRect one = Drawn(Unicode("Wingdings", pencil));
    ASSERT_FALSE(one.isEmpty());
    EXPECT_EQ(Drawn(pencils), one.united(one.translated(50, 0)));
}

TEST(MetafileSymbols, TheStandInFontHasEveryPicture) {
    if (!QFontDatabase::families().contains(QStringLiteral("Symbola")))
        GTEST_SKIP() << "Symbola (fonts-symbola) is not installed";
    for (TSymbolFont font : {TSymbolFont::Symbol, TSymbolFont::Wingdings, TSymbolFont::Wingdings2,
                             TSymbolFont::Wingdings3, TSymbolFont::Webdings}) {
        static const char* const faces[] = {
            "", "Symbol", "Wingdings", "Wingdings 2", "Wingdings 3", "Webdings"};
        const QString family = ResolveFontFamily(QString::fromLatin1(faces[int(font)]), 0);
        const QRawFont raw = QRawFont::fromFont(QFont(family));
        for (int code = 0x20; code <= 0xFF; ++code) {
            const char32_t c = SymbolCharacter(font, uint8_t(code));
            if (c != 0 && c != U' ') {
                EXPECT_TRUE(raw.supportsCharacter(c))
                    << faces[int(font)] << " code " << code << " U+" << std::hex << uint32_t(c);
            }
        }
    }
}

} // namespace
