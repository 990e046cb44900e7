// Damaged messages: valid records and requests, cut short at every length, with every byte set to
// each of a few telling values and every four-byte window set to each of a few telling numbers,
// decoded by the record marshallers and by the stubs. Whatever decodes must round trip, whatever
// does not must fail with the runtime's StreamError (a stub: with no reply), no decode may
// allocate more than twice the message's size plus 64 KiB, and the sanitizer builds see the rest.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "../records/record_samples.h"
#include "fuzz_tables.h"
#include "sweep.h"
#include "trace/trace.h"

namespace robustness {
namespace {

namespace ipc2 = zel::proglibs::ipc2;
using aai_test::Sample;

struct Tally {
    std::size_t mutations = 0;
    std::size_t decoded = 0;
    std::size_t refused = 0;
    std::size_t largestAllocation = 0;
};

// Decodes every mutation of the record's full sample with its marshaller.
template <class R>
Tally SweepRecord(Findings& findings) {
    using M = typename Sample<R>::Marshaller;
    const auto brokers = zel::iface::aai::MakeInterfaceBrokers();
    const Bytes valid = aai_fuzz::EncodeValue<R, M>(Sample<R>::Full(), brokers);
    EXPECT_GT(valid.size(), 40u);
    Tally tally;
    tally.mutations = MutationCount(valid);
    ForEachMutation(valid, [&](const Mutation& mutation) {
        auto stream = std::make_shared<ipc2::ByteStream>(mutation.bytes.data(), mutation.bytes.size());
        std::optional<R> value;
        Measurement measurement;
        try {
            value = M::Decode(stream, nullptr, brokers);
        } catch (const ipc2::StreamError&) {
        }
        const Allocations allocations = measurement.Stop();
        tally.largestAllocation = std::max(tally.largestAllocation, allocations.total);
        if (allocations.total > Budget(mutation.bytes.size()))
            findings.Add(mutation.what + ": allocated " + std::to_string(allocations.total) + " bytes");
        if (!value) {
            ++tally.refused;
            return;
        }
        ++tally.decoded;
        const Bytes again = aai_fuzz::EncodeValue<R, M>(*value, brokers);
        if (static_cast<std::size_t>(M::SizeOf(*value)) != again.size())
            findings.Add(mutation.what + ": SizeOf differs from the encoding");
        // Decoding normalises flags and counts but never a value's size.
        if (static_cast<std::size_t>(M::SizeOf(*value)) != stream->Position())
            findings.Add(mutation.what + ": SizeOf differs from the bytes decoded");
        if (!(M::Decode(std::make_shared<ipc2::ByteStream>(again.data(), again.size()), nullptr, brokers) == *value))
            findings.Add(mutation.what + ": the decoded value does not survive a round trip");
    });
    return tally;
}

template <class R>
class RecordSweep : public ::testing::Test {};

using SweptRecords = ::testing::Types<zel::iface::aai::Domain, zel::iface::aai::LocalUser,
                                      zel::iface::aai::PossibleValues,
                                      zel::iface::aai::AuthenticateUserNotAtMachineResult>;
TYPED_TEST_SUITE(RecordSweep, SweptRecords);

TYPED_TEST(RecordSweep, EveryMutationDecodesConsistentlyOrFailsWithStreamError) {
    Findings findings;
    const Tally tally = SweepRecord<TypeParam>(findings);
    EXPECT_EQ(findings.Count(), 0u) << findings.Text();
    // Both ways out were taken: the sweep reached past the first field.
    EXPECT_EQ(tally.decoded + tally.refused, tally.mutations);
    EXPECT_GT(tally.decoded, 0u);
    EXPECT_GT(tally.refused, 0u);
    this->RecordProperty("largest_allocation", static_cast<int>(tally.largestAllocation));
}

// Requests of methods whose arguments mix every kind of value: numbers, flags, strings,
// enumerations, records with optional fields, lists of records, the sibling libraries' types,
// and references to objects.
struct RequestCase {
    const char* interface;
    const char* method;
};

const RequestCase kRequests[] = {
    {"UsersAndGroupsServer", "authenticateUserNotAtMachineSync"},  // login id, strings, privileges; record result
    {"UsersAndGroupsServer", "addUser"},                          // record, reference
    {"UsersAndGroupsServer", "testSmartCard"},                    // strings, bools, int, reference
    {"DomainConfigurator", "editDomain"},                         // int, the largest record, reference
    {"TestDomainReplyHandler", "onTestDomainResult"},             // nine arguments of six kinds
    {"UsersAndGroupsNotifications", "cardStatusChanged"},         // enumeration, string, records with dates
    {"HotfolderServer", "editHotfolder"},                         // int, strings, bool, reference
    {"Settings", "setSetting"},                                   // list of records
    {"Settings", "getPossibleValues"},                            // string; list-of-lists result
    {"AuthenticationReplyHandler", "onAuthenticated"},            // logged-in user, list of enumerations
};

class RequestSweep : public ::testing::TestWithParam<RequestCase> {
protected:
    const aai_fuzz::InterfaceEntry& Entry() const {
        const auto* entry =
            aai_fuzz::FindInterface(aai_fuzz::kInterfaces, aai_fuzz::kInterfaceCount, GetParam().interface);
        if (!entry) throw std::runtime_error(std::string("no interface ") + GetParam().interface);
        return *entry;
    }
    const aai_fuzz::MethodCall& Method() const {
        const auto* method = aai_fuzz::FindMethod(Entry(), GetParam().method);
        if (!method) throw std::runtime_error(std::string("no method ") + GetParam().method);
        return *method;
    }

