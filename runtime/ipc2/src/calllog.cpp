#include "calllog.h"

#include <algorithm>
#include <string>

#include "ipc2/requestheader.h"
#include "trace/trace.h"

namespace zel::proglibs::ipc2::detail {

namespace {

// A line shows at most this much of a payload, so one large message cannot flood the log.
constexpr std::size_t kMaxLoggedPayload = 256;

std::string HexOf(const unsigned char* data, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    const std::size_t shown = std::min(size, kMaxLoggedPayload);
    std::string out;
    out.reserve(2 * shown + 32);
    for (std::size_t i = 0; i < shown; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0xF];
    }
    if (shown < size) out += " (" + std::to_string(size - shown) + " more bytes)";
    return out;
}

}  // namespace

void WriteCallLog(const ConnectionHandler& handler, CallDirection direction, const ByteStream& message,
                  bool sendFlag) {
    if (!trace_enabled(3)) return;
    const std::size_t size = message.Size();
    const PeekedHeader call = PeekedHeader::Of(message);
    std::string payload = "withheld";
    if (sendFlag) {
        payload = size > RequestHeader::kSize ? HexOf(message.Data() + RequestHeader::kSize, size - RequestHeader::kSize)
                                              : std::string();
    }
    dus_trc_log(__FILE__, __LINE__, __func__, "ipc2",
                dus_trc_msg("call %s %s object %ld module %d method %ld size %zu payload %s",
                            direction == CallDirection::Outgoing ? "out" : "in",
                            handler.IsServer() ? "server" : "client", call.objectId, call.module, call.methodId,
                            size, payload.c_str()));
}

}  // namespace zel::proglibs::ipc2::detail
