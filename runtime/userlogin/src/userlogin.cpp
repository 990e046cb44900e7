#include "userlogin/userlogin.h"

#include <climits>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>

#include "ipc2/errors.h"
#include "ipc2/marshallers.h"

namespace zel::iface::userlogin {

namespace ipc2 = proglibs::ipc2;
namespace wire = proglibs::ipc2::wire;

std::ostream& operator<<(std::ostream& os, UserName value) {
    switch (value) {
        case USERNAME_CUSTOM: return os << "USERNAME_CUSTOM";
        case USERNAME_ADMINISTRATOR: return os << "USERNAME_ADMINISTRATOR";
        case USERNAME_KEY_OPERATOR: return os << "USERNAME_KEY_OPERATOR";
        case USERNAME_OPERATOR: return os << "USERNAME_OPERATOR";
        case USERNAME_SERVICE: return os << "USERNAME_SERVICE";
    }
    return os << "unknown UserName";
}

UserLoginId::UserLoginId(std::string loginName, std::int32_t sessionId)
    : loginName_(std::move(loginName)), sessionId_(sessionId) {}

bool operator==(const UserLoginId& a, const UserLoginId& b) {
    return a.sessionId_ == b.sessionId_ && a.loginName_ == b.loginName_;
}

bool operator<(const UserLoginId& a, const UserLoginId& b) {
    return std::tie(a.loginName_, a.sessionId_) < std::tie(b.loginName_, b.sessionId_);
}

std::ostream& operator<<(std::ostream& os, const UserLoginId& value) {
    return os << value.LoginName() << '#' << value.SessionId();
}

std::ostream& operator<<(std::ostream& os, const PrivilegeList& value) {
    os << '[';
    const char* separator = "";
    for (std::int32_t p : value) {
        os << separator << p;
        separator = ", ";
    }
    return os << ']';
}

LoggedInUser::LoggedInUser(UserLoginId id, UserName userName, std::string displayName, PrivilegeList privileges)
    : id_(std::move(id)),
      userName_(userName),
      displayName_(std::move(displayName)),
      privileges_(std::move(privileges)) {}

bool operator==(const LoggedInUser& a, const LoggedInUser& b) {
    return a.id_ == b.id_ && a.userName_ == b.userName_ && a.displayName_ == b.displayName_ &&
           a.privileges_ == b.privileges_;
}

bool operator<(const LoggedInUser& a, const LoggedInUser& b) {
    // The vector's own operator<, not std::tie's, so the privileges compare as the sequence they are.
    const std::vector<std::int32_t>& pa = a.privileges_;
    const std::vector<std::int32_t>& pb = b.privileges_;
    return std::tie(a.id_, a.userName_, a.displayName_, pa) < std::tie(b.id_, b.userName_, b.displayName_, pb);
}

std::ostream& operator<<(std::ostream& os, const LoggedInUser& value) {
    return os << "LoggedInUser(" << value.Id() << ", " << value.GetUserName() << ", " << value.DisplayName()
              << ", " << value.Privileges() << ')';
}

InterfaceBrokers::~InterfaceBrokers() = default;

namespace {

void PutPrivileges(ipc2::ByteStream& s, const PrivilegeList& value) {
    if (value.size() > static_cast<std::size_t>(INT_MAX)) {
        throw ipc2::StreamError("PrivilegeList of " + std::to_string(value.size()) +
                                " values is too long to encode");
    }
    wire::PutInt(s, static_cast<int>(value.size()));
    for (std::int32_t p : value) wire::PutInt(s, p);
}

PrivilegeList GetPrivileges(ipc2::ByteStream& s) {
    const int count = wire::GetInt(s);
    // The count comes from the peer: it must be paid for by bytes already received before it is
    // allowed to size an allocation.
    if (count < 0 || static_cast<std::size_t>(count) > s.Remaining() / 4) {
        throw ipc2::StreamError("PrivilegeList count " + std::to_string(count) + " needs " +
                                std::to_string(4 * static_cast<long long>(count)) + " bytes but " +
                                std::to_string(s.Remaining()) + " bytes are left");
    }
    PrivilegeList value;
    value.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) value.push_back(wire::GetInt(s));
    return value;
}

void PutLoginId(ipc2::ByteStream& s, const UserLoginId& value) {
    wire::PutString(s, value.LoginName());
    wire::PutInt(s, value.SessionId());
}

UserLoginId GetLoginId(ipc2::ByteStream& s) {
    std::string name = wire::GetString(s);
    const std::int32_t session = wire::GetInt(s);
    return UserLoginId(std::move(name), session);
}

int SizeOfPrivileges(const PrivilegeList& value) { return 4 + 4 * static_cast<int>(value.size()); }

int SizeOfLoginId(const UserLoginId& value) { return wire::SizeOfString(value.LoginName()) + 4; }

}  // namespace

