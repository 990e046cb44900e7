// How each value type of the interface is sized, written and read: one Codec<T> per type, the
// single place where the wire form of a type is decided. The generated marshallers, proxies and
// stubs are thin shells over these.
//
//   static int size(const T&)
//   static void encode(const Stream&, const T&, const Context&)
//   static T decode(const Stream&, const Context&)
//   static void decodeInto(const Stream&, T&, const Context&)   (optional: builds the value in
//       the place that keeps it, without a temporary to move from)
//
// Primitive values use the runtime's encodings, enumeration values and list counts are raw
// little-endian 32-bit numbers, presence bytes are one raw byte, and the sibling libraries' types
// go through their own marshallers. Records and interface references get their specialisations
// from the generated headers.
#pragma once

#include <algorithm>
#include <cstddef>
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
    static ZEL_IPC2_ALWAYS_INLINE int size(int) { return 4; }
    static ZEL_IPC2_ALWAYS_INLINE void encode(const Stream& s, int v, const Context&) { proglibs::ipc2::wire::PutInt(*s, v); }
    static ZEL_IPC2_ALWAYS_INLINE int decode(const Stream& s, const Context&) { return proglibs::ipc2::wire::GetInt(*s); }
};

template <>
struct Codec<bool> {
    static ZEL_IPC2_ALWAYS_INLINE int size(bool) { return 1; }
    static ZEL_IPC2_ALWAYS_INLINE void encode(const Stream& s, bool v, const Context&) { proglibs::ipc2::wire::PutBool(*s, v); }
    static ZEL_IPC2_ALWAYS_INLINE bool decode(const Stream& s, const Context&) { return proglibs::ipc2::wire::GetBool(*s); }
};

template <>
struct Codec<std::string> {
    static ZEL_IPC2_ALWAYS_INLINE int size(const std::string& v) { return proglibs::ipc2::wire::SizeOfString(v); }
    static ZEL_IPC2_ALWAYS_INLINE void encode(const Stream& s, const std::string& v, const Context&) { proglibs::ipc2::wire::PutString(*s, v); }
    static ZEL_IPC2_ALWAYS_INLINE std::string decode(const Stream& s, const Context&) { return proglibs::ipc2::wire::GetString(*s); }
    static ZEL_IPC2_ALWAYS_INLINE void decodeInto(const Stream& s, std::string& v, const Context&) { proglibs::ipc2::wire::GetString(*s, v); }
};

// Whether Codec<T> decodes in place.
template <class T, class = void>
struct DecodesInto : std::false_type {};
template <class T>
struct DecodesInto<T, std::void_t<decltype(Codec<T>::decodeInto(std::declval<const Stream&>(), std::declval<T&>(),
                                                                std::declval<const Context&>()))>> : std::true_type {};

// Enumerations of this interface: the value's four bytes, no range check either way.
template <class E>
struct Codec<E, std::enable_if_t<std::is_enum_v<E>>> {
    static ZEL_IPC2_ALWAYS_INLINE int size(E) { return 4; }
    static ZEL_IPC2_ALWAYS_INLINE void encode(const Stream& s, E v, const Context&) {
        proglibs::ipc2::WriteLe32(*s, static_cast<std::int32_t>(v));
    }
    static ZEL_IPC2_ALWAYS_INLINE E decode(const Stream& s, const Context&) { return static_cast<E>(proglibs::ipc2::ReadLe32(*s)); }
};

// The user name takes no brokers; its marshaller's stream-level form spares the pointer copies.
template <>
struct Codec<userlogin::UserName> {
    static ZEL_IPC2_ALWAYS_INLINE int size(userlogin::UserName v) { return userlogin::UserNameMarshaller::SizeOf(v); }
    static ZEL_IPC2_ALWAYS_INLINE void encode(const Stream& s, userlogin::UserName v, const Context&) {
        userlogin::UserNameMarshaller::Put(*s, v);
    }
    static ZEL_IPC2_ALWAYS_INLINE userlogin::UserName decode(const Stream& s, const Context&) { return userlogin::UserNameMarshaller::Get(*s); }
};

