// userlogin: text forms, ordering, and the encodings, including input written by a hostile peer.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "allocation_probe.h"
#include "ipc2/bytestream.h"
#include "ipc2/errors.h"
#include "userlogin/userlogin.h"

namespace {

using namespace zel::iface::userlogin;
using zel::proglibs::ipc2::ByteStream;
using zel::proglibs::ipc2::StreamError;
using Bytes = std::vector<unsigned char>;

template <class T>
std::string Text(const T& value) {
    std::ostringstream os;
    os << value;
    return os.str();
}

// One interface over the four marshallers (UserName's has no broker argument).
struct NameCodec {
    using Type = UserName;
    static void Encode(std::shared_ptr<ByteStream> s, UserName v) { UserNameMarshaller::Encode(s, v, nullptr); }
    static UserName Decode(std::shared_ptr<ByteStream> s) { return UserNameMarshaller::Decode(s, nullptr); }
    static int SizeOf(UserName v) { return UserNameMarshaller::SizeOf(v); }
};

template <class M, class T>
struct Codec {
    using Type = T;
    static void Encode(std::shared_ptr<ByteStream> s, const T& v) { M::Encode(s, v, nullptr, nullptr); }
    static T Decode(std::shared_ptr<ByteStream> s) { return M::Decode(s, nullptr, nullptr); }
    static int SizeOf(const T& v) { return M::SizeOf(v); }
};

using IdCodec = Codec<UserLoginIdMarshaller, UserLoginId>;
using PrivilegesCodec = Codec<PrivilegeListMarshaller, PrivilegeList>;
using UserCodec = Codec<LoggedInUserMarshaller, LoggedInUser>;

template <class C>
Bytes Encode(const typename C::Type& value) {
    auto s = std::make_shared<ByteStream>();
    C::Encode(s, value);
    return Bytes(s->Data(), s->Data() + s->Size());
}

template <class C>
typename C::Type Decode(const Bytes& bytes, std::size_t* left = nullptr) {
    auto s = std::make_shared<ByteStream>(bytes.data(), bytes.size());
    typename C::Type value = C::Decode(s);
    if (left != nullptr) *left = s->Remaining();
    return value;
}

// Every value survives the trip, SizeOf predicts the encoding, and a value followed by another
// decodes without taking the other's bytes.
template <class C>
void ExpectRoundTrips(const std::vector<typename C::Type>& values) {
    auto all = std::make_shared<ByteStream>();
    for (const auto& v : values) {
        const Bytes bytes = Encode<C>(v);
        EXPECT_EQ(static_cast<std::size_t>(C::SizeOf(v)), bytes.size()) << Text(v);
        std::size_t left = 99;
        EXPECT_EQ(Decode<C>(bytes, &left), v) << Text(v);
        EXPECT_EQ(left, 0u) << Text(v);
        C::Encode(all, v);
    }
    for (const auto& v : values) EXPECT_EQ(C::Decode(all), v) << Text(v);
    EXPECT_EQ(all->Remaining(), 0u);
}

// Cutting the encoding anywhere short of its end must be noticed.
template <class C>
void ExpectEveryTruncationThrows(const typename C::Type& value) {
    const Bytes full = Encode<C>(value);
    for (std::size_t n = 0; n < full.size(); ++n) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_THROW(Decode<C>(cut), StreamError) << Text(value) << " cut to " << n << " of " << full.size();
    }
}

// a[i] < a[j] exactly when i < j, equal exactly when i == j: a strict total order that agrees with
// equality. The right side is a copy so that equality cannot be decided by address.
template <class T>
void ExpectAscending(const std::vector<T>& a) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t j = 0; j < a.size(); ++j) {
            const T b = a[j];
            const int holds = (a[i] < b ? 1 : 0) + (a[i] == b ? 1 : 0) + (b < a[i] ? 1 : 0);
            EXPECT_EQ(holds, 1) << Text(a[i]) << " vs " << Text(b);
            EXPECT_EQ(a[i] < b, i < j) << Text(a[i]) << " < " << Text(b);
            EXPECT_EQ(a[i] == b, i == j) << Text(a[i]) << " == " << Text(b);
            EXPECT_EQ(a[i] != b, i != j) << Text(a[i]) << " != " << Text(b);
        }
    }
}

void PutLe32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Le32(std::uint32_t v) {
    Bytes b;
    PutLe32(b, v);
    return b;
}

Bytes Chars(const std::string& s) { return Bytes(s.begin(), s.end()); }

