// DateTime: the calendar, its text, and its 8-byte encoding.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "datetime/datetime.h"
#include "ipc2/bytestream.h"
#include "ipc2/errors.h"

namespace {

using zel::iface::datetime::DateTime;
using zel::iface::datetime::DateTimeMarshaller;
using zel::proglibs::ipc2::ByteStream;
using zel::proglibs::ipc2::StreamError;
using Bytes = std::vector<unsigned char>;

std::string Text(const DateTime& t) {
    std::ostringstream os;
    os << t;
    return os.str();
}

Bytes Encode(const DateTime& t) {
    auto s = std::make_shared<ByteStream>();
    DateTimeMarshaller::Encode(s, t, nullptr, nullptr);
    return Bytes(s->Data(), s->Data() + s->Size());
}

DateTime Decode(const Bytes& bytes, std::size_t* left = nullptr) {
    auto s = std::make_shared<ByteStream>(bytes.data(), bytes.size());
    DateTime t = DateTimeMarshaller::Decode(s, nullptr, nullptr);
    if (left != nullptr) *left = s->Remaining();
    return t;
}

constexpr std::int64_t kDay = 86400000000;

}  // namespace

// Each row fixes one instant three ways: its calendar fields, its count of microseconds and its
// text; the rows pick the places where calendar arithmetic goes wrong.
TEST(DateTimeCalendar, FieldsMicrosecondsAndTextAgree) {
    struct Case {
        int y, mo, d, h, mi, s, us;
        std::int64_t micros;
        const char* text;
    } cases[] = {
        {1970, 1, 1, 0, 0, 0, 0, 0, "1970-01-01T00:00:00Z"},
        {1970, 1, 1, 0, 0, 0, 1, 1, "1970-01-01T00:00:00.000001Z"},
        {1969, 12, 31, 23, 59, 59, 999999, -1, "1969-12-31T23:59:59.999999Z"},
        {1969, 12, 31, 0, 0, 0, 0, -kDay, "1969-12-31T00:00:00Z"},
        {2024, 2, 29, 0, 0, 0, 0, 1709164800000000, "2024-02-29T00:00:00Z"},
        {2024, 5, 1, 12, 30, 0, 0, 1714566600000000, "2024-05-01T12:30:00Z"},
        {2000, 3, 1, 0, 0, 0, 0, 951868800000000, "2000-03-01T00:00:00Z"},
        {1900, 3, 1, 0, 0, 0, 0, -2203891200000000, "1900-03-01T00:00:00Z"},
        {2038, 1, 19, 3, 14, 8, 0, 2147483648000000, "2038-01-19T03:14:08Z"},
        {1600, 2, 29, 6, 7, 8, 90, -11670976371999910, "1600-02-29T06:07:08.000090Z"},
        {1, 1, 1, 0, 0, 0, 0, -62135596800000000, "0001-01-01T00:00:00Z"},
        {0, 3, 1, 0, 0, 0, 0, -62135596800000000 - 306 * kDay, "0000-03-01T00:00:00Z"},
        {9999, 12, 31, 23, 59, 59, 999999, 253402300799999999, "9999-12-31T23:59:59.999999Z"},
        {10000, 1, 1, 0, 0, 0, 0, 253402300800000000, "+10000-01-01T00:00:00Z"},
        {-1, 12, 31, 0, 0, 0, 0, -62135596800000000 - 367 * kDay, "-0001-12-31T00:00:00Z"},
    };
    for (const Case& c : cases) {
        const DateTime built(c.y, c.mo, c.d, c.h, c.mi, c.s, c.us);
        EXPECT_EQ(built.UnixMicroseconds(), c.micros) << c.text;
        EXPECT_EQ(Text(DateTime::FromUnixMicroseconds(c.micros)), c.text);
    }
}

TEST(DateTimeCalendar, ExtremeInstantsPrintInExpandedYears) {
    EXPECT_EQ(Text(DateTime::FromUnixMicroseconds(std::numeric_limits<std::int64_t>::max())),
              "+294247-01-10T04:00:54.775807Z");
    EXPECT_EQ(Text(DateTime::FromUnixMicroseconds(std::numeric_limits<std::int64_t>::min())),
              "-290308-12-21T19:59:05.224192Z");
    EXPECT_EQ(Text(DateTime()), "1970-01-01T00:00:00Z");
}

// Every day of several 400-year cycles on both sides of the epoch must follow the day before it,
// and print as the date it was built from.
TEST(DateTimeCalendar, ConsecutiveDatesAreConsecutiveDays) {
    const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::int64_t previous = DateTime(-801, 12, 31).UnixMicroseconds();
    std::ostringstream expected;
    expected.fill('0');
    for (int y = -800; y <= 2800; ++y) {
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        for (int m = 1; m <= 12; ++m) {
            const int last = days[m - 1] + (m == 2 && leap ? 1 : 0);
            for (int d = 1; d <= last; ++d) {
                const DateTime t(y, m, d);
                ASSERT_EQ(t.UnixMicroseconds() - previous, kDay) << y << "-" << m << "-" << d;
                previous = t.UnixMicroseconds();
                if (d == 1 || d == last) {
                    expected.str("");
                    if (y < 0) expected << '-';
                    expected.width(4);
                    expected << (y < 0 ? -y : y) << '-';
                    expected.width(2);
                    expected << m << '-';
                    expected.width(2);
                    expected << d << "T00:00:00Z";
                    ASSERT_EQ(Text(t), expected.str());
                }
            }
        }
    }
}

