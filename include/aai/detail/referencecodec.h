// Interface pointers as values: four raw bytes naming an object on the interface's home side.
//
// The work is done by EncodeReference / DecodeReference (aai/detail/reference.h), instantiated
// once per interface in the generated reference source; here they are only declared, so that the
// proxies and stubs that pass references do not each instantiate them.
#pragma once

#include <memory>

#include "aai/detail/codec.h"
#include "aai/detail/wire.h"

namespace zel::iface::aai::detail {

template <class IX>
void EncodeReference(const Stream& stream, const std::shared_ptr<IX>& object, const Context& context);
template <class IX>
std::shared_ptr<IX> DecodeReference(const Stream& stream, const Context& context);

template <class IX>
struct Codec<std::shared_ptr<IX>> {
    static int size(const std::shared_ptr<IX>&) { return kReferenceSize; }
    static void encode(const Stream& s, const std::shared_ptr<IX>& v, const Context& c) { EncodeReference<IX>(s, v, c); }
    static std::shared_ptr<IX> decode(const Stream& s, const Context& c) { return DecodeReference<IX>(s, c); }
};

}  // namespace zel::iface::aai::detail
