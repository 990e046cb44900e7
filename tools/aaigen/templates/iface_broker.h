// Generated from the interface description; do not edit.
#pragma once

#include <memory>

#include "aai/brokers.h"

namespace zel::iface::aai {

class InterfaceBroker {
public:
    InterfaceBroker() = default;
    virtual ~InterfaceBroker();
};

}  // namespace zel::iface::aai
