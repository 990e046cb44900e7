// The exact bytes of the value encodings. Enumerations, list counts and presence bytes are raw;
// strings, ints and bools are whatever the runtime's marshallers write, and the sibling types
// whatever their libraries' marshallers write, so the expectations are built with those.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../records/record_samples.h"
#include "ipc2/marshallers.h"

namespace aai_test {
namespace {

namespace ipc2 = zel::proglibs::ipc2;
using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Raw(std::initializer_list<int> bytes) {
    Bytes out;
    for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

template <class F>
Bytes Written(F write) {
    auto stream = std::make_shared<ByteStream>();
    write(stream);
    return BytesOf(*stream);
}

Bytes Str(const std::string& s) {
    return Written([&](auto stream) { ipc2::StringMarshaller::Encode(stream, s, nullptr); });
}
Bytes Int(int v) {
    return Written([&](auto stream) { ipc2::IntMarshaller::Encode(stream, v, nullptr); });
}
Bytes Bool(bool v) {
    return Written([&](auto stream) { ipc2::BoolMarshaller::Encode(stream, v, nullptr); });
}
Bytes Name(userlogin::UserName v) {
    return Written([&](auto stream) { userlogin::UserNameMarshaller::Encode(stream, v, nullptr); });
}
Bytes Privileges(const userlogin::PrivilegeList& v) {
    return Written([&](auto stream) { userlogin::PrivilegeListMarshaller::Encode(stream, v, nullptr, nullptr); });
}
Bytes User(const userlogin::LoggedInUser& v) {
    return Written([&](auto stream) { userlogin::LoggedInUserMarshaller::Encode(stream, v, nullptr, nullptr); });
}
Bytes Date(const datetime::DateTime& v) {
    return Written([&](auto stream) { datetime::DateTimeMarshaller::Encode(stream, v, nullptr, nullptr); });
}

const Bytes kUnset = Raw({0});
const Bytes kSet = Raw({1});
Bytes Le32(std::uint32_t v) { return Raw({int(v & 0xff), int(v >> 8 & 0xff), int(v >> 16 & 0xff), int(v >> 24)}); }

struct Encoding {
    Bytes bytes;
    int size;
};

template <class M, class T>
Encoding Of(const T& value) {
    return {BytesOf(*EncodeWith<M>(value)), M::SizeOf(value)};
}

template <class M, class E>
Encoding OfEnum(E value) {
    auto stream = std::make_shared<ByteStream>();
    M::Encode(stream, value, nullptr);
    return {BytesOf(*stream), M::SizeOf(value)};
}

TEST(WireBytes, ExactEncodings) {
    struct Case {
        const char* what;
        std::function<Encoding()> encode;
        Bytes expected;
    };
    const Domain bare = Sample<Domain>::Bare();
    const Bytes domainHead = Str("EXAMPLE-CORP") + Str("desc") + Str("corp.example.org");
    const Bytes domainTail = Int(500) + Int(30) + Bool(true) + Str("f1") + Str("a1") + Str("a2") + Str("f2") +
                             Str("a3") + Str("a4") + Str("a5") + Bool(true) + Str("f3") + Str("a6") + Str("f4");
    const Bytes strategy = Le32(2);

    const std::vector<Case> cases = {
        {"DecryptResult, data unset",
         [] { return Of<DecryptResultMarshaller>(DecryptResult(CLUSTERRESULT_INVALID_PARAMETERS, std::nullopt)); },
         Raw({1, 0, 0, 0, 0})},
        {"DecryptResult, data set",
         [] { return Of<DecryptResultMarshaller>(DecryptResult(CLUSTERRESULT_INVALID_PARAMETERS, Binary("x"))); },
         Raw({1, 0, 0, 0, 1}) + Str(Binary("x"))},
        {"DecryptResult, data set empty",
         [] { return Of<DecryptResultMarshaller>(DecryptResult(CLUSTERRESULT_SUCCESS, std::string())); },
         Raw({0, 0, 0, 0, 1}) + Str("")},
        {"empty list", [] { return Of<IdListMarshaller>(IdList{}); }, Raw({0, 0, 0, 0})},
        {"UserMessage list 0, 2",
         [] { return Of<UserMessageListMarshaller>(UserMessageList{USERMESSAGE_DEFAULT_PASSWORD, USERMESSAGE_OLD_PASSWORD}); },
         Raw({2, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0})},
        {"IdList 1, 2", [] { return Of<IdListMarshaller>(IdList{1, 2}); }, Le32(2) + Int(1) + Int(2)},
        {"IntegerList 1, 2", [] { return Of<IntegerListMarshaller>(IntegerList{1, 2}); }, Le32(2) + Int(1) + Int(2)},
        {"StringList", [] { return Of<StringListMarshaller>(StringList{"a", ""}); }, Le32(2) + Str("a") + Str("")},
        {"vector of records",
         [] { return Of<DomainControllerListMarshaller>(DomainControllerList{DomainController("h", 389)}); },
         Le32(1) + Str("h") + Int(389)},
        {"enumeration value 100", [] { return OfEnum<GroupNameMarshaller>(static_cast<GroupName>(100)); },
         Raw({0x64, 0, 0, 0})},
        {"negative enumeration value", [] { return OfEnum<ResultMarshaller>(static_cast<Result>(-2)); },
         Raw({0xfe, 0xff, 0xff, 0xff})},
        {"default TestSmartCardResult", [] { return Of<TestSmartCardResultMarshaller>(TestSmartCardResult()); },
         Bool(false) + Raw({0, 0, 0, 0, 0, 0, 0, 0})},
        {"TestSmartCardResult, pin valid only",
         [] { return Of<TestSmartCardResultMarshaller>(Sample<TestSmartCardResult>::Bare()); },
         Bool(true) + Raw({0, 0, 0, 0, 0, 0, 0, 0})},
        {"TestSmartCardResult, all set",
         [] { return Of<TestSmartCardResultMarshaller>(Sample<TestSmartCardResult>::Full()); },
         Bool(true) + kSet + Le32(1) + kSet + Le32(1) + kSet + Int(12) + kSet + Str("Alice") + kSet + Le32(8) + kSet +
             Str("corp") + kSet + Int(4) + kSet + Str("Printers")},
        {"Domain, seven optionals unset", [&] { return Of<DomainMarshaller>(bare); },
         domainHead + kUnset + kUnset + kUnset + kUnset + strategy + kUnset + kUnset + kUnset + domainTail},
        {"Domain, port set to 0",
         [&] {
             Domain d = bare;
             d.setPort(0);
             return Of<DomainMarshaller>(d);
         },
         domainHead + kUnset + kUnset + kSet + Int(0) + kUnset + strategy + kUnset + kUnset + kUnset + domainTail},
        {"PossibleValues, nested lists",
         [] {
             return Of<PossibleValuesMarshaller>(
                 PossibleValues(SettingKeys{"k1", "k2"}, SettingValuesList{SettingValues{"v"}}));
         },
         Le32(2) + Str("k1") + Str("k2") + Le32(1) + Le32(1) + Str("v")},
        {"messages set empty",
         [] {
             AuthenticateUserNotAtMachineResult r;
             r.setMessages(UserMessageList{});
             return Of<AuthenticateUserNotAtMachineResultMarshaller>(r);
         },
         Bool(false) + kUnset + kUnset + kUnset + kSet + Le32(0)},
        {"messages unset",
         [] { return Of<AuthenticateUserNotAtMachineResultMarshaller>(AuthenticateUserNotAtMachineResult()); },
         Bool(false) + kUnset + kUnset + kUnset + kUnset},
        {"AuthenticateUserNotAtMachineResult, all set",
         [] { return Of<AuthenticateUserNotAtMachineResultMarshaller>(Sample<AuthenticateUserNotAtMachineResult>::Full()); },
         Bool(true) + kSet + Le32(35) + kSet + Int(42) + kSet + User(SampleUser()) + kSet + Le32(2) + Le32(2) +
             Le32(0)},
        {"GetDomainGroupsResult, groups set",
         [] {
             return Of<GetDomainGroupsResultMarshaller>(GetDomainGroupsResult(
                 DOMAINOPERATIONRESULT_UNAVAILABLE, "corp", DomainGroupList{DomainGroup("n", "d", "dn")}));
         },
         Le32(21) + Str("corp") + kSet + Le32(1) + Str("n") + Str("d") + Str("dn")},
        {"ClusterInfoResult, nested record",
         [] { return Of<ClusterInfoResultMarshaller>(Sample<ClusterInfoResult>::Full()); },
         Le32(1) + kSet + Str("k") + Str("c") + Str("t") + Str("n")},
        {"LocalUser, the sibling UserName",
         [] { return Of<LocalUserMarshaller>(Sample<LocalUser>::Bare()); },
         kUnset + Name(userlogin::USERNAME_SERVICE) + kUnset + Str("pw") + Str("full") + Str("desc") + Str("mail") +
             Bool(true) + Bool(false) + Bool(true) + kUnset},
        {"Group, the sibling PrivilegeList",
         [] { return Of<GroupMarshaller>(Sample<Group>::Full()); },
         kSet + Int(3) + Le32(9) + kSet + Str("printers") + Str("Print room") + kSet + Str("corp.example.org") +
             kSet + Str("CN=printers,DC=corp") + Privileges(userlogin::PrivilegeList{1, 5, 9})},
        {"CardUser, the sibling DateTime",
         [] { return Of<CardUserMarshaller>(Sample<CardUser>::Full()); },
         Str("alice@corp") + Str("Alice A.") + kSet + Str("9f86d081") + kSet +
             Date(datetime::DateTime(2024, 1, 2, 3, 4, 5)) + kSet +
             Date(datetime::DateTime(2026, 12, 31, 23, 59, 59, 999999)) + kSet + Str("04:A2:2B")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Encoding e = c.encode();
        EXPECT_EQ(e.bytes, c.expected);
        EXPECT_EQ(e.size, static_cast<int>(c.expected.size()));
    }
}

TEST(WireDecode, CountsBelowOneAreEmptyAndConsumeOnlyTheCount) {
    for (std::uint32_t count : {0xFFFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0u}) {
        SCOPED_TRACE(count);
        auto stream = StreamOf(Le32(count) + Raw({0xAA, 0xBB, 0xCC, 0xDD}));
        EXPECT_TRUE(IdListMarshaller::Decode(stream, nullptr, nullptr).empty());
        EXPECT_EQ(stream->Position(), 4u);
    }
    auto stream = StreamOf(Le32(0) + Str("corp") + kSet + Le32(0xFFFFFFFF));
    const GetDomainGroupsResult result = GetDomainGroupsResultMarshaller::Decode(stream, nullptr, nullptr);
    EXPECT_TRUE(result.hasGroups());
    EXPECT_TRUE(result.getGroups().empty());
    EXPECT_EQ(stream->Remaining(), 0u);
}

TEST(WireDecode, AnyNonZeroPresenceByteMeansSet) {
    for (int presence : {1, 2, 0x80, 0xFF}) {
        SCOPED_TRACE(presence);
        auto stream = StreamOf(Le32(1) + Raw({presence}) + Str("z"));
        const DecryptResult result = DecryptResultMarshaller::Decode(stream, nullptr, nullptr);
        EXPECT_EQ(result, DecryptResult(CLUSTERRESULT_INVALID_PARAMETERS, std::string("z")));
        EXPECT_EQ(stream->Remaining(), 0u);
    }
}

TEST(WireDecode, EnumerationNumbersPassUnchanged) {
    for (std::int32_t n : {100, -1, 11, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(n);
        auto stream = std::make_shared<ByteStream>();
        GroupNameMarshaller::Encode(stream, static_cast<GroupName>(n), nullptr);
        EXPECT_EQ(static_cast<std::int32_t>(GroupNameMarshaller::Decode(stream, nullptr)), n);

        const auto list = UserMessageListMarshaller::Decode(StreamOf(Le32(1) + Le32(static_cast<std::uint32_t>(n))),
                                                            nullptr, nullptr);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(static_cast<std::int32_t>(list[0]), n);
    }
    EXPECT_EQ(ToString(static_cast<GroupName>(100)), "unknown GroupName");
}

}  // namespace
}  // namespace aai_test
