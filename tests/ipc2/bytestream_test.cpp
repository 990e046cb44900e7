#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ipc2/bytestream.h"

namespace ipc2 = zel::proglibs::ipc2;
using ipc2::ByteStream;
using ipc2::StreamError;

namespace {

std::vector<unsigned char> Pattern(std::size_t n) {
    std::vector<unsigned char> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    return bytes;
}

std::vector<unsigned char> Contents(const ByteStream& s) { return {s.Data(), s.Data() + s.Size()}; }

}  // namespace

// Every message length around the inline buffer's size, every read position, every read length
// up to one past what remains: only reads that fit succeed, and a refused read consumes nothing.
TEST(ByteStreamBounds, ReadPastTheEndThrowsAtEveryLengthAndPosition) {
    for (std::size_t size : {0u, 1u, 3u, 4u, 63u, 64u, 65u, 130u, 511u, 512u, 513u}) {
        const auto bytes = Pattern(size);
        ByteStream s(bytes.data(), bytes.size());
        for (std::size_t position = 0; position <= size; ++position) {
            const std::size_t remaining = size - position;
            s.Seek(position);
            EXPECT_THROW(s.Read(static_cast<unsigned>(remaining + 1)), StreamError)
                << "size " << size << " position " << position;
            EXPECT_THROW(s.Read(0xFFFFFFFFu), StreamError);
            EXPECT_EQ(s.Position(), position) << "a refused read moved the position";
            const unsigned char* p = s.Read(static_cast<unsigned>(remaining));
            EXPECT_EQ(p, s.Data() + position);
            EXPECT_EQ(s.Remaining(), 0u);
        }
    }
}

TEST(ByteStreamBounds, ShortReadMessageNamesTheCounts) {
    ByteStream s("abcd", 4);
    s.Read(2);
    try {
        s.Read(5);
        FAIL() << "read past the end succeeded";
    } catch (const StreamError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("5 bytes"), std::string::npos) << what;
        EXPECT_NE(what.find("position 2"), std::string::npos) << what;
        EXPECT_NE(what.find("4-byte"), std::string::npos) << what;
    }
}

TEST(ByteStreamBounds, SeekPastTheEndThrowsAndRewindRereads) {
    ByteStream s("xyz", 3);
    s.Read(3);
    EXPECT_THROW(s.Seek(4), StreamError);
    EXPECT_EQ(s.Position(), 3u);
    s.Seek(3);  // the end itself is a valid position
    s.Seek(1);
    EXPECT_EQ(*s.Read(1), 'y');
    try {
        s.Seek(10);
        FAIL();
    } catch (const StreamError& e) {
        EXPECT_NE(std::string(e.what()).find("10"), std::string::npos) << e.what();
    }
}

// Writes of every chunk size across the switch from the inline buffer to the heap (and further
// doublings) keep what was written before.
TEST(ByteStreamGrowth, ContentsSurviveEveryGrowth) {
    const auto bytes = Pattern(5000);
    for (std::size_t chunk : {1u, 3u, 63u, 64u, 65u, 511u, 512u, 513u, 1000u, 5000u}) {
        ByteStream s;
        for (std::size_t done = 0; done < bytes.size(); done += chunk) {
            const std::size_t n = std::min(chunk, bytes.size() - done);
            s.Write(bytes.data() + done, static_cast<unsigned>(n));
        }
        EXPECT_EQ(Contents(s), bytes) << "chunk " << chunk;
        s.Seek(0);
        EXPECT_EQ(std::vector<unsigned char>(s.Read(5000), s.Data() + 5000), bytes);
    }
}

// Short writes are copied without memcpy, in overlapping pieces chosen by length: every length
// through the largest piece and beyond, at every alignment, copies exactly its bytes and touches
// nothing before or after them.
TEST(ByteStreamGrowth, WritesOfEveryShortLengthCopyExactly) {
    const auto bytes = Pattern(140);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t n = 0; n <= 130; ++n) {
            ByteStream s;
            const std::vector<unsigned char> before(offset, 0xEE);
            s.Write(before.data(), static_cast<unsigned>(offset));
            s.Write(bytes.data() + 3, static_cast<unsigned>(n));
            s.Write("\xCC", 1);
            ASSERT_EQ(s.Size(), offset + n + 1);
            std::vector<unsigned char> expected(before);
            expected.insert(expected.end(), bytes.begin() + 3, bytes.begin() + 3 + static_cast<std::ptrdiff_t>(n));
            expected.push_back(0xCC);
            EXPECT_EQ(Contents(s), expected) << "length " << n << " at offset " << offset;
        }
    }
}

