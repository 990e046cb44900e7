#include "limiter.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "ipc2/errors.h"
#include "trace/trace.h"

namespace zel::proglibs::ipc2 {

namespace {

Limits Carried(Limits l) {
    l.maxFrameSize = std::min<std::size_t>(l.maxFrameSize, std::numeric_limits<std::uint32_t>::max());
    l.maxCallDepth = std::clamp(l.maxCallDepth, 1, 0xFFFF);
    l.maxOutstandingCalls = std::max(l.maxOutstandingCalls, 1);
    l.frameTimeoutMs = std::max(l.frameTimeoutMs, 1);
    return l;
}

std::string SizeText(const char* what, std::size_t size, const PeekedHeader& call, std::size_t limit) {
    return std::string(what) + " of " + std::to_string(size) + " bytes for " + call.Describe() +
           " exceeds the frame size limit of " + std::to_string(limit) + " bytes";
}

}  // namespace

Limiter::Limiter(const Limits& limits, std::string serverName)
    : limits_(Carried(limits)), serverName_(std::move(serverName)) {}

std::string Limiter::DepthText(const PeekedHeader& call, int depth) const {
    return "call depth limit of " + std::to_string(limits_.maxCallDepth) + " reached: " + call.Describe() +
           " would be nested call " + std::to_string(depth);
}

int Limiter::PlaceBeyond(const ByteStream& request, bool oneWay) const {
    if (!Fits(request.Size()))
        throw LimitError(SizeText("request", request.Size(), PeekedHeader::Of(request), limits_.maxFrameSize));
    const int depth = RunningRequest::Depth() + 1;
    if (!oneWay) throw LimitError(DepthText(PeekedHeader::Of(request), depth));
    return limits_.maxCallDepth;
}

void Limiter::ThrowOutstanding(const ByteStream& request) const {
    throw LimitError("outstanding call limit of " + std::to_string(limits_.maxOutstandingCalls) +
                     " reached on the connection to '" + serverName_ + "' for " +
                     PeekedHeader::Of(request).Describe());
}

bool Limiter::AcceptIncoming(const PeekedHeader& header, int depth, bool oneWay, std::string& why) {
    // One-way requests are not held to the depth: their place in a chain nests nothing.
    if (!oneWay && (depth < 1 || depth > limits_.maxCallDepth)) {
        why = DepthText(header, depth);
        return false;
    }
    if (Open(oneWay)) return true;
    why = "outstanding call limit of " + std::to_string(limits_.maxOutstandingCalls) +
          " reached on the connection to '" + serverName_ + "' for " + header.Describe();
    if (oneWay && trace_enabled(1))
        dus_trc_log(__FILE__, __LINE__, __func__, "ipc2",
                    dus_trc_msg("a one-way request was refused: %s", why.c_str()));
    return false;
}

std::string Limiter::ReplyText(const PeekedHeader& request, std::size_t size) const {
    return SizeText("reply", size, request, limits_.maxFrameSize);
}

}  // namespace zel::proglibs::ipc2

namespace zel::proglibs::ipc2 {

Limits Stricter(const Limits& a, const Limits& b) noexcept {
    Limits l;
    l.maxFrameSize = std::min(a.maxFrameSize, b.maxFrameSize);
    l.maxCallDepth = std::min(a.maxCallDepth, b.maxCallDepth);
    l.maxOutstandingCalls = std::min(a.maxOutstandingCalls, b.maxOutstandingCalls);
    l.maxStubsPerConnection = std::min(a.maxStubsPerConnection, b.maxStubsPerConnection);
    l.frameTimeoutMs = std::min(a.frameTimeoutMs, b.frameTimeoutMs);
    return l;
}

}  // namespace zel::proglibs::ipc2
