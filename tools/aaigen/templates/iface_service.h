@generated@
//
// The fixed values of the service: what a client connects to and a server registers as.
#pragma once

namespace @ns@ {

class @root@;

namespace detail {

using Root = @root@;
inline constexpr char kServerName[] = @server@;
inline constexpr char kRootWireName[] = @root_wire@;
// Both sides are built from the same description; the handshake compares them all the same, since
// the two ends of a connection need not come from the same build.
inline constexpr char kServerVersion[] = @version@;
inline constexpr char kClientVersion[] = @version@;
inline constexpr char kProtocolChecksum[] = @checksum@;
// This library's module, and the modules of every connection, in the order the runtime numbers them.
inline constexpr char kModuleName[] = @module@;
inline constexpr const char* kModules[@module_count@] = {@modules@};

}  // namespace detail
}  // namespace @ns@