LoggedInUser Alice() { return LoggedInUser(UserLoginId("alice", 7), USERNAME_OPERATOR, "Alice A.", {1, 2}); }

}  // namespace

TEST(UserLoginText, Forms) {
    struct Case {
        std::string got;
        std::string want;
    } cases[] = {
        {Text(USERNAME_CUSTOM), "USERNAME_CUSTOM"},
        {Text(USERNAME_ADMINISTRATOR), "USERNAME_ADMINISTRATOR"},
        {Text(USERNAME_KEY_OPERATOR), "USERNAME_KEY_OPERATOR"},
        {Text(USERNAME_OPERATOR), "USERNAME_OPERATOR"},
        {Text(USERNAME_SERVICE), "USERNAME_SERVICE"},
        {Text(static_cast<UserName>(5)), "unknown UserName"},
        {Text(static_cast<UserName>(-1)), "unknown UserName"},
        {Text(UserLoginId("alice", 7)), "alice#7"},
        {Text(UserLoginId("", -1)), "#-1"},
        {Text(UserLoginId()), "#0"},
        {Text(PrivilegeList{}), "[]"},
        {Text(PrivilegeList{1}), "[1]"},
        {Text(PrivilegeList{1, 2}), "[1, 2]"},
        {Text(PrivilegeList{INT_MIN, 0, INT_MAX}), "[-2147483648, 0, 2147483647]"},
        {Text(Alice()), "LoggedInUser(alice#7, USERNAME_OPERATOR, Alice A., [1, 2])"},
        {Text(LoggedInUser()), "LoggedInUser(#0, USERNAME_CUSTOM, , [])"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(UserLoginOrder, UserLoginIdByNameThenSignedSession) {
    ExpectAscending<UserLoginId>({
        {"", 0}, {"", 1}, {"a", INT_MIN}, {"a", -5}, {"a", 0}, {"a", INT_MAX},
        // The name decides before the session does.
        {"ab", INT_MIN}, {"b", -1},
    });
}

TEST(UserLoginOrder, PrivilegeListElementwiseSignedWithPrefixFirst) {
    ExpectAscending<PrivilegeList>({
        {}, {INT_MIN}, {-1}, {-1, 0}, {0}, {0, 0}, {1}, {1, -5}, {1, 2}, {2},
    });
}

TEST(UserLoginOrder, LoggedInUserFieldByFieldInDeclarationOrder) {
    const UserLoginId a1("a", 1);
    ExpectAscending<LoggedInUser>({
        {a1, static_cast<UserName>(-1), "z", {9}},
        {a1, USERNAME_CUSTOM, "z", {9}},
        {a1, USERNAME_ADMINISTRATOR, "", {}},
        {a1, USERNAME_ADMINISTRATOR, "x", {}},
        {a1, USERNAME_ADMINISTRATOR, "x", {-1}},
        {a1, USERNAME_ADMINISTRATOR, "x", {0}},
        {a1, USERNAME_OPERATOR, "", {}},
        {UserLoginId("a", 2), USERNAME_CUSTOM, "", {}},
        {UserLoginId("b", 0), USERNAME_CUSTOM, "", {}},
    });
}

TEST(UserLoginMarshallers, ExactBytes) {
    EXPECT_EQ(Encode<NameCodec>(USERNAME_SERVICE), Le32(4));
    EXPECT_EQ(Encode<NameCodec>(static_cast<UserName>(-2)), Le32(0xFFFFFFFE));
    EXPECT_EQ(Encode<IdCodec>(UserLoginId("ab", 7)), Le32(2) + Chars("ab") + Le32(7));
    EXPECT_EQ(Encode<PrivilegesCodec>(PrivilegeList{1, -2}), Le32(2) + Le32(1) + Le32(0xFFFFFFFE));
    EXPECT_EQ(Encode<PrivilegesCodec>(PrivilegeList{}), Le32(0));
    EXPECT_EQ(Encode<UserCodec>(LoggedInUser(UserLoginId("a", 1), USERNAME_OPERATOR, "B", {5})),
              Le32(1) + Chars("a") + Le32(1) + Le32(3) + Le32(1) + Chars("B") + Le32(1) + Le32(5));
}

TEST(UserLoginMarshallers, RoundTrip) {
    const std::string binary("a\0b\xff", 4);
    const std::string large(100000, 'n');
    PrivilegeList many;
    for (int i = -500; i < 500; ++i) many.push_back(i * 4099);

    ExpectRoundTrips<NameCodec>({USERNAME_CUSTOM, USERNAME_ADMINISTRATOR, USERNAME_KEY_OPERATOR, USERNAME_OPERATOR,
                                 USERNAME_SERVICE, static_cast<UserName>(INT_MAX), static_cast<UserName>(INT_MIN)});
    ExpectRoundTrips<IdCodec>({UserLoginId(), UserLoginId("alice", 7), UserLoginId(binary, INT_MIN),
                               UserLoginId(large, INT_MAX), UserLoginId("Zoë", -1)});
    ExpectRoundTrips<PrivilegesCodec>({PrivilegeList{}, PrivilegeList{0}, PrivilegeList{INT_MIN, INT_MAX}, many});
    ExpectRoundTrips<UserCodec>({LoggedInUser(), Alice(),
                                 LoggedInUser(UserLoginId(binary, -3), static_cast<UserName>(42), large, many),
                                 LoggedInUser(UserLoginId("svc", 0), USERNAME_SERVICE, binary, {})});
}

TEST(UserLoginMarshallers, EveryTruncationThrowsStreamError) {
    ExpectEveryTruncationThrows<NameCodec>(USERNAME_ADMINISTRATOR);
    ExpectEveryTruncationThrows<IdCodec>(UserLoginId("alice", 7));
    ExpectEveryTruncationThrows<IdCodec>(UserLoginId("", 7));
    ExpectEveryTruncationThrows<PrivilegesCodec>(PrivilegeList{1, 2, 3});
    ExpectEveryTruncationThrows<PrivilegesCodec>(PrivilegeList{});
    ExpectEveryTruncationThrows<UserCodec>(Alice());
    ExpectEveryTruncationThrows<UserCodec>(LoggedInUser());
}

// Counts and lengths are the peer's word; none may size an allocation before the bytes behind it
// have arrived. 0x40000001 elements of 4 bytes would wrap to 4 bytes in 32-bit arithmetic.
TEST(UserLoginMarshallers, HostileCountsThrowWithoutAllocating) {
    const Bytes spare = Le32(1) + Le32(2);
    struct Case {
        const char* what;
        Bytes bytes;
        int codec;  // 0 ids, 1 privileges, 2 users
    } cases[] = {
        {"privilege count 0x7FFFFFFF", Le32(0x7FFFFFFF) + spare, 1},
        {"privilege count 0x40000001", Le32(0x40000001) + Le32(1), 1},
        {"privilege count -1", Le32(0xFFFFFFFF) + spare, 1},
        {"privilege count INT_MIN", Le32(0x80000000) + spare, 1},
        {"privilege count one past the data", Le32(3) + spare, 1},
        {"login name length 0x7FFFFFFF", Le32(0x7FFFFFFF) + Chars("alice") + spare, 0},
        {"login name length -1", Le32(0xFFFFFFFF) + Chars("alice") + spare, 0},
        {"display name length 0x7FFFFFFF",
         Le32(1) + Chars("a") + Le32(1) + Le32(3) + Le32(0x7FFFFFFF) + Chars("Alice") + spare, 2},
        {"user privilege count 0x7FFFFFFF",
         Le32(1) + Chars("a") + Le32(1) + Le32(3) + Le32(1) + Chars("A") + Le32(0x7FFFFFFF) + spare, 2},
    };
    for (const Case& c : cases) {
        auto s = std::make_shared<ByteStream>(c.bytes.data(), c.bytes.size());
        allocation_probe::Reset();
        switch (c.codec) {
            case 0: EXPECT_THROW(IdCodec::Decode(s), StreamError) << c.what; break;
            case 1: EXPECT_THROW(PrivilegesCodec::Decode(s), StreamError) << c.what; break;
            default: EXPECT_THROW(UserCodec::Decode(s), StreamError) << c.what; break;
        }
        EXPECT_LT(allocation_probe::Largest(), 4096u) << c.what;
    }
}

TEST(UserLoginMarshallers, HostileCountMessageNamesCountAndBytesLeft) {
    const Bytes bytes = Le32(0x7FFFFFFF) + Le32(1) + Le32(2);
    auto s = std::make_shared<ByteStream>(bytes.data(), bytes.size());
    try {
        PrivilegesCodec::Decode(s);
        FAIL() << "decoded a count of 0x7FFFFFFF from 8 bytes";
    } catch (const StreamError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("2147483647"), std::string::npos) << what;
        EXPECT_NE(what.find(" 8 "), std::string::npos) << what;
    }
}
