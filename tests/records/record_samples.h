// One table of sample values for every record, shared by the record and wire tests: each record
// with every field set (Full), and with every optional field unset but the mandatory fields away
// from their defaults (Bare), so that a codec or comparison that drops or swaps a field shows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aai/marshallers.h"
#include "aai/types.h"
#include "datetime/datetime.h"
#include "ipc2/bytestream.h"
#include "userlogin/userlogin.h"

namespace aai_test {

using namespace zel::iface::aai;
namespace userlogin = zel::iface::userlogin;
namespace datetime = zel::iface::datetime;
using zel::proglibs::ipc2::ByteStream;

// Strings with a NUL and a byte above 0x7F: an encoder or printer that goes through c_str() or a
// signed char comparison gets them wrong.
inline std::string Binary(const char* prefix) {
    return std::string(prefix) + std::string("\0\xff", 2) + "end";
}

inline userlogin::LoggedInUser SampleUser() {
    return userlogin::LoggedInUser(userlogin::UserLoginId("alice", 7), userlogin::USERNAME_OPERATOR, "Alice A.",
                                   userlogin::PrivilegeList{1, 5, -3});
}

template <class R>
struct Sample;

template <>
struct Sample<LocalUser> {
    using Marshaller = LocalUserMarshaller;
    static LocalUser Full() {
        return LocalUser(1042, userlogin::USERNAME_ADMINISTRATOR, std::string("print-room-admin"), Binary("pw"),
                         "Margaret H. Lindqvist", "Facility printer administrator", "m.lindqvist@example.org", true,
                         true, true, std::string("EXAMPLE\\mlindqvist"));
    }
    static LocalUser Bare() {
        return LocalUser(std::nullopt, userlogin::USERNAME_SERVICE, std::nullopt, "pw", "full", "desc", "mail", true,
                         false, true, std::nullopt);
    }
};

template <>
struct Sample<Group> {
    using Marshaller = GroupMarshaller;
    static Group Full() {
        return Group(3, GROUPNAME_CUSTOM, std::string("printers"), "Print room", std::string("corp.example.org"),
                     std::string("CN=printers,DC=corp"), userlogin::PrivilegeList{1, 5, 9});
    }
    static Group Bare() {
        return Group(std::nullopt, GROUPNAME_DOMAIN, std::nullopt, "Print room", std::nullopt, std::nullopt,
                     userlogin::PrivilegeList{4});
    }
};

template <>
struct Sample<CardUser> {
    using Marshaller = CardUserMarshaller;
    static CardUser Full() {
        return CardUser("alice@corp", "Alice A.", std::string("9f86d081"), datetime::DateTime(2024, 1, 2, 3, 4, 5),
                        datetime::DateTime(2026, 12, 31, 23, 59, 59, 999999), std::string("04:A2:2B"));
    }
    static CardUser Bare() {
        return CardUser("alice@corp", "Alice A.", std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    }
};

template <>
struct Sample<AuthenticateUserNotAtMachineResult> {
    using Marshaller = AuthenticateUserNotAtMachineResultMarshaller;
    static AuthenticateUserNotAtMachineResult Full() {
        return AuthenticateUserNotAtMachineResult(
            true, AUTHENTICATIONFAILUREREASON_SMART_CARD_BLOCKED, 42, SampleUser(),
            UserMessageList{USERMESSAGE_OLD_PASSWORD, USERMESSAGE_DEFAULT_PASSWORD});
    }
    static AuthenticateUserNotAtMachineResult Bare() {
        return AuthenticateUserNotAtMachineResult(true, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    }
};

template <>
struct Sample<TestNfcCardResult> {
    using Marshaller = TestNfcCardResultMarshaller;
    static TestNfcCardResult Full() {
        return TestNfcCardResult("corp", DOMAINOPERATIONRESULT_SERVER_BUSY, std::string("alice@corp"),
                                 std::string("Alice"), 3, std::string("Printers"));
    }
    static TestNfcCardResult Bare() {
        return TestNfcCardResult("corp", DOMAINOPERATIONRESULT_SERVER_BUSY, std::nullopt, std::nullopt, std::nullopt,
                                 std::nullopt);
    }
};

template <>
struct Sample<TestSmartCardResult> {
    using Marshaller = TestSmartCardResultMarshaller;
    static TestSmartCardResult Full() {
        return TestSmartCardResult(true, AUTHENTICATIONFAILUREREASON_OTP_EXPIRED, PRIVILEGESOURCE_LOCAL_GROUP, 12,
                                   std::string("Alice"), DOMAINOPERATIONRESULT_INVALID_FILTER, std::string("corp"), 4,
                                   std::string("Printers"));
    }
    static TestSmartCardResult Bare() {
        return TestSmartCardResult(true, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                   std::nullopt, std::nullopt, std::nullopt);
    }
};

template <>
struct Sample<Domain> {
    using Marshaller = DomainMarshaller;
    static Domain Full() {
        return Domain("EXAMPLE-CORP", "Corporate directory for Building 4", "corp.example.org",
                      std::string("@corp.example.org"), std::string("ldap01.corp.example.org"), 636, false,
                      DOMAINAUTHENTICATIONSTRATEGY_ANONYMOUS, std::string("svc-printer-lookup"),
                      std::string("Lookup#Passw0rd!77"), std::string("OU=Staff,DC=corp,DC=example,DC=org"), 500, 30,
                      true, "(&(objectClass=user)(sAMAccountName=%u))", "displayName", "memberOf",
                      "(&(objectClass=group)(cn=Print*))", "sAMAccountName", "description", "distinguishedName", true,
                      "(&(objectClass=person)(mail=%s*))", "userPrincipalName",
                      "(&(objectClass=user)(employeeID=%c))");
    }
    static Domain Bare() {
        return Domain("EXAMPLE-CORP", "desc", "corp.example.org", std::nullopt, std::nullopt, std::nullopt,
                      std::nullopt, DOMAINAUTHENTICATIONSTRATEGY_AS_SPECIFIED_IN_CONFIG, std::nullopt, std::nullopt,
                      std::nullopt, 500, 30, true, "f1", "a1", "a2", "f2", "a3", "a4", "a5", true, "f3", "a6", "f4");
    }
};

template <>
struct Sample<DomainController> {
    using Marshaller = DomainControllerMarshaller;
    static DomainController Full() { return DomainController("dc1.corp", 389); }
    static DomainController Bare() { return Full(); }
};

template <>
struct Sample<DomainGroup> {
    using Marshaller = DomainGroupMarshaller;
    static DomainGroup Full() { return DomainGroup("Printers", "Print staff", "CN=Printers,DC=corp"); }
    static DomainGroup Bare() { return Full(); }
};

template <>
struct Sample<GetDomainGroupsResult> {
    using Marshaller = GetDomainGroupsResultMarshaller;
    static GetDomainGroupsResult Full() {
        return GetDomainGroupsResult(DOMAINOPERATIONRESULT_UNAVAILABLE, "corp.example.org",
                                     DomainGroupList{DomainGroup("a", "b", "c"), DomainGroup("d", "", "f")});
    }
    static GetDomainGroupsResult Bare() {
        return GetDomainGroupsResult(DOMAINOPERATIONRESULT_UNAVAILABLE, "corp.example.org", std::nullopt);
    }
};

template <>
struct Sample<KeyMaterial> {
    using Marshaller = KeyMaterialMarshaller;
    static KeyMaterial Full() { return KeyMaterial(Binary("public"), "nonce"); }
    static KeyMaterial Bare() { return Full(); }
};

template <>
struct Sample<ClusterInfo> {
    using Marshaller = ClusterInfoMarshaller;
    static ClusterInfo Full() { return ClusterInfo(Binary("key"), "cluster", "tag", "nonce"); }
    static ClusterInfo Bare() { return Full(); }
};

template <>
struct Sample<ClusterInfoResult> {
    using Marshaller = ClusterInfoResultMarshaller;
    static ClusterInfoResult Full() {
        return ClusterInfoResult(CLUSTERRESULT_INVALID_PARAMETERS, ClusterInfo("k", "c", "t", "n"));
    }
    static ClusterInfoResult Bare() { return ClusterInfoResult(CLUSTERRESULT_INVALID_PARAMETERS, std::nullopt); }
};

template <>
struct Sample<DecryptResult> {
    using Marshaller = DecryptResultMarshaller;
    static DecryptResult Full() { return DecryptResult(CLUSTERRESULT_INVALID_PARAMETERS, Binary("data")); }
    static DecryptResult Bare() { return DecryptResult(CLUSTERRESULT_INVALID_PARAMETERS, std::nullopt); }
};

template <>
struct Sample<Hotfolder> {
    using Marshaller = HotfolderMarshaller;
    static Hotfolder Full() { return Hotfolder("scans", "ocr", -5, "\\\\srv\\scans", "/dav/scans", "/var/scans"); }
    static Hotfolder Bare() {
        return Hotfolder("scans", "ocr", std::nullopt, "\\\\srv\\scans", "/dav/scans", "/var/scans");
    }
};

template <>
struct Sample<EmailRecipient> {
    using Marshaller = EmailRecipientMarshaller;
    static EmailRecipient Full() { return EmailRecipient(std::string("u17"), "a@corp", "Alice"); }
    static EmailRecipient Bare() { return EmailRecipient(std::nullopt, "a@corp", "Alice"); }
};

template <>
struct Sample<SettingItem> {
    using Marshaller = SettingItemMarshaller;
    static SettingItem Full() { return SettingItem("colour.mode", "auto"); }
    static SettingItem Bare() { return Full(); }
};

template <>
struct Sample<PossibleValues> {
    using Marshaller = PossibleValuesMarshaller;
    static PossibleValues Full() {
        return PossibleValues(SettingKeys{"mode", "depth"},
                              SettingValuesList{SettingValues{"auto", "mono"}, SettingValues{}, SettingValues{"8"}});
    }
    static PossibleValues Bare() { return Full(); }
};

using AllRecords =
    ::testing::Types<LocalUser, Group, CardUser, AuthenticateUserNotAtMachineResult, TestNfcCardResult,
                     TestSmartCardResult, Domain, DomainController, DomainGroup, GetDomainGroupsResult, KeyMaterial,
                     ClusterInfo, ClusterInfoResult, DecryptResult, Hotfolder, EmailRecipient, SettingItem,
                     PossibleValues>;

// Encoding through the public marshallers, with no connection and no brokers: no value of the data
// model holds an interface reference.
template <class Marshaller, class T>
std::shared_ptr<ByteStream> EncodeWith(const T& value) {
    auto stream = std::make_shared<ByteStream>();
    Marshaller::Encode(stream, value, nullptr, nullptr);
    return stream;
}

inline std::vector<std::uint8_t> BytesOf(const ByteStream& stream) {
    return std::vector<std::uint8_t>(stream.Data(), stream.Data() + stream.Size());
}

inline std::shared_ptr<ByteStream> StreamOf(const std::vector<std::uint8_t>& bytes) {
    return std::make_shared<ByteStream>(bytes.data(), bytes.size());
}

}  // namespace aai_test