// The sibling types that take their library's brokers.
template <class T, class M, class B, std::shared_ptr<B> (*Convert)(const Brokers&)>
struct SiblingCodec {
    static ZEL_IPC2_ALWAYS_INLINE int size(const T& v) { return M::SizeOf(v); }
    static ZEL_IPC2_ALWAYS_INLINE void encode(const Stream& s, const T& v, const Context& c) { M::Encode(s, v, c.handler, Convert(c.brokers)); }
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
    static ZEL_IPC2_ALWAYS_INLINE int size(const std::optional<T>& v) { return 1 + (v ? Codec<T>::size(*v) : 0); }
    static ZEL_IPC2_ALWAYS_INLINE void encode(const Stream& s, const std::optional<T>& v, const Context& c) {
        proglibs::ipc2::wire::PutByte(*s, v ? 1 : 0);
        if (v) Codec<T>::encode(s, *v, c);
    }
    static std::optional<T> decode(const Stream& s, const Context& c) {
        if (proglibs::ipc2::wire::GetByte(*s) == 0) return std::nullopt;
        return Codec<T>::decode(s, c);
    }
    static ZEL_IPC2_ALWAYS_INLINE void decodeInto(const Stream& s, std::optional<T>& v, const Context& c) {
        if (proglibs::ipc2::wire::GetByte(*s) == 0) {
            v.reset();
        } else if constexpr (DecodesInto<T>::value) {
            if (!v) v.emplace();
            Codec<T>::decodeInto(s, *v, c);
        } else {
            v = Codec<T>::decode(s, c);
        }
    }
};

// The raw forms of the types whose encoding is a fixed number of bytes or a length and bytes:
// a record made only of such fields is written with one check of the stream's room and read
// through a local cursor, instead of a room or bounds check and an update of the stream's members
// per field. The bytes are those of the codecs above.
//
//   static std::size_t bytes(const T&)              the encoded size
//   static void put(unsigned char*& at, const T&)   writes at `at` and moves it past the value
//   static void get(Cursor&, T&)                    reads into the value, bounds checked
//
// Cursor::Take checks what remains before every read, and a string's length before it is trusted
// with an allocation; a short message fails with the stream's own error at the byte reached.
struct Cursor {
    const unsigned char* at;
    const unsigned char* end;
    proglibs::ipc2::ByteStream& stream;

    std::size_t Remaining() const noexcept { return static_cast<std::size_t>(end - at); }

    ZEL_IPC2_ALWAYS_INLINE const unsigned char* Take(std::size_t n) {
        if (n > Remaining()) Short(n);
        const unsigned char* p = at;
        at += n;
        return p;
    }

    // Moves the stream to where the cursor stands.
    void Sync() const { stream.Seek(static_cast<std::size_t>(at - stream.Data())); }

    [[noreturn]]
#if defined(__GNUC__)
    __attribute__((noinline, cold))
#endif
    void Short(std::size_t n) const {
        Sync();
        stream.Read(static_cast<unsigned int>(n));  // throws: fewer than n bytes remain
        throw proglibs::ipc2::StreamError("short read");
    }

    [[noreturn]]
#if defined(__GNUC__)
    __attribute__((noinline, cold))
#endif
    void BadLength(std::int32_t length) const {
        Sync();
        proglibs::ipc2::wire::ThrowBadStringLength(length, Remaining());
    }
};

template <class T, class = void>
struct Raw {};

template <>
struct Raw<int> {
    static ZEL_IPC2_ALWAYS_INLINE std::size_t bytes(int) { return 4; }
    static ZEL_IPC2_ALWAYS_INLINE void put(unsigned char*& at, int v) {
        proglibs::ipc2::StoreLe32(at, static_cast<std::uint32_t>(v));
        at += 4;
    }
    static ZEL_IPC2_ALWAYS_INLINE void get(Cursor& c, int& v) {
        v = static_cast<std::int32_t>(proglibs::ipc2::LoadLe32(c.Take(4)));
    }
};

