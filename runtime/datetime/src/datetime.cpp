#include "datetime/datetime.h"

#include <chrono>
#include <cstdio>
#include <ostream>
#include <stdexcept>
#include <string>

namespace zel::iface::datetime {

namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;

bool IsLeapYear(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(std::int64_t y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Days since 1970-01-01 in the proleptic Gregorian calendar. The calendar repeats every 400 years
// (146097 days), so the date is reduced to an era and a year within it, counted from March so that
// the leap day falls at the end of the year.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;                                    // [0, 399]
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // [0, 365]
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;            // [0, 146096]
    return era * 146097 + doe - 719468;
}

struct Civil {
    std::int64_t year;
    int month;
    int day;
};

Civil CivilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return Civil{yoe + era * 400 + (month <= 2), month, day};
}

[[noreturn]] void Invalid(const char* what, long long value) {
    throw std::invalid_argument(std::string("DateTime: ") + what + " " + std::to_string(value) +
                                " does not exist");
}

}  // namespace

DateTime::DateTime(int year, int month, int day, int hour, int minute, int second, int microsecond) {
    if (month < 1 || month > 12) Invalid("month", month);
    if (day < 1 || day > DaysInMonth(year, month)) Invalid("day", day);
    if (hour < 0 || hour > 23) Invalid("hour", hour);
    if (minute < 0 || minute > 59) Invalid("minute", minute);
    if (second < 0 || second > 59) Invalid("second", second);
    if (microsecond < 0 || microsecond >= kMicrosPerSecond) Invalid("microsecond", microsecond);

    const std::int64_t days = DaysFromCivil(year, month, day);
    const std::int64_t timeOfDay =
        ((hour * 60 + minute) * 60 + second) * kMicrosPerSecond + microsecond;
    std::int64_t us = 0;
    if (__builtin_mul_overflow(days, kMicrosPerDay, &us) || __builtin_add_overflow(us, timeOfDay, &us)) {
        throw std::invalid_argument("DateTime: year " + std::to_string(year) +
                                    " is beyond the range of microseconds since 1970");
    }
    us_ = us;
}

DateTime DateTime::FromUnixMicroseconds(std::int64_t us) noexcept {
    DateTime t;
    t.us_ = us;
    return t;
}

DateTime DateTime::Now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return FromUnixMicroseconds(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

std::ostream& operator<<(std::ostream& os, const DateTime& value) {
    const std::int64_t us = value.UnixMicroseconds();
    // Floor division: an instant before the epoch belongs to the day that starts before it.
    std::int64_t days = us / kMicrosPerDay;
    std::int64_t rest = us % kMicrosPerDay;
    if (rest < 0) {
        rest += kMicrosPerDay;
        --days;
    }
    const Civil date = CivilFromDays(days);
    const int micros = static_cast<int>(rest % kMicrosPerSecond);
    const std::int64_t seconds = rest / kMicrosPerSecond;

    char text[64];
    int n = 0;
    // Four-digit years as ISO 8601 writes them; others in its expanded form, always signed.
    if (date.year >= 0 && date.year <= 9999) {
        n = std::snprintf(text, sizeof text, "%04lld", static_cast<long long>(date.year));
    } else {
        n = std::snprintf(text, sizeof text, "%c%04lld", date.year < 0 ? '-' : '+',
                          static_cast<long long>(date.year < 0 ? -date.year : date.year));
    }
    n += std::snprintf(text + n, sizeof text - n, "-%02d-%02dT%02d:%02d:%02d", date.month, date.day,
                       static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                       static_cast<int>(seconds % 60));
    if (micros != 0) n += std::snprintf(text + n, sizeof text - n, ".%06d", micros);
    std::snprintf(text + n, sizeof text - n, "Z");
    return os << text;
}

InterfaceBroker::~InterfaceBroker() = default;

InterfaceBrokers::~InterfaceBrokers() = default;

void DateTimeMarshaller::Encode(std::shared_ptr<proglibs::ipc2::ByteStream> stream, const DateTime& value,
                                std::shared_ptr<proglibs::ipc2::ConnectionHandler>,
                                std::shared_ptr<InterfaceBrokers>) {
    const auto v = static_cast<std::uint64_t>(value.UnixMicroseconds());
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
    stream->Write(bytes, 8);
}

DateTime DateTimeMarshaller::Decode(std::shared_ptr<proglibs::ipc2::ByteStream> stream,
                                    std::shared_ptr<proglibs::ipc2::ConnectionHandler>,
                                    std::shared_ptr<InterfaceBrokers>) {
    const unsigned char* bytes = stream->Read(8);
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    return DateTime::FromUnixMicroseconds(static_cast<std::int64_t>(v));
}

int DateTimeMarshaller::SizeOf(const DateTime&) { return 8; }

}  // namespace zel::iface::datetime