    // One request to a fresh stub on a fresh connection; true when the stub replied.
    bool Deliver(const Bytes& request, Allocations* allocations = nullptr) {
        auto handler = std::make_shared<aai_fuzz::FuzzHandler>(Entry().homeIsService);
        std::shared_ptr<ipc2::IStub> stub = aai_fuzz::ServeNullObject(Entry(), handler, brokers_);
        bool replied;
        {
            Measurement measurement;
            replied = aai_fuzz::ReceiveRequest(*stub, handler, request.data(), request.size());
            if (allocations) *allocations = measurement.Stop();
        }
        stub.reset();
        handler->Close();
        capture_.Clear();
        return replied;
    }

    aai_fuzz::Brokers brokers_ = zel::iface::aai::MakeInterfaceBrokers();
    trace::Capture capture_;
};

TEST_P(RequestSweep, EveryMutationIsAnsweredOrRefusedWithinTheMemoryBudget) {
    const Bytes valid = aai_fuzz::WriteRequest(Entry(), Method(), brokers_);
    ASSERT_GT(valid.size(), 5u);
    ASSERT_TRUE(Deliver(valid)) << "the undamaged request is refused";

    Findings findings;
    std::size_t answered = 0, refused = 0;
    ForEachMutation(valid, [&](const Mutation& mutation) {
        Allocations allocations;
        const bool replied = Deliver(mutation.bytes, &allocations);
        replied ? ++answered : ++refused;
        const bool truncated = mutation.bytes.size() < valid.size();
        if (truncated && replied) findings.Add(mutation.what + ": answered although cut short");
        if (allocations.total > Budget(mutation.bytes.size()))
            findings.Add(mutation.what + ": allocated " + std::to_string(allocations.total) + " bytes");
    });
    EXPECT_EQ(findings.Count(), 0u) << findings.Text();
    EXPECT_EQ(answered + refused, MutationCount(valid));
    EXPECT_GT(answered, 0u);
    EXPECT_GE(refused, valid.size());  // at least every truncation
}

INSTANTIATE_TEST_SUITE_P(Methods, RequestSweep, ::testing::ValuesIn(kRequests),
                         [](const ::testing::TestParamInfo<RequestCase>& info) {
                             return std::string(info.param.interface) + "_" + info.param.method;
                         });

// The valid messages the sweep and the seed corpora start from: every method's request with the
// sample arguments reaches the implementation and is answered, on the object's home side, and the
// answer decodes as the method's result through a proxy on the other side, without a report.
TEST(ValidMessages, EveryMethodsSampleRequestIsAnsweredAndItsReplyDecodes) {
    const auto brokers = zel::iface::aai::MakeInterfaceBrokers();
    trace::Capture capture;
    for (const auto& entry : aai_fuzz::kInterfaces) {
        for (int k = 0; k < entry.methodCount; ++k) {
            const aai_fuzz::MethodCall& method = entry.methods[k];
            SCOPED_TRACE(std::string(entry.wireName) + "." + method.name);
            const Bytes request = aai_fuzz::WriteRequest(entry, method, brokers);
            auto home = std::make_shared<aai_fuzz::FuzzHandler>(entry.homeIsService);
            Bytes reply;
            {
                auto stub = aai_fuzz::ServeNullObject(entry, home, brokers);
                EXPECT_TRUE(aai_fuzz::ReceiveRequest(*stub, home, request.data(), request.size(), &reply));
            }
            home->Close();

            auto caller = std::make_shared<aai_fuzz::FuzzHandler>(!entry.homeIsService);
            caller->reply = reply;
            {
                std::shared_ptr<void> proxy = entry.makeProxy(1, caller, brokers);
                EXPECT_NO_THROW(method.call(proxy));
            }
            caller->Close();
            for (const auto& report : capture.FatalReports()) ADD_FAILURE() << report.function << ": " << report.text;
            capture.Clear();
        }
    }
}

}  // namespace
}  // namespace robustness
