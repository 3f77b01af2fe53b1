// Runtime helpers of the toolkit: the root object, exceptions with message texts, text/number
// conversions with the toolkit's error texts, rounding, the day-valued date-time and the
// operating system's error texts.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <exception>

// Root of the toolkit's class tree; event handlers receive the sender as a TObject*.
class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = default;
    TObject& operator=(const TObject&) = default;
    virtual ~TObject() = default;
};

// Base of every error the system raises: carries one message text.
class Exception : public std::exception {
public:
    explicit Exception(const QString& message);
    const QString& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FUtf8.constData(); }

private:
    QString FMessage;
    QByteArray FUtf8;
};

#define TAPESTRIX_EXCEPTION(Name, Base)                                                            \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    }

TAPESTRIX_EXCEPTION(EConvertError, Exception);     // text that does not convert to a number
TAPESTRIX_EXCEPTION(EZeroDivide, Exception);       // floating-point division by zero
TAPESTRIX_EXCEPTION(EInvalidOperation, Exception); // an operation that does not apply
TAPESTRIX_EXCEPTION(EOutOfResources, Exception);   // a size that would need absurd memory
TAPESTRIX_EXCEPTION(EInvalidGraphic, Exception);   // unknown extension, damaged picture data
TAPESTRIX_EXCEPTION(EStreamError, Exception);      // file input/output
TAPESTRIX_EXCEPTION(EFOpenError, EStreamError);    // a file that cannot be opened
TAPESTRIX_EXCEPTION(EFCreateError, EStreamError);  // a file that cannot be created or written
TAPESTRIX_EXCEPTION(EReadError, EStreamError);     // a read that ran short
TAPESTRIX_EXCEPTION(EAbort, Exception);            // work stopped on request

// Decimal or hexadecimal ("$1F", "0x1F", "0X1F") text to a 32-bit integer, with an optional
// sign. Hexadecimal takes one to eight digits of either case and keeps the full 32-bit pattern
// (0xFFFFFFFF is -1). Anything else raises EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(const QString& text);
// Like StrToInt but returns fallback instead of raising.
int32_t StrToIntDef(const QString& text, int32_t fallback);
QString IntToStr(int64_t value);
// A number as the user writes it: the current locale's decimal separator, its digit grouping
// where the groups stand correctly ("1,000.5" in English, "1.000,5" in German), an optional sign
// and exponent, blanks around it. False, with value unchanged, for any other text and for
// infinities and NaN.
bool TryStrToFloat(const QString& text, double& value);
// The value of a hexadecimal digit of either case, or -1.
int HexDigitValue(QChar c);

// Nearest integer, halves to the even neighbour (0.5 -> 0, 1.5 -> 2, 2.5 -> 2).
int64_t RoundHalfEven(long double value);

// Extended-precision division that raises EZeroDivide instead of giving an infinity.
long double FloatDivide(long double numerator, long double denominator);

// The toolkit's date-time: days since 30 December 1899 00:00 local time, the fraction being the
// time of day, millisecond resolution.
using TDateTime = double;
TDateTime Now();
// Conversions to and from milliseconds since the Unix epoch (UTC), through local time.
TDateTime DateTimeFromMSecsSinceEpoch(int64_t msecs);
int64_t DateTimeToMSecsSinceEpoch(TDateTime value);
constexpr long double kOneSecond = 1.0L / 86400.0L; // one second as a date-time difference

// A number with a fixed count of decimals using the user's locale decimal separator.
QString FormatFixedLocale(long double value, int decimals);

// The operating system's text for an error number, with trailing full stops, spaces and line
// breaks removed.
QString SysErrorMessage(int errorNumber);
