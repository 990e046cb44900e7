// The shapes of the generated tables (fuzz/gen_tables.py) and the value checks they point at.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "aai/aai.h"
#include "ipc2/ipc2.h"

namespace aai_fuzz {

namespace ipc2 = zel::proglibs::ipc2;
using Bytes = std::vector<unsigned char>;
using Handler = std::shared_ptr<ipc2::ConnectionHandler>;
using Brokers = std::shared_ptr<zel::iface::aai::InterfaceBrokers>;

// One method of an interface: its name, its id, and a call of it on a proxy (held as void, made
// from the interface's pointer) with sample arguments.
struct MethodCall {
    const char* name;
    int id;
    void (*call)(const std::shared_ptr<void>& proxy);
};

struct InterfaceEntry {
    const char* wireName;
    bool homeIsService;
    int releaseId;
    // A do-nothing implementation, held as void made from the interface's pointer.
    std::shared_ptr<void> (*makeImplementation)();
    // The broker's stub for `implementation` (as made by makeImplementation).
    std::shared_ptr<ipc2::IStub> (*makeStub)(void* object, const std::shared_ptr<void>& implementation, int id,
                                             Handler handler, const Brokers& brokers);
    // The broker's proxy of the remote object `id`, held as void made from the interface's pointer.
    std::shared_ptr<void> (*makeProxy)(int id, Handler handler, const Brokers& brokers);
    const MethodCall* methods;
    int methodCount;
};

enum class ValueKind { kRecord, kList, kEnum };

// A value type: its name, what it is, and its marshaller's checks.
struct ValueEntry {
    const char* name;
    ValueKind kind;
    // Decodes the bytes; when they decode, checks the round trip (aborts on a mismatch). Throws what
    // the marshaller throws for bytes that do not decode.
    void (*roundTrip)(const unsigned char* data, std::size_t size, const Brokers& brokers);
    // Decodes from the stream and drops the value.
    void (*decode)(const std::shared_ptr<ipc2::ByteStream>& stream, const Brokers& brokers);
    // The encoding of a sample with every optional set and two elements in every list.
    Bytes (*encodeSample)(const Brokers& brokers);
    // The encoding of the default value.
    Bytes (*encodeDefault)(const Brokers& brokers);
};

[[noreturn]] inline void Fail(const char* type, const char* what) {
    std::fprintf(stderr, "%s: %s\n", type, what);
    std::abort();
}

template <class T, class M>
void EncodeInto(const std::shared_ptr<ipc2::ByteStream>& stream, const T& value, const Brokers& brokers) {
    if constexpr (std::is_enum_v<T>)
        M::Encode(stream, value, nullptr);
    else
        M::Encode(stream, value, nullptr, brokers);
}

template <class T, class M>
T DecodeFrom(const std::shared_ptr<ipc2::ByteStream>& stream, const Brokers& brokers) {
    if constexpr (std::is_enum_v<T>)
        return M::Decode(stream, nullptr);
    else
        return M::Decode(stream, nullptr, brokers);
}

template <class T, class M>
Bytes EncodeValue(const T& value, const Brokers& brokers) {
    auto stream = std::make_shared<ipc2::ByteStream>();
    EncodeInto<T, M>(stream, value, brokers);
    return Bytes(stream->Data(), stream->Data() + stream->Size());
}

template <class T, class M>
void DecodeOnly(const std::shared_ptr<ipc2::ByteStream>& stream, const Brokers& brokers) {
    (void)DecodeFrom<T, M>(stream, brokers);
}

// What decodes must encode to exactly SizeOf bytes and decode back to an equal value, using all
// of those bytes and no more. Decoding normalises (any non-zero flag reads as 1, a negative count
// as 0) but never changes a value's size, so SizeOf is also the number of bytes it was read from.
template <class T, class M>
void RoundTrip(const unsigned char* data, std::size_t size, const Brokers& brokers) {
    auto input = std::make_shared<ipc2::ByteStream>(data, size);
    const T value = DecodeFrom<T, M>(input, brokers);
    if (static_cast<std::size_t>(M::SizeOf(value)) != input->Position())
        Fail(typeid(T).name(), "SizeOf differs from the bytes the value was decoded from");
    auto encoded = std::make_shared<ipc2::ByteStream>();
    EncodeInto<T, M>(encoded, value, brokers);
    const int sizeOf = M::SizeOf(value);
    if (sizeOf < 0 || static_cast<std::size_t>(sizeOf) != encoded->Size())
        Fail(typeid(T).name(), "SizeOf differs from the bytes written");
    const T again = DecodeFrom<T, M>(encoded, brokers);
    if (encoded->Remaining() != 0) Fail(typeid(T).name(), "decoding the encoding left bytes unread");
    if (!(again == value)) Fail(typeid(T).name(), "decode(encode(x)) differs from x");
}

}  // namespace aai_fuzz
