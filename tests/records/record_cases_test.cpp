// The particular cases of the records: ordering by the first differing field, optional fields,
// exact text forms, deep copies of nested data, and the fatal report of an unset field's getter.
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "record_samples.h"
#include "trace/trace.h"

namespace aai_test {
namespace {

template <class R>
void ExpectStrictlyLess(const R& a, const R& b) {
    SCOPED_TRACE(a.toString() + " < " + b.toString());
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(b > a);
    EXPECT_TRUE(a <= b);
    EXPECT_FALSE(a >= b);
}

// ---------------------------------------------------------------------------------------------
// Order

TEST(RecordOrder, UnsetFirstFieldSortsBeforeAnySetOneWhateverFollows) {
    LocalUser unset = Sample<LocalUser>::Full();
    unset.clearId();
    unset.setPassword("\xff\xff");
    LocalUser set = Sample<LocalUser>::Bare();
    set.setId(INT_MIN);
    ExpectStrictlyLess(unset, set);
}

TEST(RecordOrder, FirstDifferingFieldDecides) {
    ExpectStrictlyLess(DomainController("a", 9), DomainController("b", 1));
    ExpectStrictlyLess(DomainController("a", -1), DomainController("a", 0));
    // Strings compare as unsigned bytes, and a proper prefix is less.
    ExpectStrictlyLess(DomainController("a", 0), DomainController("\xff", 0));
    ExpectStrictlyLess(DomainController("ab", 5), DomainController("abc", 0));
    ExpectStrictlyLess(DomainController(std::string("a\0", 2), 5), DomainController("a\x01", 0));

    Domain first = Sample<Domain>::Full();
    Domain last = first;
    first.setNfcCardIdSearchFilter("a");
    last.setNfcCardIdSearchFilter("b");
    ExpectStrictlyLess(first, last);
}

TEST(RecordOrder, PrivilegesCompareAsSignedSequencesWithPrefixLess) {
    auto group = [](userlogin::PrivilegeList privileges) {
        Group g = Sample<Group>::Full();
        g.setPrivileges(std::move(privileges));
        return g;
    };
    ExpectStrictlyLess(group({1, 2}), group({1, 2, 3}));
    ExpectStrictlyLess(group({1, 2, 9}), group({1, 3}));
    ExpectStrictlyLess(group({-5}), group({1}));
    EXPECT_NE(group({}), group({0}));
}

TEST(RecordOrder, UnsetOptionalIsLessThanEvenAnEmptySetOne) {
    const DecryptResult unset(CLUSTERRESULT_SUCCESS, std::nullopt);
    ExpectStrictlyLess(unset, DecryptResult(CLUSTERRESULT_SUCCESS, std::string()));
    EXPECT_EQ(unset, DecryptResult(CLUSTERRESULT_SUCCESS, std::nullopt));
    EXPECT_FALSE(unset < DecryptResult());
    EXPECT_FALSE(DecryptResult() < unset);

    ExpectStrictlyLess(ClusterInfoResult(CLUSTERRESULT_SUCCESS, std::nullopt),
                       ClusterInfoResult(CLUSTERRESULT_SUCCESS, ClusterInfo()));
    ExpectStrictlyLess(ClusterInfoResult(CLUSTERRESULT_SUCCESS, ClusterInfo("z", "z", "z", "z")),
                       ClusterInfoResult(CLUSTERRESULT_INVALID_PARAMETERS, std::nullopt));
    // Nested records compare field by field too.
    ExpectStrictlyLess(ClusterInfoResult(CLUSTERRESULT_SUCCESS, ClusterInfo("k", "a", "z", "z")),
                       ClusterInfoResult(CLUSTERRESULT_SUCCESS, ClusterInfo("k", "b", "a", "a")));
}

TEST(RecordOrder, EnumerationsCompareByNumberAndListsLexicographically) {
    auto nfc = [](DomainOperationResult result) {
        return TestNfcCardResult("d", result, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    };
    // By text, "..._NO_SERVERS_DETECTED" would sort before "..._SUCCESS".
    ExpectStrictlyLess(nfc(DOMAINOPERATIONRESULT_SUCCESS), nfc(DOMAINOPERATIONRESULT_NO_SERVERS_DETECTED));
    ExpectStrictlyLess(nfc(static_cast<DomainOperationResult>(-1)), nfc(DOMAINOPERATIONRESULT_SUCCESS));
    ExpectStrictlyLess(PossibleValues(SettingKeys{"a"}, SettingValuesList{SettingValues{"x"}}),
                       PossibleValues(SettingKeys{"a"}, SettingValuesList{SettingValues{"x", ""}}));
    ExpectStrictlyLess(PossibleValues(SettingKeys{"a", "z"}, SettingValuesList{}),
                       PossibleValues(SettingKeys{"b"}, SettingValuesList{}));
}

// ---------------------------------------------------------------------------------------------
// Optional fields

TEST(RecordOptional, SetHasClearAndDefaultFollowTheFieldsState) {
    LocalUser user;
    EXPECT_FALSE(user.hasId());
    EXPECT_EQ(user.getOrDefaultId(5), 5);

    user.setId(0);  // zero is a value, not "unset"
    EXPECT_TRUE(user.hasId());
    EXPECT_EQ(user.getId(), 0);
    EXPECT_EQ(user.getOrDefaultId(5), 0);
    EXPECT_NE(user, LocalUser());
    EXPECT_NE(user.toString().find("; id=0;"), std::string::npos);

    user.clearId();
    user.clearId();
    EXPECT_FALSE(user.hasId());
    EXPECT_EQ(user, LocalUser());
    EXPECT_NE(user.toString().find("; id='none';"), std::string::npos);
}

TEST(RecordOptional, SetEmptyListDiffersFromUnset) {
    AuthenticateUserNotAtMachineResult set;
    set.setMessages(UserMessageList{});
    const AuthenticateUserNotAtMachineResult unset;
    EXPECT_NE(set, unset);
    ExpectStrictlyLess(unset, set);
    EXPECT_TRUE(set.getMessages().empty());
    EXPECT_EQ(unset.getOrDefaultMessages(UserMessageList{USERMESSAGE_OLD_PASSWORD}),
              UserMessageList{USERMESSAGE_OLD_PASSWORD});
}

// ---------------------------------------------------------------------------------------------
// Deep copies of what a record holds

TEST(RecordCopy, ChangingACopyNeverChangesItsSource) {
    struct Case {
        const char* what;
        std::function<void()> check;
    };
    const std::vector<Case> cases = {
        {"string field", [] {
             const LocalUser source = Sample<LocalUser>::Full();
             LocalUser copy = source;
             copy.setFullName("changed");
             copy.clearSamId();
             EXPECT_EQ(source, Sample<LocalUser>::Full());
         }},
        {"nested record", [] {
             const ClusterInfoResult source = Sample<ClusterInfoResult>::Full();
             ClusterInfoResult copy;
             copy = source;
             copy.setClusterInfo(ClusterInfo("x", "y", "z", "w"));
             EXPECT_EQ(source.getClusterInfo(), Sample<ClusterInfoResult>::Full().getClusterInfo());
         }},
        {"list of records", [] {
             const GetDomainGroupsResult source = Sample<GetDomainGroupsResult>::Full();
             GetDomainGroupsResult copy(source);
             copy.setGroups(DomainGroupList{});
             EXPECT_EQ(source.getGroups().size(), 2u);
         }},
        {"list of lists", [] {
             const PossibleValues source = Sample<PossibleValues>::Full();
             PossibleValues copy(source);
             SettingValuesList values = copy.getValues();
             values[0].push_back("extra");
             copy.setValues(values);
             EXPECT_EQ(source, Sample<PossibleValues>::Full());
             EXPECT_NE(copy, source);
         }},
        {"source changed after copying", [] {
             Group source = Sample<Group>::Full();
             const Group copy = source;
             source.setPrivileges(userlogin::PrivilegeList{});
             EXPECT_EQ(copy, Sample<Group>::Full());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.check();
    }
}

// ---------------------------------------------------------------------------------------------
// Text forms

TEST(RecordText, ExactForms) {
    AuthenticateUserNotAtMachineResult messages;
    messages.setMessages(UserMessageList{USERMESSAGE_OLD_PASSWORD, static_cast<UserMessage>(7)});
    GetDomainGroupsResult emptyGroups;
    emptyGroups.setGroups(DomainGroupList{});

    const std::vector<std::pair<std::string, std::string>> cases = {
        {DomainController().toString(), "DomainController; hostname=; port=0"},
        {DecryptResult().toString(), "DecryptResult; result=CLUSTERRESULT_SUCCESS; data='none'"},
        {TestNfcCardResult().toString(),
         "TestNfcCardResult; domain_name=; domain_authentication_result=DOMAINOPERATIONRESULT_SUCCESS; "
         "retrieved_user_principal_name='none'; retrieved_display_name='none'; "
         "retrieved_nof_groups_user_is_member_of='none'; first_group_user_is_member_of='none'"},
        {TestSmartCardResult().toString(),
         "TestSmartCardResult; pin_valid=0; pin_fail_reason='none'; privilege_source='none'; "
         "local_group_id='none'; retrieved_display_name='none'; domain_authentication_result='none'; "
         "domain_name='none'; retrieved_nof_groups_user_is_member_of='none'; first_group_user_is_member_of='none'"},
        {Domain().toString(),
         "Domain; domain_name=; description=; fully_qualified_domain_name=; user_name_suffix='none'; "
         "host_name='none'; port='none'; is_host_chosen_from_detected_list='none'; "
         "authentication_strategy=DOMAINAUTHENTICATIONSTRATEGY_CREDENTIALS_OF_LOGGED_IN_OPERATOR; "
         "login_user_name='none'; login_password='none'; search_base='none'; max_nof_entries=0; timeout=0; "
         "enable_for_operator_login=0; operator_login_search_filter=; display_name_attribute=; "
         "member_of_attribute=; groups_search_filter=; group_name_attribute=; group_description_attribute=; "
         "group_distinguished_name_attribute=; enable_for_scan_to_email=0; scan_to_email_search_filter=; "
         "email_address_attribute=; nfc_card_id_search_filter="},
        {Sample<LocalUser>::Bare().toString(),
         "LocalUser; id='none'; name=USERNAME_SERVICE; custom_name='none'; password=pw; full_name=full; "
         "description=desc; email_address=mail; enabled=1; use_otp=0; network_enabled=1; sam_id='none'"},
        {GetDomainGroupsResult().toString(),
         "GetDomainGroupsResult; result_code=DOMAINOPERATIONRESULT_SUCCESS; fully_qualified_domain_name=; "
         "groups='none'"},
        {emptyGroups.toString(),
         "GetDomainGroupsResult; result_code=DOMAINOPERATIONRESULT_SUCCESS; fully_qualified_domain_name=; "
         "groups=[]"},
        {Sample<ClusterInfoResult>::Full().toString(),
         "ClusterInfoResult; result=CLUSTERRESULT_INVALID_PARAMETERS; "
         "cluster_info=ClusterInfo; key=k; cluster_name=c; tag=t; sender_nonce=n"},
        {Sample<PossibleValues>::Full().toString(),
         "PossibleValues; sub_keys=[mode, depth]; values=[[auto, mono], [], [8]]"},
        {Sample<EmailRecipient>::Full().toString(),
         "EmailRecipient; user_id=u17; email_adddress=a@corp; user_display_name=Alice"},
        {messages.toString(),
         "AuthenticateUserNotAtMachineResult; succeeded=0; fail_reason='none'; session_id='none'; info='none'; "
         "messages=[USERMESSAGE_OLD_PASSWORD, unknown UserMessage]"},
        {DecryptResult(CLUSTERRESULT_SUCCESS, std::string("a\0b", 3)).toString(),
         std::string("DecryptResult; result=CLUSTERRESULT_SUCCESS; data=a\0b", 53)},
    };
    for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
}

TEST(ListText, BracketsAndCommaSeparatedElements) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {ToString(IdList{1, 2}), "[1, 2]"},
        {ToString(IntegerList{1, 2}), "[1, 2]"},
        {ToString(IdList{}), "[]"},
        {ToString(IntegerList{-7}), "[-7]"},
        {ToString(StringList{"a b", ""}), "[a b, ]"},
        {ToString(SettingKeys{"k"}), "[k]"},
        {ToString(PasswordComplexityErrors{PASSWORDCOMPLEXITYERROR_TOO_SHORT}), "[PASSWORDCOMPLEXITYERROR_TOO_SHORT]"},
        {ToString(SettingValuesList{SettingValues{"a", "b"}, SettingValues{}}), "[[a, b], []]"},
        {ToString(DomainControllerList{DomainController("h", 1), DomainController()}),
         "[DomainController; hostname=h; port=1, DomainController; hostname=; port=0]"},
        {ToString(SettingItems{SettingItem("k", "v")}), "[SettingItem; key=k; value=v]"},
        {ToString(LocalUserList{}), "[]"},
    };
    for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
}

TEST(PrimitiveText, DefaultStreamFormatting) {
    EXPECT_EQ(ToString<unsigned char>('A'), "A");
    EXPECT_EQ(ToString(-42), "-42");
    EXPECT_EQ(ToString(-9000000000LL), "-9000000000");
    EXPECT_EQ(ToString(3.14159265), "3.14159");
    EXPECT_EQ(ToString(1e20), "1e+20");
    EXPECT_EQ(ToString(true), "1");
    EXPECT_EQ(ToString(false), "0");
    EXPECT_EQ(ToString(std::string("x\0y", 3)), std::string("x\0y", 3));
}

// ---------------------------------------------------------------------------------------------
// The getter of an unset optional field

TEST(RecordOptional, UnsetGetterReportsAndThrowsOrGivesTheDefault) {
    struct Case {
        const char* function;
        std::function<bool()> getsDefault;
    };
    const std::vector<Case> cases = {
        {"zel::iface::aai::AuthenticateUserNotAtMachineResult::getSessionId",
         [] { return AuthenticateUserNotAtMachineResult().getSessionId() == 0; }},
        {"zel::iface::aai::AuthenticateUserNotAtMachineResult::getInfo",
         [] { return AuthenticateUserNotAtMachineResult().getInfo() == userlogin::LoggedInUser(); }},
        {"zel::iface::aai::AuthenticateUserNotAtMachineResult::getMessages",
         [] { return AuthenticateUserNotAtMachineResult().getMessages().empty(); }},
        {"zel::iface::aai::Domain::getLoginPassword", [] { return Domain().getLoginPassword().empty(); }},
        {"zel::iface::aai::Domain::getIsHostChosenFromDetectedList",
         [] { return !Domain().getIsHostChosenFromDetectedList(); }},
        {"zel::iface::aai::Group::getId", [] { return Group().getId() == 0; }},
        {"zel::iface::aai::CardUser::getBeginDate", [] { return CardUser().getBeginDate() == datetime::DateTime(); }},
        {"zel::iface::aai::ClusterInfoResult::getClusterInfo",
         [] { return ClusterInfoResult().getClusterInfo() == ClusterInfo(); }},
        {"zel::iface::aai::GetDomainGroupsResult::getGroups",
         [] { return GetDomainGroupsResult().getGroups().empty(); }},
        {"zel::iface::aai::TestSmartCardResult::getPinFailReason",
         [] { return TestSmartCardResult().getPinFailReason() == AUTHENTICATIONFAILUREREASON_OTP_PHONY; }},
        {"zel::iface::aai::EmailRecipient::getUserId", [] { return EmailRecipient().getUserId().empty(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        trace::Capture capture;
        // Thrown by default: no made-up value stands for a field that was never set.
        EXPECT_THROW(c.getsDefault(), trace::FatalError);
        capture.Clear();
        const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);
        EXPECT_TRUE(c.getsDefault());
        const auto reports = capture.FatalReports();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].text, "Optional not assigned");
        EXPECT_EQ(reports[0].function, c.function);
        EXPECT_EQ(reports[0].component, "AAI");
        EXPECT_EQ(reports[0].category, 1);
        EXPECT_EQ(reports[0].code, 11504);
        EXPECT_EQ(reports[0].file, "aaistructimpl.cpp");
        EXPECT_GT(reports[0].line, 0);
    }
}

TEST(RecordOptional, OnlyTheUnsetGetterEverReports) {
    trace::Capture capture;
    Domain domain;
    EXPECT_FALSE(domain.hasPort());
    EXPECT_EQ(domain.getOrDefaultPort(389), 389);
    domain.clearPort();
    EXPECT_EQ(domain.getTimeout(), 0);
    EXPECT_EQ(domain.getDomainName(), "");
    domain.setPort(389);
    EXPECT_EQ(domain.getPort(), 389);
    (void)Sample<Domain>::Full().toString();
    (void)Domain().toString();
    EXPECT_TRUE(capture.FatalReports().empty());
}

}  // namespace
}  // namespace aai_test
