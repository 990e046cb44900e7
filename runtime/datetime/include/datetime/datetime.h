// zel::iface::datetime: an instant in UTC, its encoding, and the library's broker.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "ipc2/bytestream.h"
#include "ipc2/connectionhandler.h"

namespace zel::iface::datetime {

// A UTC instant with microsecond resolution, counted from 1970-01-01T00:00:00Z.
class DateTime {
public:
    DateTime() = default;  // the epoch
    // Throws std::invalid_argument for a calendar date or time of day that does not exist, or a
    // year too far from 1970 for the microseconds to fit in 64 bits. Dates are proleptic Gregorian
    // (year 0 is 1 BC); there is no second 60, since Unix time does not count leap seconds.
    DateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int microsecond = 0);
    static DateTime FromUnixMicroseconds(std::int64_t us) noexcept;
    static DateTime Now();

    std::int64_t UnixMicroseconds() const noexcept { return us_; }

    friend bool operator==(const DateTime& a, const DateTime& b) noexcept { return a.us_ == b.us_; }
    friend bool operator!=(const DateTime& a, const DateTime& b) noexcept { return a.us_ != b.us_; }
    friend bool operator<(const DateTime& a, const DateTime& b) noexcept { return a.us_ < b.us_; }

private:
    std::int64_t us_ = 0;
};

// ISO 8601 in UTC: 2024-05-01T12:30:00Z, with ".ffffff" before the Z when there are microseconds.
// Years outside 0000..9999 take ISO 8601's expanded form: a sign and at least four digits.
std::ostream& operator<<(std::ostream& os, const DateTime& value);

// The library's broker: the place where an application could substitute the library's factories.
class InterfaceBroker {
public:
    InterfaceBroker() = default;
    virtual ~InterfaceBroker();
};

// The broker bundle of this library; the bundles of libraries built on it derive from it
// (virtually), so that one bundle serves them all.
struct InterfaceBrokers {
    virtual ~InterfaceBrokers();
    std::unique_ptr<InterfaceBroker> datetimeBroker;
};

// 8 bytes: the microseconds since the epoch, little-endian two's complement. Every value decodes;
// Decode throws StreamError when fewer than 8 bytes remain.
struct DateTimeMarshaller {
    static void Encode(std::shared_ptr<proglibs::ipc2::ByteStream> stream, const DateTime& value,
                       std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
                       std::shared_ptr<InterfaceBrokers> brokers);
    static DateTime Decode(std::shared_ptr<proglibs::ipc2::ByteStream> stream,
                           std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
                           std::shared_ptr<InterfaceBrokers> brokers);
    static int SizeOf(const DateTime& value);
};

}  // namespace zel::iface::datetime
