#include "aai/detail/stubcore.h"

#include <algorithm>
#include <limits>

#include "ipc2/marshallers.h"

namespace zel::iface::aai::detail {

Stream AnswerRelease(Stream& request, const Handler& handler, const Handler& own,
                     std::shared_ptr<proglibs::ipc2::IStub> self, const char* wireName) {
    const int count = proglibs::ipc2::wire::GetInt(*request);
    own->DecreaseStubReferenceCount(std::move(self), count, wireName);
    Stream reply = handler->Allocate(0);
    handler->Free(std::move(request));
    return reply;
}

int LowerCount(int& count, int by, const Site& site) {
    // The count to subtract comes from the peer; whatever it says, the arithmetic stays defined.
    const long long lowered = static_cast<long long>(count) - by;
    count = static_cast<int>(std::clamp<long long>(lowered, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    if (count < 0) Report(site, "Negative reference count");
    return count;
}

Stream Unsupported(const Site& site) {
    Report(site, "Unsupported method");
    return nullptr;
}

}  // namespace zel::iface::aai::detail
