// zel::iface::userlogin: who is logged in, and with which privileges.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "ipc2/bytestream.h"
#include "ipc2/connectionhandler.h"

namespace zel::iface::userlogin {

// The built-in accounts of the controller; USERNAME_CUSTOM is an account with a name of its own.
enum UserName : std::int32_t {
    USERNAME_CUSTOM = 0,
    USERNAME_ADMINISTRATOR = 1,
    USERNAME_KEY_OPERATOR = 2,
    USERNAME_OPERATOR = 3,
    USERNAME_SERVICE = 4,
};

// "USERNAME_ADMINISTRATOR" and so on; "unknown UserName" outside the table.
std::ostream& operator<<(std::ostream& os, UserName value);

// Identifies a login: the account and the session it belongs to.
class UserLoginId {
public:
    UserLoginId() = default;
    UserLoginId(std::string loginName, std::int32_t sessionId);
    const std::string& LoginName() const noexcept { return loginName_; }
    std::int32_t SessionId() const noexcept { return sessionId_; }

    friend bool operator==(const UserLoginId& a, const UserLoginId& b);
    friend bool operator<(const UserLoginId& a, const UserLoginId& b);

private:
    std::string loginName_;
    std::int32_t sessionId_ = 0;
};
inline bool operator!=(const UserLoginId& a, const UserLoginId& b) { return !(a == b); }
std::ostream& operator<<(std::ostream& os, const UserLoginId& value);

// A sequence of privilege numbers; compared element by element as signed values, a proper prefix
// being less. "[1, 2]" as text.
class PrivilegeList : public std::vector<std::int32_t> {
public:
    using std::vector<std::int32_t>::vector;
};
std::ostream& operator<<(std::ostream& os, const PrivilegeList& value);

// A logged-in user as the controller's processes pass it around.
class LoggedInUser {
public:
    LoggedInUser() = default;
    LoggedInUser(UserLoginId id, UserName userName, std::string displayName, PrivilegeList privileges);
    const UserLoginId& Id() const noexcept { return id_; }
    UserName GetUserName() const noexcept { return userName_; }
    const std::string& DisplayName() const noexcept { return displayName_; }
    const PrivilegeList& Privileges() const noexcept { return privileges_; }

    friend bool operator==(const LoggedInUser& a, const LoggedInUser& b);
    friend bool operator<(const LoggedInUser& a, const LoggedInUser& b);

private:
    UserLoginId id_;
    UserName userName_ = USERNAME_CUSTOM;
    std::string displayName_;
    PrivilegeList privileges_;
};
inline bool operator!=(const LoggedInUser& a, const LoggedInUser& b) { return !(a == b); }
std::ostream& operator<<(std::ostream& os, const LoggedInUser& value);

// The broker bundle of this library (it has no interfaces of its own, so no broker); the bundles
// of libraries built on it derive from it virtually.
struct InterfaceBrokers {
    virtual ~InterfaceBrokers();
};

// Encodings: UserName 4 bytes little-endian; UserLoginId its name (string) and session (int);
// PrivilegeList a count (int) and the values (int each); LoggedInUser its id, user name, display
// name and privileges in that order. Decoders check counts against what the stream holds and
// throw proglibs::ipc2::StreamError, before allocating, for a count the rest of the message cannot
// hold or a negative one. A UserName outside the table decodes as is (a newer peer may know more
// accounts); it prints as "unknown UserName".
struct UserNameMarshaller {
    static void Encode(std::shared_ptr<proglibs::ipc2::ByteStream> stream, UserName value,
                       std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler);
    static UserName Decode(std::shared_ptr<proglibs::ipc2::ByteStream> stream,
                           std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler);
    static int SizeOf(UserName value);

    // The same encoding on the stream itself, for codecs that write many fields and would
    // otherwise copy the stream's and the handler's shared pointers for each.
    static void Put(proglibs::ipc2::ByteStream& stream, UserName value) { proglibs::ipc2::WriteLe32(stream, value); }
    static UserName Get(proglibs::ipc2::ByteStream& stream) {
        return static_cast<UserName>(proglibs::ipc2::ReadLe32(stream));
    }
};

struct UserLoginIdMarshaller {
    static void Encode(std::shared_ptr<proglibs::ipc2::ByteStream> stream, const UserLoginId& value,
                       std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
                       std::shared_ptr<InterfaceBrokers> brokers);
    static UserLoginId Decode(std::shared_ptr<proglibs::ipc2::ByteStream> stream,
                              std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
                              std::shared_ptr<InterfaceBrokers> brokers);
    static int SizeOf(const UserLoginId& value);
};

struct PrivilegeListMarshaller {
    static void Encode(std::shared_ptr<proglibs::ipc2::ByteStream> stream, const PrivilegeList& value,
                       std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
                       std::shared_ptr<InterfaceBrokers> brokers);
    static PrivilegeList Decode(std::shared_ptr<proglibs::ipc2::ByteStream> stream,
                                std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
                                std::shared_ptr<InterfaceBrokers> brokers);
    static int SizeOf(const PrivilegeList& value);
};

struct LoggedInUserMarshaller {
    static void Encode(std::shared_ptr<proglibs::ipc2::ByteStream> stream, const LoggedInUser& value,
                       std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
                       std::shared_ptr<InterfaceBrokers> brokers);
    static LoggedInUser Decode(std::shared_ptr<proglibs::ipc2::ByteStream> stream,
                               std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
                               std::shared_ptr<InterfaceBrokers> brokers);
    static int SizeOf(const LoggedInUser& value);
};

}  // namespace zel::iface::userlogin
