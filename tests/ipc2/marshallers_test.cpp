#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "ipc2/marshallers.h"

namespace ipc2 = zel::proglibs::ipc2;
using ipc2::ByteStream;
using ipc2::StreamError;

// The largest single allocation made while a test watches: a hostile length must be refused before
// anything the size of it is allocated.
namespace {
std::atomic<bool> gWatching{false};
std::atomic<std::size_t> gLargest{0};

void* Allocate(std::size_t n) {
    if (gWatching.load(std::memory_order_relaxed)) {
        std::size_t seen = gLargest.load(std::memory_order_relaxed);
        while (n > seen && !gLargest.compare_exchange_weak(seen, n)) {
        }
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}

struct AllocationWatch {
    AllocationWatch() {
        gLargest = 0;
        gWatching = true;
    }
    ~AllocationWatch() { gWatching = false; }
    std::size_t Largest() const { return gLargest.load(); }
};
}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Contents(const ByteStream& s) { return {s.Data(), s.Data() + s.Size()}; }

ByteStream StreamOf(const Bytes& bytes) { return ByteStream(bytes.data(), bytes.size()); }

}  // namespace

// The encodings are the protocol: a change here breaks every peer built before it.
TEST(PrimitiveEncoding, ExactBytes) {
    struct Case {
        const char* name;
        std::function<void(ByteStream&)> put;
        Bytes bytes;
    };
    const Case cases[] = {
        {"int 0", [](ByteStream& s) { ipc2::wire::PutInt(s, 0); }, {0, 0, 0, 0}},
        {"int 0x01020304", [](ByteStream& s) { ipc2::wire::PutInt(s, 0x01020304); }, {4, 3, 2, 1}},
        {"int -1", [](ByteStream& s) { ipc2::wire::PutInt(s, -1); }, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"int min", [](ByteStream& s) { ipc2::wire::PutInt(s, INT_MIN); }, {0, 0, 0, 0x80}},
        {"int max", [](ByteStream& s) { ipc2::wire::PutInt(s, INT_MAX); }, {0xFF, 0xFF, 0xFF, 0x7F}},
        {"byte", [](ByteStream& s) { ipc2::wire::PutByte(s, 0xFE); }, {0xFE}},
        {"bool true", [](ByteStream& s) { ipc2::wire::PutBool(s, true); }, {1}},
        {"bool false", [](ByteStream& s) { ipc2::wire::PutBool(s, false); }, {0}},
        {"empty string", [](ByteStream& s) { ipc2::wire::PutString(s, ""); }, {0, 0, 0, 0}},
        {"string", [](ByteStream& s) { ipc2::wire::PutString(s, "ab"); }, {2, 0, 0, 0, 'a', 'b'}},
        {"string with NUL", [](ByteStream& s) { ipc2::wire::PutString(s, std::string("a\0b", 3)); },
         {3, 0, 0, 0, 'a', 0, 'b'}},
    };
    for (const Case& c : cases) {
        ByteStream s;
        c.put(s);
        EXPECT_EQ(Contents(s), c.bytes) << c.name;
    }
}

TEST(PrimitiveEncoding, MarshallersRoundTrip) {
    auto s = std::make_shared<ByteStream>();
    const std::string binary("\0\xff text \x01", 9);
    const std::string large(1000, 'q');
    std::shared_ptr<ipc2::ConnectionHandler> none;
    for (int v : {0, 1, -1, INT_MIN, INT_MAX}) ipc2::IntMarshaller::Encode(s, v, none);
    ipc2::ByteMarshaller::Encode(s, 0, none);
    ipc2::ByteMarshaller::Encode(s, 255, none);
    ipc2::BoolMarshaller::Encode(s, true, none);
    ipc2::BoolMarshaller::Encode(s, false, none);
    ipc2::StringMarshaller::Encode(s, binary, none);
    ipc2::StringMarshaller::Encode(s, large, none);
    ipc2::StringMarshaller::Encode(s, "", none);

    EXPECT_EQ(s->Size(), 5u * 4 + 2 + 2 + static_cast<std::size_t>(ipc2::StringMarshaller::SizeOf(binary) +
                                                                      ipc2::StringMarshaller::SizeOf(large) +
                                                                      ipc2::StringMarshaller::SizeOf("")));
    for (int v : {0, 1, -1, INT_MIN, INT_MAX}) EXPECT_EQ(ipc2::IntMarshaller::Decode(s, none), v);
    EXPECT_EQ(ipc2::ByteMarshaller::Decode(s, none), 0);
    EXPECT_EQ(ipc2::ByteMarshaller::Decode(s, none), 255);
    EXPECT_TRUE(ipc2::BoolMarshaller::Decode(s, none));
    EXPECT_FALSE(ipc2::BoolMarshaller::Decode(s, none));
    EXPECT_EQ(ipc2::StringMarshaller::Decode(s, none), binary);
    EXPECT_EQ(ipc2::StringMarshaller::Decode(s, none), large);
    EXPECT_EQ(ipc2::StringMarshaller::Decode(s, none), "");
    EXPECT_EQ(s->Remaining(), 0u);
    EXPECT_THROW(ipc2::BoolMarshaller::Decode(s, none), StreamError);
}

TEST(PrimitiveEncoding, AnyNonZeroByteDecodesAsTrue) {
    for (unsigned char b : {1, 2, 0x80, 0xFF}) {
        ByteStream s(&b, 1);
        EXPECT_TRUE(ipc2::wire::GetBool(s)) << int(b);
    }
}

// Lengths a hostile or broken peer may send: each is refused with both numbers named, and nothing
// near the claimed size is allocated.
TEST(HostileStringLength, RefusedBeforeAllocating) {
    struct Case {
        const char* name;
        Bytes bytes;
        const char* length;
        const char* remaining;
    };
    const Case cases[] = {
        {"huge with 4 bytes behind", {0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b', 'c', 'd'}, "2147483647", "4"},
        {"negative", {0xFF, 0xFF, 0xFF, 0xFF, 'a'}, "-1", "1"},
        {"most negative", {0x00, 0x00, 0x00, 0x80}, "-2147483648", "0"},
        {"one more than behind", {5, 0, 0, 0, 'a', 'b', 'c', 'd'}, "5", "4"},
    };
    for (const Case& c : cases) {
        ByteStream s = StreamOf(c.bytes);
        AllocationWatch watch;
        try {
            ipc2::wire::GetString(s);
            ADD_FAILURE() << c.name << ": decoded";
        } catch (const StreamError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.length), std::string::npos) << c.name << ": " << what;
            EXPECT_NE(what.find(std::string(c.remaining) + " bytes"), std::string::npos) << c.name << ": " << what;
        }
        EXPECT_LT(watch.Largest(), 4096u) << c.name;
    }
}

TEST(HostileStringLength, TruncatedLengthFieldThrows) {
    ByteStream s("\x01\x00", 2);
    EXPECT_THROW(ipc2::wire::GetString(s), StreamError);
}