TEST(DateTimeCalendar, DatesAndTimesThatDoNotExistThrow) {
    struct Case {
        int y, mo, d, h, mi, s, us;
    } invalid[] = {
        {2023, 2, 29, 0, 0, 0, 0},  {2100, 2, 29, 0, 0, 0, 0},  {1900, 2, 29, 0, 0, 0, 0},
        {2024, 2, 30, 0, 0, 0, 0},  {2024, 4, 31, 0, 0, 0, 0},  {2024, 0, 1, 0, 0, 0, 0},
        {2024, 13, 1, 0, 0, 0, 0},  {2024, 1, 0, 0, 0, 0, 0},   {2024, 1, 32, 0, 0, 0, 0},
        {2024, -1, 1, 0, 0, 0, 0},  {2024, 1, 1, 24, 0, 0, 0},  {2024, 1, 1, -1, 0, 0, 0},
        {2024, 1, 1, 0, 60, 0, 0},  {2024, 1, 1, 0, 0, 60, 0},  {2024, 1, 1, 0, 0, -1, 0},
        {2024, 1, 1, 0, 0, 0, 1000000}, {2024, 1, 1, 0, 0, 0, -1},
        // Beyond what 64 bits of microseconds reach.
        {300000, 1, 1, 0, 0, 0, 0}, {-300000, 1, 1, 0, 0, 0, 0},
        {INT_MAX, 12, 31, 23, 59, 59, 999999}, {INT_MIN, 1, 1, 0, 0, 0, 0},
    };
    for (const Case& c : invalid) {
        EXPECT_THROW(DateTime(c.y, c.mo, c.d, c.h, c.mi, c.s, c.us), std::invalid_argument)
            << c.y << "-" << c.mo << "-" << c.d << " " << c.h << ":" << c.mi << ":" << c.s << "." << c.us;
    }

    struct Valid {
        int y, mo, d;
    } valid[] = {{2000, 2, 29}, {1600, 2, 29}, {-4, 2, 29}, {0, 2, 29}, {2023, 2, 28}, {2024, 12, 31}};
    for (const Valid& c : valid) {
        EXPECT_NO_THROW(DateTime(c.y, c.mo, c.d, 23, 59, 59, 999999)) << c.y << "-" << c.mo << "-" << c.d;
    }
}

TEST(DateTimeCalendar, NowIsTheSystemClock) {
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    using std::chrono::system_clock;
    const std::int64_t before = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    const DateTime now = DateTime::Now();
    const std::int64_t after = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    EXPECT_LE(before, now.UnixMicroseconds());
    EXPECT_LE(now.UnixMicroseconds(), after);
}

TEST(DateTimeMarshaller, EncodesEightLittleEndianBytes) {
    struct Case {
        std::int64_t micros;
        Bytes bytes;
    } cases[] = {
        {0, {0, 0, 0, 0, 0, 0, 0, 0}},
        {1, {1, 0, 0, 0, 0, 0, 0, 0}},
        {-1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {-2, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}},
        {std::numeric_limits<std::int64_t>::min(), {0, 0, 0, 0, 0, 0, 0, 0x80}},
    };
    for (const Case& c : cases) {
        const DateTime t = DateTime::FromUnixMicroseconds(c.micros);
        EXPECT_EQ(Encode(t), c.bytes) << c.micros;
        EXPECT_EQ(DateTimeMarshaller::SizeOf(t), 8);
        std::size_t left = 99;
        EXPECT_EQ(Decode(c.bytes, &left), t) << c.micros;
        EXPECT_EQ(left, 0u);
    }
}

TEST(DateTimeMarshaller, RoundTripsAndReadsOnlyItsOwnBytes) {
    const std::int64_t values[] = {0, -1, 1709164800000000, 253402300799999999, -62135596800000000,
                                   std::numeric_limits<std::int64_t>::max(),
                                   std::numeric_limits<std::int64_t>::min()};
    auto s = std::make_shared<ByteStream>();
    for (std::int64_t v : values) DateTimeMarshaller::Encode(s, DateTime::FromUnixMicroseconds(v), nullptr, nullptr);
    ASSERT_EQ(s->Size(), 8 * std::size(values));
    for (std::int64_t v : values) EXPECT_EQ(DateTimeMarshaller::Decode(s, nullptr, nullptr).UnixMicroseconds(), v);
    EXPECT_EQ(s->Remaining(), 0u);
}

TEST(DateTimeMarshaller, ShortInputThrowsStreamError) {
    const Bytes full = Encode(DateTime(2024, 5, 1, 12, 30));
    for (std::size_t n = 0; n < full.size(); ++n) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_THROW(Decode(cut), StreamError) << n << " bytes";
    }
}
