// Generated from the interface description; do not edit.
#include "aai/broker.h"

namespace zel::iface::aai {

InterfaceBroker::~InterfaceBroker() = default;

std::shared_ptr<InterfaceBrokers> MakeInterfaceBrokers() {
    auto brokers = std::make_shared<InterfaceBrokers>();
    brokers->datetimeBroker = std::make_unique<datetime::InterfaceBroker>();
    brokers->aaiBroker = std::make_unique<InterfaceBroker>();
    return brokers;
}

}  // namespace zel::iface::aai