TEST(ByteStreamGrowth, ReserveAndExtendKeepContents) {
    const auto bytes = Pattern(40);
    ByteStream s(bytes.data(), bytes.size());
    s.Reserve(1000);
    EXPECT_EQ(Contents(s), bytes);
    const unsigned char* storage = s.Data();
    s.Reserve(10);  // never shrinks
    EXPECT_EQ(s.Data(), storage);

    unsigned char* tail = s.Extend(2000);  // past the reservation: grows again
    EXPECT_EQ(tail, s.Data() + 40);
    EXPECT_EQ(s.Size(), 2040u);
    EXPECT_EQ(std::vector<unsigned char>(s.Data(), s.Data() + 40), bytes);
}

TEST(ByteStreamGrowth, CapacityConstructorGivesExactRoomAndClearKeepsStorage) {
    ByteStream s(300);
    const unsigned char* storage = s.Data();
    const auto bytes = Pattern(300);
    s.Write(bytes.data(), 300);
    EXPECT_EQ(s.Data(), storage) << "writing the reserved size reallocated";
    s.Clear();
    EXPECT_EQ(s.Size(), 0u);
    EXPECT_EQ(s.Position(), 0u);
    s.Write(bytes.data(), 300);
    EXPECT_EQ(s.Data(), storage);
}

TEST(ByteStreamGrowth, DataConstructorCopies) {
    std::vector<unsigned char> bytes = Pattern(100);
    ByteStream s(bytes.data(), bytes.size());
    bytes[0] ^= 0xFF;
    EXPECT_NE(s.Data(), bytes.data());
    EXPECT_EQ(s.Data()[0], static_cast<unsigned char>(3));
    EXPECT_EQ(s.Position(), 0u);
    ByteStream empty(nullptr, 0);
    EXPECT_EQ(empty.Size(), 0u);
}

// The helpers must not depend on alignment or host byte order.
TEST(LittleEndian, StoreAndLoadAtEveryAlignment) {
    struct Case {
        std::uint32_t value;
        unsigned char bytes[4];
    };
    const Case cases[] = {
        {0x11223344u, {0x44, 0x33, 0x22, 0x11}},
        {0xFFFFFFFEu, {0xFE, 0xFF, 0xFF, 0xFF}},
        {0x80000000u, {0x00, 0x00, 0x00, 0x80}},
        {1u, {0x01, 0x00, 0x00, 0x00}},
    };
    alignas(8) unsigned char buffer[16];
    for (const Case& c : cases) {
        for (std::size_t offset = 0; offset < 4; ++offset) {
            std::memset(buffer, 0xAA, sizeof buffer);
            ipc2::StoreLe32(buffer + offset, c.value);
            EXPECT_EQ(0, std::memcmp(buffer + offset, c.bytes, 4)) << std::hex << c.value << " at " << offset;
            EXPECT_EQ(buffer[offset + 4], 0xAA) << "wrote past the value";
            EXPECT_EQ(ipc2::LoadLe32(buffer + offset), c.value);
        }
    }
}

TEST(LittleEndian, StreamHelpersRoundTripSignedValues) {
    ByteStream s;
    s.Write("!", 1);  // the values that follow are unaligned
    for (std::int32_t v : {0, -1, 1, INT32_MIN, INT32_MAX, -123456}) ipc2::WriteLe32(s, v);
    s.Read(1);
    for (std::int32_t v : {0, -1, 1, INT32_MIN, INT32_MAX, -123456}) EXPECT_EQ(ipc2::ReadLe32(s), v);
    EXPECT_THROW(ipc2::ReadLe32(s), StreamError);
}
