// The enumerations' text forms: every value of every enumeration formats and parses back, numbers
// outside a table print as "unknown <Enum>", parsing accepts exact texts only and reports the rest,
// and operator>> reads the stream's whole text without touching the stream.
#include <cctype>
#include <climits>
#include <cstdint>
#include <iomanip>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aai/types.h"
#include "trace/trace.h"

namespace {

using namespace zel::iface::aai;

struct EnumCase {
    std::string name;
    std::int32_t count;
    std::string last;  // the text of value count - 1
    std::string (*text)(std::int32_t);
    std::int32_t (*parse)(const std::string&);
};

template <class E>
EnumCase Case(std::string name, std::int32_t count, std::string last) {
    return {std::move(name), count, std::move(last),
            [](std::int32_t n) { return ToString(static_cast<E>(n)); },
            [](const std::string& s) { return static_cast<std::int32_t>(FromString<E>(s)); }};
}

const std::vector<EnumCase>& AllEnums() {
    static const std::vector<EnumCase> cases = {
        Case<AuthenticationFailureReason>("AuthenticationFailureReason", 42,
                                          "AUTHENTICATIONFAILUREREASON_NO_IDENTITY_CERTIFICATE"),
        Case<DomainOperationResult>("DomainOperationResult", 28,
                                    "DOMAINOPERATIONRESULT_CANNOT_USE_CREDENTIALS_OF_LOGGED_IN_OPERATOR"),
        Case<GroupName>("GroupName", 11, "GROUPNAME_DOMAIN"),
        Case<HotfolderResult>("HotfolderResult", 8, "HOTFOLDERRESULT_FAILED_OTHER_ERROR"),
        Case<PasswordComplexityError>("PasswordComplexityError", 5,
                                      "PASSWORDCOMPLEXITYERROR_NOT_TYPABLE_IN_LOCAL_USER_INTERFACE"),
        Case<AuthenticationMode>("AuthenticationMode", 3, "AUTHENTICATIONMODE_LIMITED_ACCESS"),
        Case<CardStatus>("CardStatus", 4, "CARDSTATUS_REMOVED"),
        Case<ChangePasswordFailureReason>("ChangePasswordFailureReason", 3,
                                          "CHANGEPASSWORDFAILUREREASON_USER_DISABLED"),
        Case<ClusterResult>("ClusterResult", 2, "CLUSTERRESULT_INVALID_PARAMETERS"),
        Case<DomainAuthenticationStrategy>("DomainAuthenticationStrategy", 3,
                                           "DOMAINAUTHENTICATIONSTRATEGY_AS_SPECIFIED_IN_CONFIG"),
        Case<EditDomainResult>("EditDomainResult", 3, "EDITDOMAINRESULT_FAILED_DOMAIN_NO_LONGER_EXISTS"),
        Case<EditGroupMembershipResult>("EditGroupMembershipResult", 3, "EDITGROUPMEMBERSHIPRESULT_USER_NOT_FOUND"),
        Case<EditGroupResult>("EditGroupResult", 3, "EDITGROUPRESULT_GROUP_NOT_FOUND"),
        Case<EditUserResult>("EditUserResult", 3, "EDITUSERRESULT_USER_NOT_FOUND"),
        Case<EncryptionType>("EncryptionType", 2, "ENCRYPTIONTYPE_TWO_WAY"),
        Case<PasswordCheckResult>("PasswordCheckResult", 4, "PASSWORDCHECKRESULT_OTP_PHONY"),
        Case<PrivilegeSource>("PrivilegeSource", 2, "PRIVILEGESOURCE_LOCAL_GROUP"),
        Case<Result>("Result", 4, "RESULT_WRITE_ERROR"),
        Case<UserMessage>("UserMessage", 3, "USERMESSAGE_OLD_PASSWORD"),
        Case<ValidateNetworkUsernameResult>("ValidateNetworkUsernameResult", 4,
                                            "VALIDATENETWORKUSERNAMERESULT_FAILED_OTHER_ERROR"),
    };
    return cases;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

TEST(EnumText, EveryValueFormatsUnderItsPrefixAndParsesBack) {
    ASSERT_EQ(AllEnums().size(), 20u);
    std::set<std::string> seen;
    trace::Capture capture;
    for (const EnumCase& e : AllEnums()) {
        SCOPED_TRACE(e.name);
        for (std::int32_t n = 0; n < e.count; ++n) {
            const std::string text = e.text(n);
            EXPECT_EQ(text.rfind(Upper(e.name) + "_", 0), 0u) << text;
            EXPECT_EQ(e.parse(text), n) << text;
            EXPECT_TRUE(seen.insert(text).second) << text << " appears twice";
        }
        EXPECT_EQ(e.text(e.count - 1), e.last);
    }
    EXPECT_TRUE(capture.FatalReports().empty());
}

TEST(EnumText, NumbersOutsideTheTablePrintAsUnknown) {
    for (const EnumCase& e : AllEnums()) {
        for (std::int32_t n : {e.count, e.count + 1, -1, INT32_MIN, INT32_MAX}) {
            EXPECT_EQ(e.text(n), "unknown " + e.name) << n;
        }
    }
}

TEST(EnumText, SameEnumeratorPartsAreDistinctValuesPerEnumeration) {
    EXPECT_EQ(FromString<PasswordCheckResult>("PASSWORDCHECKRESULT_OTP_PHONY"), 3);
    EXPECT_EQ(FromString<AuthenticationFailureReason>("AUTHENTICATIONFAILUREREASON_OTP_PHONY"), 0);
    EXPECT_EQ(FromString<DomainOperationResult>("DOMAINOPERATIONRESULT_NO_SERVERS_DETECTED"), 1);
    EXPECT_EQ(FromString<AuthenticationFailureReason>("AUTHENTICATIONFAILUREREASON_NO_SERVERS_DETECTED"), 5);
    EXPECT_EQ(FromString<EditUserResult>("EDITUSERRESULT_USER_NOT_FOUND"), EDITUSERRESULT_USER_NOT_FOUND);
    EXPECT_EQ(ToString(GROUPNAME_DOMAIN), "GROUPNAME_DOMAIN");
    EXPECT_EQ(static_cast<int>(GROUPNAME_DOMAIN), 10);
}

TEST(EnumText, InsertedAsOneStringSoWidthAndFillApply) {
    std::ostringstream os;
    os << std::setw(25) << std::setfill('*') << CLUSTERRESULT_SUCCESS << '|' << std::setw(22)
       << static_cast<ClusterResult>(9) << '|' << std::left << std::setw(8) << RESULT_NO_ERROR;
    EXPECT_EQ(os.str(), "****CLUSTERRESULT_SUCCESS|*unknown ClusterResult|RESULT_NO_ERROR");
}

// Anything but an exact text is one fatal report, with the text as an argument of the format
// (never as the format): thrown by default, so that no value stands for a text that names none;
// where reports return, the first value.
TEST(EnumParse, InexactTextsAreReportedAndThrownOrGiveTheFirstValue) {
    struct Bad {
        std::string input;
        std::string reported;  // what the report's text ends with
    };
    const std::vector<Bad> bad = {
        {"edituserresult_user_not_found", "edituserresult_user_not_found"},
        {" EDITUSERRESULT_SUCCESS", " EDITUSERRESULT_SUCCESS"},
        {"EDITUSERRESULT_USER_NOT_FOUND ", "EDITUSERRESULT_USER_NOT_FOUND "},
        {"2", "2"},
        {"EDITUSERRESULT_USER", "EDITUSERRESULT_USER"},
        {"unknown EditUserResult", "unknown EditUserResult"},
        {"%s%n%x", "%s%n%x"},
        {std::string("EDITUSERRESULT_USER_NOT_FOUND\0", 30), "EDITUSERRESULT_USER_NOT_FOUND"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.input);
        trace::Capture capture;
        try {
            FromString<EditUserResult>(b.input);
            ADD_FAILURE() << "an inexact text gave a value";
        } catch (const trace::FatalError& e) {
            EXPECT_EQ(e.what(), "Value is not a EditUserResult: " + b.reported);
        }
        {
            const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);
            EXPECT_EQ(FromString<EditUserResult>(b.input), EDITUSERRESULT_SUCCESS);
        }
        const auto reports = capture.FatalReports();
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_EQ(reports[0].text, "Value is not a EditUserResult: " + b.reported);
        EXPECT_EQ(reports[0].function, "zel::iface::aai::FromString");
        EXPECT_EQ(reports[0].component, "AAI");
        EXPECT_EQ(reports[0].category, 1);
        EXPECT_EQ(reports[0].code, 11504);
    }
}

TEST(EnumParse, EmptyTextReportsWithTheEnumerationsName) {
    trace::Capture capture;
    const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);
    EXPECT_EQ(FromString<ClusterResult>(""), CLUSTERRESULT_SUCCESS);
    const auto reports = capture.FatalReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text, "Value is not a ClusterResult: ");
}

