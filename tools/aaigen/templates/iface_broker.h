@generated@
//
// The factories of every proxy and stub, and the way from a stub back to its implementation.
// Every operation is virtual: an application that wants its own proxies or stubs derives from
// InterfaceBroker and puts its broker in the bundle it connects or registers with. For each
// interface, in the description's order:
//   makeXProxy:   a proxy of the remote object `id` on the connection
//   makeXStub:    a stub that serves `implementation` under `id` on the connection
//   getXInstance: the implementation behind a stub of the interface; empty for any other stub
#pragma once

#include <memory>
#include <string>

#include "aai/brokers.h"
#include "aai/interfaces.h"
#include "ipc2/connectionhandler.h"
#include "ipc2/objects.h"

namespace @ns@ {

class InterfaceBroker {
public:
    InterfaceBroker() = default;
    virtual ~InterfaceBroker();

    @operations@
};

// The bundle's address, in the form of an interface pointer's text.
template <>
std::string ToString<std::shared_ptr<InterfaceBrokers>>(const std::shared_ptr<InterfaceBrokers>& value);

}  // namespace @ns@
