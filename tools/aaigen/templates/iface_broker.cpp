@generated@
#include "aai/broker.h"

#include <utility>

#include "aai/detail/pointertext.h"
#include "aai/proxies.h"
#include "aai/stubs.h"

namespace @ns@ {

InterfaceBroker::~InterfaceBroker() = default;

std::shared_ptr<InterfaceBrokers> MakeInterfaceBrokers() {
    auto brokers = std::make_shared<InterfaceBrokers>();
    brokers->datetimeBroker = std::make_unique<datetime::InterfaceBroker>();
    brokers->aaiBroker = std::make_unique<InterfaceBroker>();
    return brokers;
}

template <>
std::string ToString<std::shared_ptr<InterfaceBrokers>>(const std::shared_ptr<InterfaceBrokers>& value) {
    return detail::PointerText(value.get());
}

@operations@

}  // namespace @ns@
