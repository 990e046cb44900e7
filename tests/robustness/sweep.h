// The damage done to valid messages by the robustness tests, and how a decode of the damaged
// message is judged.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "counting_allocator.h"
#include "fuzz_handler.h"

namespace robustness {

using aai_fuzz::Bytes;

constexpr std::size_t kSlack = 64 * 1024;

// What a decode of L bytes may allocate in all.
inline std::size_t Budget(std::size_t length) { return 2 * length + kSlack; }

inline Bytes Le32(std::uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 24)};
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes Repeat(const Bytes& unit, std::size_t times) {
    Bytes out;
    out.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

struct Mutation {
    std::string what;
    Bytes bytes;
};

inline const unsigned char kByteValues[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
inline const std::uint32_t kWindowValues[] = {0, 1, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u};

// Every truncation, every single byte set to each of kByteValues, every four-byte window set to
// each of kWindowValues (little-endian), in that order. Mutations that leave the message as it
// was are skipped.
inline void ForEachMutation(const Bytes& valid, const std::function<void(const Mutation&)>& visit) {
    for (std::size_t length = 0; length < valid.size(); ++length)
        visit({"cut to " + std::to_string(length) + " bytes", Bytes(valid.begin(), valid.begin() + length)});
    for (std::size_t at = 0; at < valid.size(); ++at) {
        for (unsigned char value : kByteValues) {
            if (valid[at] == value) continue;
            Bytes bytes = valid;
            bytes[at] = value;
            visit({"byte " + std::to_string(at) + " set to " + std::to_string(value), std::move(bytes)});
        }
    }
    for (std::size_t at = 0; at + 4 <= valid.size(); ++at) {
        for (std::uint32_t value : kWindowValues) {
            Bytes bytes = valid;
            const Bytes le = Le32(value);
            if (std::equal(le.begin(), le.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at))) continue;
            std::copy(le.begin(), le.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
            std::ostringstream what;
            what << "bytes " << at << ".." << at + 3 << " set to 0x" << std::hex << value;
            visit({what.str(), std::move(bytes)});
        }
    }
}

inline std::size_t MutationCount(const Bytes& valid) {
    std::size_t n = 0;
    ForEachMutation(valid, [&](const Mutation&) { ++n; });
    return n;
}

// The findings of a sweep, kept short: the first few in full, the rest counted.
class Findings {
public:
    void Add(const std::string& finding) {
        if (shown_.size() < 8) shown_.push_back(finding);
        ++count_;
    }
    std::size_t Count() const { return count_; }
    std::string Text() const {
        std::string text;
        for (const auto& f : shown_) text += "  " + f + "\n";
        if (count_ > shown_.size()) text += "  ... and " + std::to_string(count_ - shown_.size()) + " more\n";
        return text;
    }

private:
    std::vector<std::string> shown_;
    std::size_t count_ = 0;
};

}  // namespace robustness
