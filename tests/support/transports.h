// The transports a behaviour is tested on: every behaviour both have runs on both, from one
// parameterised suite. A client reaches a server of its own process in-process by its name alone,
// and through the server's socket by giving the socket's path as the address.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "socket/socket_file.h"

enum class Transport { InProcess, Socket };

inline const auto kBothTransports = ::testing::Values(Transport::InProcess, Transport::Socket);

inline std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::InProcess ? "InProcess" : "Socket";
}

// The address that reaches the server registered under `serverName` in this process by `t`.
inline std::string AddressFor(Transport t, const std::string& serverName) {
    return t == Transport::Socket ? zel::proglibs::ipc2::socket::DefaultSocketPath(serverName, false) : std::string();
}
