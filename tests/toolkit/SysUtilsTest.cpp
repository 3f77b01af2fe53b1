#include "toolkit/SysUtils.h"
#include "toolkit/Graphics.h"

#include <QLocale>
#include <gtest/gtest.h>

namespace {

QString ConvertMessage(const QString& text) {
    try {
        StrToInt(text);
    } catch (const EConvertError& e) {
        return e.Message();
    }
    return QStringLiteral("(no error)");
}

TEST(StrToInt, DecimalAndHexadecimalForms) {
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("-2147483633"), -2147483633);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("0xFF"), 255);
    EXPECT_EQ(StrToInt("0xff"), 255);
    EXPECT_EQ(StrToInt("$1f"), 31);
    EXPECT_EQ(StrToInt("0x00000000FF"), 255); // leading zeros are not significant
    EXPECT_EQ(StrToInt("0xFFFFFFFF"), -1);
    EXPECT_EQ(StrToInt("0xFF00000F"), -16777201);
    EXPECT_EQ(StrToInt("0x8000000F"), int32_t(0x8000000F));
}

TEST(StrToInt, RejectsWithTheToolkitMessage) {
    EXPECT_EQ(ConvertMessage("0x"), "'0x' is not a valid integer value");
    EXPECT_EQ(ConvertMessage("0x12G4"), "'0x12G4' is not a valid integer value");
    EXPECT_EQ(ConvertMessage("0x123456789"), "'0x123456789' is not a valid integer value");
    EXPECT_EQ(ConvertMessage(""), "'' is not a valid integer value");
    EXPECT_EQ(ConvertMessage("2147483648"), "'2147483648' is not a valid integer value");
    EXPECT_EQ(ConvertMessage("12 "), "'12 ' is not a valid integer value");
    EXPECT_EQ(StrToIntDef("abc", 7), 7);
}

TEST(ColorText, RoundTripsAndParsing) {
    EXPECT_EQ(ColorToText(clBlack), "#0");
    EXPECT_EQ(ColorToText(clRed), "#FF");
    EXPECT_EQ(ColorToText(clWhite), "#FFFFFF");
    EXPECT_EQ(ColorToText(clBtnFace), "#8000000F");
    for (TColor c : {clBlack, clRed, clWhite, clBtnFace, clNavy, TColor(0x123456), TColor(-1)})
        EXPECT_EQ(TextToColor(ColorToText(c)), c) << ColorToText(c).toStdString();
    EXPECT_EQ(TextToColor("#ff"), 255);
    EXPECT_THROW(TextToColor("#"), EConvertError);
    EXPECT_TRUE(IsColorText("#0"));
    EXPECT_FALSE(IsColorText(""));
    EXPECT_FALSE(IsColorText("/home/a#b.bmp"));
}

TEST(Rounding, HalvesGoToEven) {
    EXPECT_EQ(RoundHalfEven(0.5L), 0);
    EXPECT_EQ(RoundHalfEven(1.5L), 2);
    EXPECT_EQ(RoundHalfEven(2.5L), 2);
    EXPECT_EQ(RoundHalfEven(-2.5L), -2);
    EXPECT_EQ(RoundHalfEven(767.25L), 767);
    EXPECT_THROW(FloatDivide(1, 0), EZeroDivide);
}

TEST(DateTime, DaysSince1899) {
    const int64_t ms = DateTimeToMSecsSinceEpoch(45000.25);
    EXPECT_NEAR(DateTimeFromMSecsSinceEpoch(ms), 45000.25, 1e-9);
    const TDateTime now = Now();
    EXPECT_GT(now, 45000.0); // after 2023
    EXPECT_EQ(DateTimeFromMSecsSinceEpoch(DateTimeToMSecsSinceEpoch(now) + 1000) - now >
                  0.9 * double(kOneSecond),
              true);
}

TEST(SysErrorMessage, TrimsTrailingPunctuation) {
    const QString text = SysErrorMessage(ENOENT);
    EXPECT_FALSE(text.isEmpty());
    EXPECT_FALSE(text.endsWith('.') || text.endsWith(' ') || text.endsWith('\n'));
}

TEST(FormatFixedLocale, TwoDecimalsWithoutGrouping) {
    QLocale::setDefault(QLocale::c());
    const QString text = FormatFixedLocale(1234.567L, 2);
    EXPECT_TRUE(text.startsWith("1234")) << text.toStdString();
    EXPECT_EQ(text.size(), 7);
}

} // namespace
