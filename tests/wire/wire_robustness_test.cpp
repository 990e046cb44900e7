// Decoding hostile or damaged messages: a message cut short anywhere fails with the runtime's
// StreamError, and a huge element count with almost nothing behind it fails without allocating in
// proportion to the count.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../records/record_samples.h"
#include "allocation_counter.h"
#include "ipc2/errors.h"

namespace aai_test {
namespace {

using zel::proglibs::ipc2::StreamError;
using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kHugeCount = {0xFF, 0xFF, 0xFF, 0x7F};
const Bytes kZeros = {0, 0, 0, 0};
const Bytes kSet = {1};
const Bytes kUnset = {0};

template <class R>
class Truncated : public ::testing::Test {};

TYPED_TEST_SUITE(Truncated, AllRecords);

TYPED_TEST(Truncated, EveryShorterMessageThrowsStreamError) {
    using M = typename Sample<TypeParam>::Marshaller;
    const Bytes full = BytesOf(*EncodeWith<M>(Sample<TypeParam>::Full()));
    for (std::size_t length = 0; length < full.size(); ++length) {
        auto stream = StreamOf(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)));
        EXPECT_THROW(M::Decode(stream, nullptr, nullptr), StreamError) << "length " << length;
    }
    EXPECT_EQ(M::Decode(StreamOf(full), nullptr, nullptr), Sample<TypeParam>::Full());
}

TEST(TruncatedList, ThrowsAtEveryShorterLength) {
    const LocalUserList users = {Sample<LocalUser>::Full(), Sample<LocalUser>::Bare()};
    const Bytes full = BytesOf(*EncodeWith<LocalUserListMarshaller>(users));
    for (std::size_t length = 0; length < full.size(); ++length) {
        auto stream = StreamOf(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)));
        EXPECT_THROW(LocalUserListMarshaller::Decode(stream, nullptr, nullptr), StreamError) << "length " << length;
    }
    EXPECT_EQ(LocalUserListMarshaller::Decode(StreamOf(full), nullptr, nullptr), users);
}

struct Outcome {
    bool threwStreamError = false;
    std::size_t allocated = 0;
};

Outcome Measure(const std::function<void()>& decode) {
    Outcome outcome;
    StartCountingAllocations();
    try {
        decode();
    } catch (const StreamError&) {
        outcome.threwStreamError = true;
    } catch (...) {
        StopCountingAllocations();
        throw;
    }
    outcome.allocated = StopCountingAllocations();
    return outcome;
}

// The stream is made here, outside the measurement: only what Decode allocates counts.
template <class M>
std::function<void()> Decoding(const Bytes& bytes) {
    auto stream = StreamOf(bytes);
    return [stream] { (void)M::Decode(stream, nullptr, nullptr); };
}

TEST(HostileCount, FailsWithoutAllocatingInProportionToTheCount) {
    struct Case {
        const char* what;
        std::function<void()> decode;
    };
    const std::vector<Case> cases = {
        {"IdList", Decoding<IdListMarshaller>(kHugeCount + kZeros)},
        {"IntegerList", Decoding<IntegerListMarshaller>(kHugeCount + kZeros)},
        {"StringList of empty strings", Decoding<StringListMarshaller>(kHugeCount + kZeros)},
        {"StringList with a huge length", Decoding<StringListMarshaller>(kHugeCount + kHugeCount)},
        {"UserMessageList", Decoding<UserMessageListMarshaller>(kHugeCount + kZeros)},
        {"PasswordComplexityErrors", Decoding<PasswordComplexityErrorsMarshaller>(kHugeCount + kZeros)},
        {"LocalUserList", Decoding<LocalUserListMarshaller>(kHugeCount + kZeros)},
        {"DomainGroupList", Decoding<DomainGroupListMarshaller>(kHugeCount + kZeros)},
        {"EmailRecipientList", Decoding<EmailRecipientListMarshaller>(kHugeCount + kZeros)},
        {"SettingValuesList of lists", Decoding<SettingValuesListMarshaller>(kHugeCount + kHugeCount + kZeros)},
        {"PossibleValues", Decoding<PossibleValuesMarshaller>(kHugeCount + kZeros)},
        {"optional list in GetDomainGroupsResult",
         Decoding<GetDomainGroupsResultMarshaller>(kZeros + kZeros + kSet + kHugeCount + kZeros)},
        {"optional list in AuthenticateUserNotAtMachineResult",
         Decoding<AuthenticateUserNotAtMachineResultMarshaller>(kUnset + kUnset + kUnset + kUnset + kSet + kHugeCount +
                                                                kZeros)},
        {"PrivilegeList in Group",
         Decoding<GroupMarshaller>(kUnset + kZeros + kUnset + kZeros + kUnset + kUnset + kHugeCount + kZeros)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = Measure(c.decode);
        EXPECT_TRUE(outcome.threwStreamError);
        EXPECT_LT(outcome.allocated, 1u << 20);
    }
}

// The measurement itself: an honest decode of a big list is seen allocating.
TEST(HostileCount, TheAllocationCounterSeesLargeDecodes) {
    const IdList big(300000, 7);
    const Bytes bytes = BytesOf(*EncodeWith<IdListMarshaller>(big));
    const Outcome outcome = Measure(Decoding<IdListMarshaller>(bytes));
    EXPECT_FALSE(outcome.threwStreamError);
    EXPECT_GE(outcome.allocated, 1u << 20);
}

}  // namespace
}  // namespace aai_test