// Enumerations, the user name among them: four bytes.
template <class E>
struct Raw<E, std::enable_if_t<std::is_enum_v<E>>> {
    static ZEL_IPC2_ALWAYS_INLINE std::size_t bytes(E) { return 4; }
    static ZEL_IPC2_ALWAYS_INLINE void put(unsigned char*& at, E v) {
        proglibs::ipc2::StoreLe32(at, static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
        at += 4;
    }
    static ZEL_IPC2_ALWAYS_INLINE void get(Cursor& c, E& v) {
        v = static_cast<E>(static_cast<std::int32_t>(proglibs::ipc2::LoadLe32(c.Take(4))));
    }
};

template <>
struct Raw<bool> {
    static ZEL_IPC2_ALWAYS_INLINE std::size_t bytes(bool) { return 1; }
    static ZEL_IPC2_ALWAYS_INLINE void put(unsigned char*& at, bool v) { *at++ = v ? 1 : 0; }
    static ZEL_IPC2_ALWAYS_INLINE void get(Cursor& c, bool& v) { v = *c.Take(1) != 0; }
};

template <>
struct Raw<std::string> {
    static ZEL_IPC2_ALWAYS_INLINE std::size_t bytes(const std::string& v) {
        if (v.size() > static_cast<std::size_t>(INT32_MAX)) proglibs::ipc2::wire::ThrowStringTooLong(v.size());
        return 4 + v.size();
    }
    static ZEL_IPC2_ALWAYS_INLINE void put(unsigned char*& at, const std::string& v) {
        proglibs::ipc2::StoreLe32(at, static_cast<std::uint32_t>(v.size()));
        proglibs::ipc2::ByteStream::CopyBytes(at + 4, v.data(), v.size());
        at += 4 + v.size();
    }
    static ZEL_IPC2_ALWAYS_INLINE void get(Cursor& c, std::string& v) {
        const auto length = static_cast<std::int32_t>(proglibs::ipc2::LoadLe32(c.Take(4)));
        if (length < 0 || static_cast<std::size_t>(length) > c.Remaining()) c.BadLength(length);
        const auto n = static_cast<std::size_t>(length);
        proglibs::ipc2::wire::AssignString(v, reinterpret_cast<const char*>(c.Take(n)), n);
    }
};

template <class T, class = void>
struct HasRaw : std::false_type {};
template <class T>
struct HasRaw<T, std::void_t<decltype(Raw<T>::bytes(std::declval<const T&>()))>> : std::true_type {};

// An optional field of a raw type: the presence byte, then the value when set.
template <class T>
struct Raw<std::optional<T>, std::enable_if_t<HasRaw<T>::value>> {
    static ZEL_IPC2_ALWAYS_INLINE std::size_t bytes(const std::optional<T>& v) {
        return 1 + (v ? Raw<T>::bytes(*v) : 0);
    }
    static ZEL_IPC2_ALWAYS_INLINE void put(unsigned char*& at, const std::optional<T>& v) {
        *at++ = v ? 1 : 0;
        if (v) Raw<T>::put(at, *v);
    }
    static ZEL_IPC2_ALWAYS_INLINE void get(Cursor& c, std::optional<T>& v) {
        if (*c.Take(1) == 0) {
            v.reset();
            return;
        }
        if (!v) v.emplace();
        Raw<T>::get(c, *v);
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
ZEL_IPC2_ALWAYS_INLINE int SizeOfField(const T& field) {
    return Codec<T>::size(field);
}

template <class T>
ZEL_IPC2_ALWAYS_INLINE void EncodeField(const Stream& s, const T& field, const Context& c) {
    Codec<T>::encode(s, field, c);
}

template <class T>
ZEL_IPC2_ALWAYS_INLINE void DecodeField(const Stream& s, T& field, const Context& c) {
    if constexpr (DecodesInto<T>::value) {
        Codec<T>::decodeInto(s, field, c);
    } else {
        field = Codec<T>::decode(s, c);
    }
}

// A record's fields in order: through their raw forms when every field has one, else field by
// field through the codecs.
template <class... T>
void EncodeFields(const Stream& s, [[maybe_unused]] const Context& c, const T&... fields) {
    if constexpr ((HasRaw<T>::value && ...)) {
        unsigned char* at = s->Extend((std::size_t{0} + ... + Raw<T>::bytes(fields)));
        (Raw<T>::put(at, fields), ...);
    } else {
        (EncodeField(s, fields, c), ...);
    }
}

template <class... T>
void DecodeFields(const Stream& s, [[maybe_unused]] const Context& c, T&... fields) {
    if constexpr ((HasRaw<T>::value && ...)) {
        proglibs::ipc2::ByteStream& stream = *s;
        Cursor cursor{stream.Data() + stream.Position(), stream.Data() + stream.Size(), stream};
        (Raw<T>::get(cursor, fields), ...);
        cursor.Sync();
    } else {
        (DecodeField(s, fields, c), ...);
    }
}

}  // namespace detail
}  // namespace zel::iface::aai
