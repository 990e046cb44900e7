// The bundle's out-of-line parts, and the views the sibling libraries' marshallers take of it.
#include "aai/brokers.h"

#include "aai/broker.h"
#include "aai/detail/codec.h"

namespace zel::iface::aai {

InterfaceBrokers::~InterfaceBrokers() = default;

namespace detail {

// Aliasing conversions: the sibling view shares ownership with the bundle, so it keeps the whole
// bundle alive for as long as a sibling marshaller holds it.
std::shared_ptr<userlogin::InterfaceBrokers> UserloginBrokers(const Brokers& brokers) {
    return brokers;
}

std::shared_ptr<datetime::InterfaceBrokers> DatetimeBrokers(const Brokers& brokers) {
    return brokers;
}

}  // namespace detail
}  // namespace zel::iface::aai
