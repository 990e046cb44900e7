// The broker bundle of this library. One bundle serves this library and the sibling libraries it
// builds on: their bundles are virtual bases, so a single object answers every library's lookup.
#pragma once

#include <memory>

#include "datetime/datetime.h"
#include "userlogin/userlogin.h"

namespace zel::iface::aai {

class InterfaceBroker;  // the generated factories, aai/broker.h

struct InterfaceBrokers : virtual userlogin::InterfaceBrokers, virtual datetime::InterfaceBrokers {
    ~InterfaceBrokers() override;
    // Looked up at the moment a proxy or stub is made, so replacing it takes effect for every
    // object made afterwards. Replace it before the bundle is used (connecting or registering with
    // it): the lookups on the runtime's threads take no lock.
    std::unique_ptr<InterfaceBroker> aaiBroker;
};

// A bundle with the default broker of this library and of the sibling libraries.
std::shared_ptr<InterfaceBrokers> MakeInterfaceBrokers();

}  // namespace zel::iface::aai
