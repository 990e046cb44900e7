// The input of the socket peer target (fuzz/socket_peer.cpp): what a client does on raw
// connections to the served root object, one operation after another. The seed writer builds
// inputs with Script; the target reads them with Reader. Any byte string is an input: what is
// missing at the end reads as zeros and ends the run.
//
//   op byte (modulo kOpCount), then:
//   kHello      flags; [u32 version if kHelloVersion]; [name if kHelloExtraName]
//               modules: bits 0-2 pick the served modules in order, bit 3 adds one nobody serves
//   kRequest    object id, module (1), method id, chain byte, arguments (length + bytes)
//   kAnswer     which of the server's unanswered calls (1), kind (1: bit 0 an error, bit 1 a limit), payload
//   kRelease    object id, interface (1, index into the table), count (1)
//   kFrame      fix (1), header (20), payload: fix bit 0 sets the length field to the payload's
//               size, bit 1 clears the flags
//   kRaw        bytes (length + bytes), sent as they are
//   kHalfClose  (nothing) shuts down the sending side
//   kReconnect  (nothing) closes the connection and opens another (a few per input)
//
// Ids and lengths: one byte; 0xFF is followed by the value itself (u32 id, u16 length). The chain
// byte: kChainOfServerCall puts the request into the chain of one of the server's unanswered
// calls (low 4 bits pick it) one level deeper, as a callback would be; otherwise a new chain of
// this side, at depth 1 unless kChainDepth gives the depth in the low 6 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace aai_fuzz::peer {

enum Op : unsigned char { kHello, kRequest, kAnswer, kRelease, kFrame, kRaw, kHalfClose, kReconnect, kOpCount };

constexpr unsigned char kHelloAllModules = 0x07;
constexpr unsigned char kHelloUnknownModule = 0x08;
constexpr unsigned char kHelloVersion = 0x10;
constexpr unsigned char kHelloExtraName = 0x20;

constexpr unsigned char kChainOfServerCall = 0x80;
constexpr unsigned char kChainDepth = 0x40;

constexpr unsigned char kEscape = 0xFF;

// The runtime's protocol version, which a hello without kHelloVersion carries.
constexpr std::uint32_t kWireVersion = 5;

// Consumes an input from the front.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), left_(data ? size : 0) {}

    bool AtEnd() const { return left_ == 0; }

    std::uint8_t Byte() {
        if (left_ == 0) return 0;
        --left_;
        return *p_++;
    }
    std::uint64_t Le(int bytes) {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(Byte()) << (8 * i);
        return v;
    }
    std::int32_t Id() {
        const std::uint8_t b = Byte();
        return b == kEscape ? static_cast<std::int32_t>(static_cast<std::uint32_t>(Le(4))) : b;
    }
    std::size_t Length() {
        const std::uint8_t b = Byte();
        return b == kEscape ? static_cast<std::size_t>(Le(2)) : b;
    }
    // Up to n bytes (fewer at the end of the input).
    std::string Take(std::size_t n) {
        if (n > left_) n = left_;
        std::string out(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        left_ -= n;
        return out;
    }
    std::string Blob() { return Take(Length()); }

private:
    const std::uint8_t* p_;
    std::size_t left_;
};

// Writes an input, operation by operation.
class Script {
public:
    Script& Hello(unsigned char flags = kHelloAllModules) {
        bytes_ += static_cast<char>(kHello);
        bytes_ += static_cast<char>(flags);
        return *this;
    }
    Script& Request(std::int32_t object, unsigned char module, std::int32_t method, const std::string& args,
                    unsigned char chain = 0) {
        bytes_ += static_cast<char>(kRequest);
        Id(object);
        bytes_ += static_cast<char>(module);
        Id(method);
        bytes_ += static_cast<char>(chain);
        Blob(args);
        return *this;
    }
    Script& Answer(unsigned char which, bool error, const std::string& payload) {
        bytes_ += static_cast<char>(kAnswer);
        bytes_ += static_cast<char>(which);
        bytes_ += static_cast<char>(error ? 1 : 0);
        Blob(payload);
        return *this;
    }
    Script& Release(std::int32_t object, unsigned char interfaceIndex, unsigned char count) {
        bytes_ += static_cast<char>(kRelease);
        Id(object);
        bytes_ += static_cast<char>(interfaceIndex);
        bytes_ += static_cast<char>(count);
        return *this;
    }
    Script& HalfClose() {
        bytes_ += static_cast<char>(kHalfClose);
        return *this;
    }
    Script& Reconnect() {
        bytes_ += static_cast<char>(kReconnect);
        return *this;
    }
    const std::string& Bytes() const { return bytes_; }

private:
    void Le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_ += static_cast<char>(v >> (8 * i));
    }
    void Id(std::int32_t id) {
        if (id >= 0 && id < kEscape) {
            bytes_ += static_cast<char>(id);
        } else {
            bytes_ += static_cast<char>(kEscape);
            Le(static_cast<std::uint32_t>(id), 4);
        }
    }
    void Blob(const std::string& b) {
        if (b.size() < kEscape) {
            bytes_ += static_cast<char>(b.size());
        } else {
            bytes_ += static_cast<char>(kEscape);
            Le(b.size(), 2);
        }
        bytes_ += b;
    }
    std::string bytes_;
};

}  // namespace aai_fuzz::peer
