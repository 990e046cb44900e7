// How each value type of the interface is sized, written and read: one Codec<T> per type, the
// single place where the wire form of a type is decided. The generated marshallers, proxies and
// stubs are thin shells over these.
//
//   static int size(const T&)
//   static void encode(const Stream&, const T&, const Context&)
//   static T decode(const Stream&, const Context&)
//
// Primitive values use the runtime's encodings, enumeration values and list counts are raw
// little-endian 32-bit numbers, presence bytes are one raw byte, and the sibling libraries' types
// go through their own marshallers. Records and interface references get their specialisations
// from the generated headers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "datetime/datetime.h"
#include "ipc2/bytestream.h"
#include "ipc2/connectionhandler.h"
#include "ipc2/marshallers.h"
#include "userlogin/userlogin.h"

namespace zel::iface::aai {

struct InterfaceBrokers;

namespace detail {

using Stream = std::shared_ptr<proglibs::ipc2::ByteStream>;
using Handler = std::shared_ptr<proglibs::ipc2::ConnectionHandler>;
using Brokers = std::shared_ptr<InterfaceBrokers>;

// What a value's encoding may need besides the stream: the connection (for interface references)
// and the broker bundle (for references and the sibling libraries' marshallers).
struct Context {
    const Handler& handler;
    const Brokers& brokers;
};

// The brokers of a value that holds neither an interface reference nor a sibling library's type
// (an enumeration's marshaller has no brokers parameter to pass on).
inline const Brokers kNoBrokers;

// The sibling libraries take their own bundle type, a virtual base of ours (defined with the broker).
std::shared_ptr<userlogin::InterfaceBrokers> UserloginBrokers(const Brokers& brokers);
std::shared_ptr<datetime::InterfaceBrokers> DatetimeBrokers(const Brokers& brokers);

template <class T, class Enable = void>
struct Codec;

template <>
struct Codec<int> {
    static int size(int) { return 4; }
    static void encode(const Stream& s, int v, const Context&) { proglibs::ipc2::wire::PutInt(*s, v); }
    static int decode(const Stream& s, const Context&) { return proglibs::ipc2::wire::GetInt(*s); }
};

template <>
struct Codec<bool> {
    static int size(bool) { return 1; }
    static void encode(const Stream& s, bool v, const Context&) { proglibs::ipc2::wire::PutBool(*s, v); }
    static bool decode(const Stream& s, const Context&) { return proglibs::ipc2::wire::GetBool(*s); }
};

template <>
struct Codec<std::string> {
    static int size(const std::string& v) { return proglibs::ipc2::wire::SizeOfString(v); }
    static void encode(const Stream& s, const std::string& v, const Context&) { proglibs::ipc2::wire::PutString(*s, v); }
    static std::string decode(const Stream& s, const Context&) { return proglibs::ipc2::wire::GetString(*s); }
};

// Enumerations of this interface: the value's four bytes, no range check either way.
template <class E>
struct Codec<E, std::enable_if_t<std::is_enum_v<E>>> {
    static int size(E) { return 4; }
    static void encode(const Stream& s, E v, const Context&) {
        proglibs::ipc2::WriteLe32(*s, static_cast<std::int32_t>(v));
    }
    static E decode(const Stream& s, const Context&) { return static_cast<E>(proglibs::ipc2::ReadLe32(*s)); }
};

template <>
struct Codec<userlogin::UserName> {
    static int size(userlogin::UserName v) { return userlogin::UserNameMarshaller::SizeOf(v); }
    static void encode(const Stream& s, userlogin::UserName v, const Context& c) {
        userlogin::UserNameMarshaller::Encode(s, v, c.handler);
    }
    static userlogin::UserName decode(const Stream& s, const Context& c) {
        return userlogin::UserNameMarshaller::Decode(s, c.handler);
    }
};

// The sibling types that take their library's brokers.
template <class T, class M, class B, std::shared_ptr<B> (*Convert)(const Brokers&)>
struct SiblingCodec {
    static int size(const T& v) { return M::SizeOf(v); }
    static void encode(const Stream& s, const T& v, const Context& c) { M::Encode(s, v, c.handler, Convert(c.brokers)); }
    static T decode(const Stream& s, const Context& c) { return M::Decode(s, c.handler, Convert(c.brokers)); }
};

template <>
struct Codec<datetime::DateTime>
    : SiblingCodec<datetime::DateTime, datetime::DateTimeMarshaller, datetime::InterfaceBrokers, DatetimeBrokers> {};
template <>
struct Codec<userlogin::LoggedInUser>
    : SiblingCodec<userlogin::LoggedInUser, userlogin::LoggedInUserMarshaller, userlogin::InterfaceBrokers,
                   UserloginBrokers> {};
template <>
struct Codec<userlogin::UserLoginId>
    : SiblingCodec<userlogin::UserLoginId, userlogin::UserLoginIdMarshaller, userlogin::InterfaceBrokers,
                   UserloginBrokers> {};
template <>
struct Codec<userlogin::PrivilegeList>
    : SiblingCodec<userlogin::PrivilegeList, userlogin::PrivilegeListMarshaller, userlogin::InterfaceBrokers,
                   UserloginBrokers> {};

// An optional field: a raw presence byte (1 set, 0 unset; any non-zero byte reads as set), then
// the value when set.
template <class T>
struct Codec<std::optional<T>> {
    static int size(const std::optional<T>& v) { return 1 + (v ? Codec<T>::size(*v) : 0); }
    static void encode(const Stream& s, const std::optional<T>& v, const Context& c) {
        proglibs::ipc2::wire::PutByte(*s, v ? 1 : 0);
        if (v) Codec<T>::encode(s, *v, c);
    }
    static std::optional<T> decode(const Stream& s, const Context& c) {
        if (proglibs::ipc2::wire::GetByte(*s) == 0) return std::nullopt;
        return Codec<T>::decode(s, c);
    }
};

// Lists (std::vector of an element type, or a class derived from one): a raw count, then the
// elements. A count below 1 reads as empty. The decoder never reserves more memory than the
// remaining bytes of the message, so a hostile count fails on the first missing element instead of
// allocating in proportion to the count (or to a multiple of the message's size); a list longer
// than that grows as its elements arrive.
template <class L>
struct IsList : std::false_type {};
template <class T, class A>
struct IsList<std::vector<T, A>> : std::true_type {};

template <class L>
struct ListCodec {
    using Element = typename L::value_type;
    static int size(const L& v) {
        int n = 4;
        for (const auto& e : v) n += Codec<Element>::size(e);
        return n;
    }
    static void encode(const Stream& s, const L& v, const Context& c) {
        proglibs::ipc2::WriteLe32(*s, static_cast<std::int32_t>(v.size()));
        for (const auto& e : v) Codec<Element>::encode(s, e, c);
    }
    static L decode(const Stream& s, const Context& c) {
        const std::int32_t count = proglibs::ipc2::ReadLe32(*s);
        L list;
        if (count < 1) return list;
        list.reserve(std::min<std::size_t>(static_cast<std::size_t>(count), s->Remaining() / sizeof(Element)));
        for (std::int32_t i = 0; i < count; ++i) list.emplace_back(Codec<Element>::decode(s, c));
        return list;
    }
};

template <class T, class A>
struct Codec<std::vector<T, A>> : ListCodec<std::vector<T, A>> {};

// The record codecs' building blocks: each field through its own type's codec, decoded straight into
// the member that keeps it.
template <class T>
int SizeOfField(const T& field) {
    return Codec<T>::size(field);
}

template <class T>
void EncodeField(const Stream& s, const T& field, const Context& c) {
    Codec<T>::encode(s, field, c);
}

template <class T>
void DecodeField(const Stream& s, T& field, const Context& c) {
    field = Codec<T>::decode(s, c);
}

}  // namespace detail
}  // namespace zel::iface::aai
