// Typed from the method tables of the interfaces' documentation, one row per method.
#include "method_table.h"

#include <stdexcept>

namespace aai_test {

namespace {

constexpr bool T = true;   // Send flag true / has a result
constexpr bool F = false;  // Send flag false / void

#define M(I, method, id, sendFlag, hasResult) \
    MethodRow { #I, #method, id, sendFlag, hasResult, Bind(&aai::I::method) }

#define I(I, wire, releaseId, lastId, home)                                                              \
    InterfaceRow {                                                                                       \
        #I, wire, releaseId, lastId, home, [](const HandlerPtr& handler, const Brokers& brokers) {        \
            return MakeStub<aai::I>(nullptr, 31, handler, brokers, nullptr);                             \
        }                                                                                                \
    }

constexpr bool kService = true;
constexpr bool kClient = false;

}  // namespace

const std::vector<MethodRow>& Methods() {
    static const std::vector<MethodRow> rows = {
        M(IAAService, registerClient, 2, T, T),
        M(IAAService, getSettingsServer, 3, T, T),

        M(IServerSession, closeSession, 5, T, F),
        M(IServerSession, getPasswordHandler, 6, T, T),
        M(IServerSession, getUsersAndGroupsServer, 7, T, T),
        M(IServerSession, getClusterSecurityServer, 8, T, T),
        M(IServerSession, getEmailAddressServer, 9, T, T),
        M(IServerSession, getDomainConfigurator, 10, T, T),
        M(IServerSession, getHotfolderServer, 11, T, T),

        M(ISettings, getSetting, 13, T, T),
        M(ISettings, setSetting, 14, T, F),
        M(ISettings, getPossibleValues, 15, T, T),

        M(IPasswordHandler, encrypt, 17, F, T),
        M(IPasswordHandler, decrypt, 18, F, T),
        M(IPasswordHandler, validatePassword, 19, F, T),
        M(IPasswordHandler, getEncryptionType, 20, F, T),

        M(IClusterSecurityServer, getName, 22, T, T),
        M(IClusterSecurityServer, getKeyMaterial, 23, T, T),
        M(IClusterSecurityServer, exportClusterInfoForKeyExchange, 24, T, T),
        M(IClusterSecurityServer, importClusterInfoFromKeyExchange, 25, T, T),
        M(IClusterSecurityServer, generateNewClusterInfo, 26, T, T),
        M(IClusterSecurityServer, importClusterInfo, 27, T, T),
        M(IClusterSecurityServer, signData, 28, T, T),
        M(IClusterSecurityServer, isSignatureValid, 29, T, T),
        M(IClusterSecurityServer, encryptData, 30, T, T),
        M(IClusterSecurityServer, decryptData, 31, T, T),

        M(IEmailAddressServer, addEmailAddresses, 33, T, F),
        M(IEmailAddressServer, removeEmailAddresses, 34, T, F),
        M(IEmailAddressServer, importEmailAddresses, 35, T, T),
        M(IEmailAddressServer, exportEmailAddresses, 36, T, T),
        M(IEmailAddressServer, getEmailAddresses, 37, T, F),

        M(IGetEmailAddressesReplyHandler, onGetEmailAddressesResult, 39, T, F),
        M(IGetEmailAddressesReplyHandler, onEmailAddresses, 40, T, F),

        M(IUsersAndGroupsServer, registerNotifications, 42, T, F),
        M(IUsersAndGroupsServer, unregisterNotifications, 43, T, F),
        M(IUsersAndGroupsServer, addUser, 44, F, F),
        M(IUsersAndGroupsServer, deleteUsers, 45, T, F),
        M(IUsersAndGroupsServer, editUser, 46, F, F),
        M(IUsersAndGroupsServer, addGroupMembership, 47, T, F),
        M(IUsersAndGroupsServer, removeGroupMembership, 48, T, F),
        M(IUsersAndGroupsServer, addGroup, 49, T, F),
        M(IUsersAndGroupsServer, deleteGroups, 50, T, F),
        M(IUsersAndGroupsServer, editGroup, 51, T, F),
        M(IUsersAndGroupsServer, authenticateUser, 52, F, F),
        M(IUsersAndGroupsServer, requestExternalUser, 53, T, F),
        M(IUsersAndGroupsServer, requestById, 54, T, F),
        M(IUsersAndGroupsServer, signalById, 55, T, F),
        M(IUsersAndGroupsServer, createNonce, 56, T, T),
        M(IUsersAndGroupsServer, authenticateUserNotAtMachine, 57, F, F),
        M(IUsersAndGroupsServer, authenticateUserNotAtMachineSync, 58, F, T),
        M(IUsersAndGroupsServer, isAnyUserAllowedToAccessJob, 59, T, T),
        M(IUsersAndGroupsServer, isUserAllowedToAccessJob, 60, T, T),
        M(IUsersAndGroupsServer, changePassword, 61, F, F),
        M(IUsersAndGroupsServer, getPasswordResetToken, 62, F, T),
        M(IUsersAndGroupsServer, isPasswordResetTokenValid, 63, T, T),
        M(IUsersAndGroupsServer, resetPassword, 64, F, F),
        M(IUsersAndGroupsServer, checkPasswordComplexity, 65, F, T),
        M(IUsersAndGroupsServer, getUserPrincipalName, 66, T, T),
        M(IUsersAndGroupsServer, validateNetworkUsername, 67, T, T),
        M(IUsersAndGroupsServer, setAuthenticationMode, 68, T, F),
        M(IUsersAndGroupsServer, setFlag1, 69, T, F),
        M(IUsersAndGroupsServer, setValue1, 70, T, F),
        M(IUsersAndGroupsServer, setFlag2, 71, T, F),
        M(IUsersAndGroupsServer, setValue2, 72, T, F),
        M(IUsersAndGroupsServer, setFlag3, 73, T, F),
        M(IUsersAndGroupsServer, setFlag4, 74, T, F),
        M(IUsersAndGroupsServer, setValue3, 75, T, F),
        M(IUsersAndGroupsServer, setFlag5, 76, T, F),
        M(IUsersAndGroupsServer, setValue4, 77, T, F),
        M(IUsersAndGroupsServer, setValue5, 78, T, F),
        M(IUsersAndGroupsServer, setValue6, 79, T, F),
        M(IUsersAndGroupsServer, setFlagAndValue, 80, T, F),
        M(IUsersAndGroupsServer, setFlag6, 81, T, F),
        M(IUsersAndGroupsServer, testSmartCard, 82, F, F),
        M(IUsersAndGroupsServer, setFlag7, 83, T, F),
        M(IUsersAndGroupsServer, testNfcCard, 84, F, F),
        M(IUsersAndGroupsServer, testNfcCardPinCode, 85, F, F),

        M(ITestNfcCardPinCodeReplyHandler, onTestNfcCardPinCodeResult, 87, T, F),
        M(ITestSmartCardReplyHandler, onTestSmartCardResult, 89, T, F),
        M(ITestNfcCardReplyHandler, onTestNfcCardResults, 91, T, F),
        M(IChangePasswordReplyHandler, onPasswordChanged, 93, T, F),
        M(IChangePasswordReplyHandler, onChangePasswordFailed, 94, T, F),

        M(IUsersAndGroupsNotifications, userListChanged, 96, F, F),
        M(IUsersAndGroupsNotifications, userChanged, 97, F, F),
        M(IUsersAndGroupsNotifications, usersDeleted, 98, T, F),
        M(IUsersAndGroupsNotifications, cardStatusChanged, 99, T, F),
        M(IUsersAndGroupsNotifications, groupMembershipChanged, 100, T, F),
        M(IUsersAndGroupsNotifications, groupListChanged, 101, T, F),
        M(IUsersAndGroupsNotifications, groupChanged, 102, T, F),
        M(IUsersAndGroupsNotifications, groupsDeleted, 103, T, F),
        M(IUsersAndGroupsNotifications, userLoggedIn, 104, T, F),
        M(IUsersAndGroupsNotifications, userLoggedOut, 105, T, F),
        M(IUsersAndGroupsNotifications, authenticationModeChanged, 106, T, F),
        M(IUsersAndGroupsNotifications, flag1Changed, 107, T, F),
        M(IUsersAndGroupsNotifications, value1Changed, 108, T, F),
        M(IUsersAndGroupsNotifications, flag2Changed, 109, T, F),
        M(IUsersAndGroupsNotifications, value2Changed, 110, T, F),
        M(IUsersAndGroupsNotifications, flag3Changed, 111, T, F),
        M(IUsersAndGroupsNotifications, flag4Changed, 112, T, F),
        M(IUsersAndGroupsNotifications, value3Changed, 113, T, F),
        M(IUsersAndGroupsNotifications, flag5Changed, 114, T, F),
        M(IUsersAndGroupsNotifications, value4Changed, 115, T, F),
        M(IUsersAndGroupsNotifications, value5Changed, 116, T, F),
        M(IUsersAndGroupsNotifications, value6Changed, 117, T, F),
        M(IUsersAndGroupsNotifications, flagAndValueChanged, 118, T, F),
        M(IUsersAndGroupsNotifications, flag6Changed, 119, T, F),
        M(IUsersAndGroupsNotifications, flag7Changed, 120, T, F),

        M(IEditGroupMembershipReplyHandler, onEditGroupMembershipResult, 122, T, F),
        M(IEditUserReplyHandler, onEditUserResult, 124, T, F),
        M(IEditGroupReplyHandler, onEditGroupResult, 126, T, F),
        M(IReplyHandler, onDone, 128, T, F),
        M(IExternalUserReplyHandler, onExternalUser, 130, T, F),
        M(IAuthenticationReplyHandler, onAuthenticated, 132, T, F),
        M(IAuthenticationReplyHandler, onAuthenticationFailed, 133, T, F),

        M(IDomainConfigurator, registerNotifications, 135, T, F),
        M(IDomainConfigurator, unregisterNotifications, 136, T, F),
        M(IDomainConfigurator, getDomainControllers, 137, T, F),
        M(IDomainConfigurator, addDomain, 138, F, F),
        M(IDomainConfigurator, editDomain, 139, F, F),
        M(IDomainConfigurator, deleteDomains, 140, T, F),
        M(IDomainConfigurator, testDomain, 141, F, F),
        M(IDomainConfigurator, authenticateDomainUser, 142, F, F),
        M(IDomainConfigurator, getEmailAddresses, 143, T, F),
        M(IDomainConfigurator, getEmailAddressesWithLogin, 144, F, F),
        M(IDomainConfigurator, getDomainGroups, 145, F, F),

        M(IDomainNotifications, domainAdded, 147, F, F),
        M(IDomainNotifications, domainChanged, 148, F, F),
        M(IDomainNotifications, domainsDeleted, 149, T, F),
        M(IGetDomainControllersReplyHandler, onDomainControllers, 151, T, F),
        M(IEditDomainReplyHandler, onEditDomainResult, 153, T, F),
        M(ITestDomainReplyHandler, onTestDomainResult, 155, T, F),
        M(IAuthenticateUserReplyHandler, onUserAuthenticated, 157, T, F),
        M(IAuthenticateUserReplyHandler, onAuthenticateUserResult, 158, T, F),
        M(IGetDomainGroupsReplyHandler, onDomainGroups, 160, T, F),

        M(IHotfolderReplyHandler, onHotfolderResult, 162, T, F),

        M(IHotfolderNotifications, hotfolderAdded, 164, T, F),
        M(IHotfolderNotifications, hotfolderDeleted, 165, T, F),
        M(IHotfolderNotifications, hotfolderChanged, 166, T, F),
        M(IHotfolderNotifications, hotfolderSignalled, 167, T, F),
        M(IHotfolderNotifications, firstSwitchChanged, 168, T, F),
        M(IHotfolderNotifications, secondSwitchChanged, 169, T, F),

        M(IHotfolderServer, registerNotifications, 171, T, F),
        M(IHotfolderServer, unregisterNotifications, 172, T, F),
        M(IHotfolderServer, addHotfolder, 173, T, F),
        M(IHotfolderServer, editHotfolder, 174, T, F),
        M(IHotfolderServer, deleteHotfolders, 175, T, F),
        M(IHotfolderServer, setHotfolderSwitches, 176, T, F),
    };
    return rows;
}

const std::vector<InterfaceRow>& Interfaces() {
    static const std::vector<InterfaceRow> rows = {
        I(IAAService, "AAService", 1, 3, kService),
        I(IServerSession, "ServerSession", 4, 11, kService),
        I(ISettings, "Settings", 12, 15, kService),
        I(IPasswordHandler, "PasswordHandler", 16, 20, kService),
        I(IClusterSecurityServer, "ClusterSecurityServer", 21, 31, kService),
        I(IEmailAddressServer, "EmailAddressServer", 32, 37, kService),
        I(IGetEmailAddressesReplyHandler, "GetEmailAddressesReplyHandler", 38, 40, kClient),
        I(IUsersAndGroupsServer, "UsersAndGroupsServer", 41, 85, kService),
        I(ITestNfcCardPinCodeReplyHandler, "TestNfcCardPinCodeReplyHandler", 86, 87, kClient),
        I(ITestSmartCardReplyHandler, "TestSmartCardReplyHandler", 88, 89, kClient),
        I(ITestNfcCardReplyHandler, "TestNfcCardReplyHandler", 90, 91, kClient),
        I(IChangePasswordReplyHandler, "ChangePasswordReplyHandler", 92, 94, kClient),
        I(IUsersAndGroupsNotifications, "UsersAndGroupsNotifications", 95, 120, kClient),
        I(IEditGroupMembershipReplyHandler, "EditGroupMembershipReplyHandler", 121, 122, kClient),
        I(IEditUserReplyHandler, "EditUserReplyHandler", 123, 124, kClient),
        I(IEditGroupReplyHandler, "EditGroupReplyHandler", 125, 126, kClient),
        I(IReplyHandler, "ReplyHandler", 127, 128, kClient),
        I(IExternalUserReplyHandler, "ExternalUserReplyHandler", 129, 130, kClient),
        I(IAuthenticationReplyHandler, "AuthenticationReplyHandler", 131, 133, kClient),
        I(IDomainConfigurator, "DomainConfigurator", 134, 145, kService),
        I(IDomainNotifications, "DomainNotifications", 146, 149, kClient),
        I(IGetDomainControllersReplyHandler, "GetDomainControllersReplyHandler", 150, 151, kClient),
        I(IEditDomainReplyHandler, "EditDomainReplyHandler", 152, 153, kClient),
        I(ITestDomainReplyHandler, "TestDomainReplyHandler", 154, 155, kClient),
        I(IAuthenticateUserReplyHandler, "AuthenticateUserReplyHandler", 156, 158, kClient),
        I(IGetDomainGroupsReplyHandler, "GetDomainGroupsReplyHandler", 159, 160, kClient),
        I(IHotfolderReplyHandler, "HotfolderReplyHandler", 161, 162, kClient),
        I(IHotfolderNotifications, "HotfolderNotifications", 163, 169, kClient),
        I(IHotfolderServer, "HotfolderServer", 170, 176, kService),
    };
    return rows;
}

const InterfaceRow& InterfaceNamed(const std::string& name) {
    for (const auto& row : Interfaces())
        if (row.interface == name) return row;
    throw std::out_of_range("no interface " + name);
}

}  // namespace aai_test
