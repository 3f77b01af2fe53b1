#include "toolkit/SysUtils.h"

#include <QDateTime>
#include <QLocale>

#include <cerrno>
#include <cfenv>
#include <cmath>
#include <cstring>

Exception::Exception(const QString& message) : FMessage(message), FUtf8(message.toUtf8()) {}

namespace {

[[noreturn]] void InvalidInteger(const QString& text) {
    throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
}

bool ParseInt(const QString& text, int32_t& out) {
    int i = 0;
    const int n = int(text.size());
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    bool hex = false;
    if (i < n && text[i] == QLatin1Char('$')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == QLatin1Char('0') &&
               (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X'))) {
        hex = true;
        i += 2;
    }
    if (i >= n)
        return false;
    if (hex) {
        // Leading zeros do not count towards the eight significant digits.
        while (i + 1 < n && text[i] == QLatin1Char('0'))
            ++i;
        uint32_t value = 0;
        int digits = 0;
        for (; i < n; ++i) {
            const int d = HexDigitValue(text[i]);
            if (d < 0 || ++digits > 8)
                return false;
            value = value << 4 | uint32_t(d);
        }
        out = int32_t(negative ? 0u - value : value);
        return true;
    }
    int64_t value = 0;
    for (; i < n; ++i) {
        const char16_t u = text[i].unicode();
        if (u < '0' || u > '9')
            return false;
        value = value * 10 + (u - '0');
        if (value > int64_t(INT32_MAX) + 1)
            return false;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < INT32_MIN)
        return false;
    out = int32_t(value);
    return true;
}

} // namespace

int32_t StrToInt(const QString& text) {
    int32_t value = 0;
    if (!ParseInt(text, value))
        InvalidInteger(text);
    return value;
}

int32_t StrToIntDef(const QString& text, int32_t fallback) {
    int32_t value = 0;
    return ParseInt(text, value) ? value : fallback;
}

QString IntToStr(int64_t value) {
    return QString::number(value);
}

bool TryStrToFloat(const QString& text, double& value) {
    bool ok = false;
    const double number = QLocale().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(number))
        return false;
    value = number;
    return true;
}

int HexDigitValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

int64_t RoundHalfEven(long double value) {
    // The default floating-point environment rounds to nearest, ties to even; set it explicitly
    // in case a library changed it.
    const int saved = std::fegetround();
    if (saved != FE_TONEAREST)
        std::fesetround(FE_TONEAREST);
    const long double r = std::nearbyintl(value);
    if (saved != FE_TONEAREST)
        std::fesetround(saved);
    return int64_t(r);
}

long double FloatDivide(long double numerator, long double denominator) {
    if (denominator == 0.0L)
        throw EZeroDivide(QStringLiteral("Floating point division by zero"));
    return numerator / denominator;
}

namespace {
// 1899-12-30 00:00 as a local date-time is day 0.
const QDate kEpochDate(1899, 12, 30);
} // namespace

TDateTime DateTimeFromMSecsSinceEpoch(int64_t msecs) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(msecs).toLocalTime();
    const double days = double(kEpochDate.daysTo(local.date()));
    const double fraction = double(local.time().msecsSinceStartOfDay()) / 86400000.0;
    return days + fraction;
}

int64_t DateTimeToMSecsSinceEpoch(TDateTime value) {
    const double whole = std::floor(value);
    const QDate date = kEpochDate.addDays(int64_t(whole));
    const int64_t ms = int64_t(std::llround((value - whole) * 86400000.0));
    QDateTime local(date, QTime(0, 0), Qt::LocalTime);
    return local.toMSecsSinceEpoch() + ms;
}

TDateTime Now() {
    return DateTimeFromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch());
}

QString FormatFixedLocale(long double value, int decimals) {
    QLocale locale = QLocale::system();
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(double(value), 'f', decimals);
}

QString SysErrorMessage(int errorNumber) {
    QString text = QString::fromLocal8Bit(std::strerror(errorNumber));
    while (!text.isEmpty()) {
        const QChar last = text.back();
        if (last == QLatin1Char('.') || last == QLatin1Char(' ') || last == QLatin1Char('\r') ||
            last == QLatin1Char('\n'))
            text.chop(1);
        else
            break;
    }
    return text;
}