void UserNameMarshaller::Encode(std::shared_ptr<ipc2::ByteStream> stream, UserName value,
                                std::shared_ptr<ipc2::ConnectionHandler>) {
    Put(*stream, value);
}

UserName UserNameMarshaller::Decode(std::shared_ptr<ipc2::ByteStream> stream,
                                    std::shared_ptr<ipc2::ConnectionHandler>) {
    return Get(*stream);
}

int UserNameMarshaller::SizeOf(UserName) { return 4; }

void UserLoginIdMarshaller::Encode(std::shared_ptr<ipc2::ByteStream> stream, const UserLoginId& value,
                                   std::shared_ptr<ipc2::ConnectionHandler>, std::shared_ptr<InterfaceBrokers>) {
    PutLoginId(*stream, value);
}

UserLoginId UserLoginIdMarshaller::Decode(std::shared_ptr<ipc2::ByteStream> stream,
                                          std::shared_ptr<ipc2::ConnectionHandler>,
                                          std::shared_ptr<InterfaceBrokers>) {
    return GetLoginId(*stream);
}

int UserLoginIdMarshaller::SizeOf(const UserLoginId& value) { return SizeOfLoginId(value); }

void PrivilegeListMarshaller::Encode(std::shared_ptr<ipc2::ByteStream> stream, const PrivilegeList& value,
                                     std::shared_ptr<ipc2::ConnectionHandler>, std::shared_ptr<InterfaceBrokers>) {
    PutPrivileges(*stream, value);
}

PrivilegeList PrivilegeListMarshaller::Decode(std::shared_ptr<ipc2::ByteStream> stream,
                                              std::shared_ptr<ipc2::ConnectionHandler>,
                                              std::shared_ptr<InterfaceBrokers>) {
    return GetPrivileges(*stream);
}

int PrivilegeListMarshaller::SizeOf(const PrivilegeList& value) { return SizeOfPrivileges(value); }

void LoggedInUserMarshaller::Encode(std::shared_ptr<ipc2::ByteStream> stream, const LoggedInUser& value,
                                    std::shared_ptr<ipc2::ConnectionHandler>, std::shared_ptr<InterfaceBrokers>) {
    ipc2::ByteStream& s = *stream;
    PutLoginId(s, value.Id());
    wire::PutInt(s, value.GetUserName());
    wire::PutString(s, value.DisplayName());
    PutPrivileges(s, value.Privileges());
}

LoggedInUser LoggedInUserMarshaller::Decode(std::shared_ptr<ipc2::ByteStream> stream,
                                            std::shared_ptr<ipc2::ConnectionHandler>,
                                            std::shared_ptr<InterfaceBrokers>) {
    ipc2::ByteStream& s = *stream;
    UserLoginId id = GetLoginId(s);
    const auto userName = static_cast<UserName>(wire::GetInt(s));
    std::string displayName = wire::GetString(s);
    PrivilegeList privileges = GetPrivileges(s);
    return LoggedInUser(std::move(id), userName, std::move(displayName), std::move(privileges));
}

int LoggedInUserMarshaller::SizeOf(const LoggedInUser& value) {
    return SizeOfLoginId(value.Id()) + 4 + wire::SizeOfString(value.DisplayName()) +
           SizeOfPrivileges(value.Privileges());
}

}  // namespace zel::iface::userlogin
