// The cost of the value encodings against the floor of copying the same bytes.
//
// Each record is encoded and decoded the way a call carries it: SizeOf, a stream of exactly that
// size, Encode, then Decode from the same stream. Beside each, a memcpy of the same number of bytes
// in the same run: the ratio of the two is what the codec costs over moving the bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "aai/marshallers.h"
#include "aai/types.h"
#include "ipc2/bytestream.h"
#include "userlogin/userlogin.h"

namespace {

using namespace zel::iface::aai;
using zel::proglibs::ipc2::ByteStream;

// All optional fields set; the same content as the reference measurements of other RPC systems.
LocalUser SampleLocalUser() {
    return LocalUser(1042, zel::iface::userlogin::USERNAME_ADMINISTRATOR, std::string("print-room-admin"),
                     "S3cure!Passw0rd#2024", "Margaret H. Lindqvist", "Facility printer administrator",
                     "m.lindqvist@example.org", true, true, true, std::string("EXAMPLE\\mlindqvist"));
}

Domain SampleDomain() {
    return Domain("EXAMPLE-CORP", "Corporate directory for Building 4", "corp.example.org",
                  std::string("@corp.example.org"), std::string("ldap01.corp.example.org"), 636, false,
                  DOMAINAUTHENTICATIONSTRATEGY_ANONYMOUS, std::string("svc-printer-lookup"),
                  std::string("Lookup#Passw0rd!77"), std::string("OU=Staff,DC=corp,DC=example,DC=org"), 500, 30, true,
                  "(&(objectClass=user)(sAMAccountName=%u))", "displayName", "memberOf",
                  "(&(objectClass=group)(cn=Print*))", "sAMAccountName", "description", "distinguishedName", true,
                  "(&(objectClass=person)(mail=%s*))", "userPrincipalName", "(&(objectClass=user)(employeeID=%c))");
}

template <class Marshaller, class Record>
void RoundTrip(benchmark::State& state, const Record& value) {
    const std::shared_ptr<zel::proglibs::ipc2::ConnectionHandler> handler;
    const std::shared_ptr<InterfaceBrokers> brokers;
    for (auto _ : state) {
        const int size = Marshaller::SizeOf(value);
        auto stream = std::make_shared<ByteStream>(static_cast<std::size_t>(size));
        Marshaller::Encode(stream, value, handler, brokers);
        Record decoded = Marshaller::Decode(stream, handler, brokers);
        benchmark::DoNotOptimize(decoded);
    }
    const auto bytes = static_cast<std::int64_t>(Marshaller::SizeOf(value));
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["bytes"] = static_cast<double>(bytes);
}

template <class Marshaller, class Record>
void Encode(benchmark::State& state, const Record& value) {
    auto stream = std::make_shared<ByteStream>(static_cast<std::size_t>(Marshaller::SizeOf(value)));
    for (auto _ : state) {
        stream->Clear();
        Marshaller::Encode(stream, value, nullptr, nullptr);
        benchmark::ClobberMemory();
    }
}

template <class Marshaller, class Record>
void Decode(benchmark::State& state, const Record& value) {
    auto stream = std::make_shared<ByteStream>();
    Marshaller::Encode(stream, value, nullptr, nullptr);
    for (auto _ : state) {
        stream->Seek(0);
        Record decoded = Marshaller::Decode(stream, nullptr, nullptr);
        benchmark::DoNotOptimize(decoded);
    }
}

// The floor: copying as many bytes as the record's encoding has. Source and destination lie in
// one buffer, both 64-byte aligned and a fixed distance apart, so that the floor does not depend on
// where the heap happens to place two separate blocks after the benchmarks before it (in one such
// placement the copy took twice as long).
template <class Marshaller, class Record>
void Memcpy(benchmark::State& state, const Record& value) {
    const auto size = static_cast<std::size_t>(Marshaller::SizeOf(value));
    const std::size_t distance = std::max<std::size_t>(1024, (size + 63) / 64 * 64);
    std::vector<unsigned char> buffer(64 + distance + size, 0x5a);
    unsigned char* from = buffer.data() + (64 - reinterpret_cast<std::uintptr_t>(buffer.data()) % 64) % 64;
    unsigned char* to = from + distance;
    for (auto _ : state) {
        benchmark::DoNotOptimize(from);
        std::memcpy(to, from, size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

void BM_Domain_RoundTrip(benchmark::State& s) { RoundTrip<DomainMarshaller>(s, SampleDomain()); }
void BM_Domain_Encode(benchmark::State& s) { Encode<DomainMarshaller>(s, SampleDomain()); }
void BM_Domain_Decode(benchmark::State& s) { Decode<DomainMarshaller>(s, SampleDomain()); }
void BM_Domain_Memcpy(benchmark::State& s) { Memcpy<DomainMarshaller>(s, SampleDomain()); }
void BM_LocalUser_RoundTrip(benchmark::State& s) { RoundTrip<LocalUserMarshaller>(s, SampleLocalUser()); }
void BM_LocalUser_Encode(benchmark::State& s) { Encode<LocalUserMarshaller>(s, SampleLocalUser()); }
void BM_LocalUser_Decode(benchmark::State& s) { Decode<LocalUserMarshaller>(s, SampleLocalUser()); }
void BM_LocalUser_Memcpy(benchmark::State& s) { Memcpy<LocalUserMarshaller>(s, SampleLocalUser()); }

BENCHMARK(BM_Domain_RoundTrip);
BENCHMARK(BM_Domain_Encode);
BENCHMARK(BM_Domain_Decode);
BENCHMARK(BM_Domain_Memcpy);
BENCHMARK(BM_LocalUser_RoundTrip);
BENCHMARK(BM_LocalUser_Encode);
BENCHMARK(BM_LocalUser_Decode);
BENCHMARK(BM_LocalUser_Memcpy);

}  // namespace

BENCHMARK_MAIN();
