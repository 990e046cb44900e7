#include "frame.h"

#include <cstdio>
#include <cstring>

#include "ipc2/bytestream.h"

namespace zel::proglibs::ipc2::socket {

namespace {

constexpr unsigned char kMagic[4] = {'z', 'i', 'p', 'c'};

void PutU32(std::vector<unsigned char>& out, std::uint32_t v) {
    unsigned char b[4];
    StoreLe32(b, v);
    out.insert(out.end(), b, b + 4);
}

void PutName(std::vector<unsigned char>& out, const std::string& s) {
    PutU32(out, static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

// A bounds-checked cursor: every read is checked against what remains before anything is
// allocated, so a hostile count or length fails instead of allocating.
struct Cursor {
    const unsigned char* p;
    std::size_t n;
    std::string& why;

    bool U32(std::uint32_t& v, const char* what) {
        if (n < 4) return Fail(what);
        v = LoadLe32(p);
        p += 4;
        n -= 4;
        return true;
    }
    bool Name(std::string& s, const char* what) {
        std::uint32_t len = 0;
        if (!U32(len, what)) return false;
        if (len > kMaxNameSize || len > n) {
            char b[160];
            std::snprintf(b, sizeof b, "%s of %u bytes, %zu bytes left", what, len, n);
            why = b;
            return false;
        }
        s.assign(reinterpret_cast<const char*>(p), len);
        p += len;
        n -= len;
        return true;
    }
    bool Fail(const char* what) {
        why = std::string("truncated at the ") + what;
        return false;
    }
    bool Magic() {
        if (n < 4 || std::memcmp(p, kMagic, 4) != 0) {
            why = "not a hello of this runtime";
            return false;
        }
        p += 4;
        n -= 4;
        return true;
    }
    bool Modules(std::vector<std::string>& out) {
        std::uint32_t count = 0;
        if (!U32(count, "module count")) return false;
        // Each module takes at least its 4-byte length.
        if (count > kMaxModules || count > n / 4) {
            char b[120];
            std::snprintf(b, sizeof b, "module count %u (at most %zu, %zu bytes left)", count, kMaxModules, n);
            why = b;
            return false;
        }
        out.clear();
        out.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            std::string m;
            if (!Name(m, "module name")) return false;
            out.push_back(std::move(m));
        }
        return true;
    }
    bool End() {
        if (n == 0) return true;
        char b[80];
        std::snprintf(b, sizeof b, "%zu unexpected bytes at the end", n);
        why = b;
        return false;
    }
};

}  // namespace

void FrameHeader::Encode(unsigned char* out) const noexcept {
    StoreLe32(out, length);
    out[4] = static_cast<unsigned char>(kind);
    out[5] = flags;
    out[6] = static_cast<unsigned char>(depth);
    out[7] = static_cast<unsigned char>(depth >> 8);
    StoreLe32(out + 8, callId);
    StoreLe32(out + 12, static_cast<std::uint32_t>(chain));
    StoreLe32(out + 16, static_cast<std::uint32_t>(chain >> 32));
    if (HasBudget()) StoreLe32(out + kSize, budgetMs);
}

void FrameHeader::DecodeBudget(const unsigned char* in) noexcept { budgetMs = LoadLe32(in); }

FrameHeader FrameHeader::Decode(const unsigned char* in) noexcept {
    FrameHeader h;
    h.length = LoadLe32(in);
    h.kind = static_cast<FrameKind>(in[4]);
    h.flags = in[5];
    h.depth = static_cast<std::uint16_t>(in[6] | in[7] << 8);
    h.callId = LoadLe32(in + 8);
    h.chain = LoadLe32(in + 12) | static_cast<std::uint64_t>(LoadLe32(in + 16)) << 32;
    return h;
}

const char* KindName(FrameKind kind) noexcept {
    switch (kind) {
    case FrameKind::Request: return "request";
    case FrameKind::Reply: return "reply";
    case FrameKind::Error: return "error";
    case FrameKind::Hello: return "hello";
    case FrameKind::HelloAck: return "hello-ack";
    case FrameKind::Cancel: return "cancel";
    }
    return "unknown";
}

std::string CheckHeader(const FrameHeader& h, std::size_t maxPayload) {
    char b[160];
    const auto kind = static_cast<unsigned>(h.kind);
    if (kind < static_cast<unsigned>(FrameKind::Request) || kind > static_cast<unsigned>(FrameKind::Cancel)) {
        std::snprintf(b, sizeof b, "unknown frame kind %u", kind);
        return b;
    }
    const std::uint8_t allowed = h.kind == FrameKind::Request ? kFlagNoReply | kFlagBudget
                                 : h.kind == FrameKind::Error ? kFlagOverLimit
                                                              : 0;
    if ((h.flags & ~allowed) != 0) {
        std::snprintf(b, sizeof b, "frame flags 0x%02x on a%s %s frame", static_cast<unsigned>(h.flags),
                      h.kind == FrameKind::Error ? "n" : "", KindName(h.kind));
        return b;
    }
    if (h.kind == FrameKind::Cancel && h.length != 0) {
        std::snprintf(b, sizeof b, "cancel frame with %u bytes of payload", h.length);
        return b;
    }
    if (h.length > maxPayload) {
        std::snprintf(b, sizeof b, "frame of %u bytes exceeds the limit of %zu bytes", h.length, maxPayload);
        return b;
    }
    return {};
}

std::vector<unsigned char> EncodeHello(const Hello& hello) {
    std::vector<unsigned char> out(kMagic, kMagic + 4);
    PutU32(out, hello.version);
    PutU32(out, static_cast<std::uint32_t>(hello.modules.size()));
    for (const auto& m : hello.modules) PutName(out, m);
    return out;
}

std::vector<unsigned char> EncodeHelloAck(const HelloAck& ack) {
    std::vector<unsigned char> out(kMagic, kMagic + 4);
    PutU32(out, ack.version);
    PutName(out, ack.checksum);
    PutU32(out, static_cast<std::uint32_t>(ack.modules.size()));
    for (const auto& m : ack.modules) PutName(out, m);
    return out;
}

bool DecodeHello(const unsigned char* p, std::size_t n, Hello& out, std::string& why) {
    Cursor c{p, n, why};
    return c.Magic() && c.U32(out.version, "version") && c.Modules(out.modules) && c.End();
}

bool DecodeHelloAck(const unsigned char* p, std::size_t n, HelloAck& out, std::string& why) {
    Cursor c{p, n, why};
    return c.Magic() && c.U32(out.version, "version") && c.Name(out.checksum, "checksum") &&
           c.Modules(out.modules) && c.End();
}

}  // namespace zel::proglibs::ipc2::socket