TEST(EnumParse, ExtractionReadsTheWholeTextAndLeavesTheStreamAlone) {
    trace::Capture capture;
    std::istringstream is("CARDSTATUS_REMOVED");
    CardStatus status = CARDSTATUS_READING;
    const auto position = is.tellg();
    const auto state = is.rdstate();
    EXPECT_EQ(&(is >> status), static_cast<std::istream*>(&is));
    EXPECT_EQ(status, CARDSTATUS_REMOVED);
    status = CARDSTATUS_READ;
    is >> status;
    EXPECT_EQ(status, CARDSTATUS_REMOVED);
    EXPECT_EQ(is.tellg(), position);
    EXPECT_EQ(is.rdstate(), state);
    EXPECT_TRUE(capture.FatalReports().empty());

    // What has been read already makes no difference: the text is the buffer's, all of it.
    std::istringstream partly("CARDSTATUS_READ");
    EXPECT_EQ(partly.get(), 'C');
    partly >> status;
    EXPECT_EQ(status, CARDSTATUS_READ);
    EXPECT_EQ(partly.tellg(), std::streampos(1));

    // An unknown text is reported: thrown by default, the value left alone; where reports return,
    // the first value.
    std::istringstream unknown("CARDSTATUS_GONE");
    status = CARDSTATUS_REMOVED;
    EXPECT_THROW(unknown >> status, trace::FatalError);
    EXPECT_EQ(status, CARDSTATUS_REMOVED);
    {
        const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);
        unknown >> status;
    }
    EXPECT_EQ(status, CARDSTATUS_READING);
    EXPECT_TRUE(unknown.good());
    EXPECT_EQ(capture.FatalReports().size(), 2u);
}

}  // namespace
