// What every record has in common, checked on all eighteen: the wire round trip, the order laws,
// deep copies and moves, and the agreement of the three text forms.
#include <sstream>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "record_samples.h"

namespace aai_test {
namespace {

template <class R>
class RecordPattern : public ::testing::Test {
protected:
    using Marshaller = typename Sample<R>::Marshaller;

    // Default, Bare and Full differ from each other wherever the record has optional fields.
    static std::vector<R> Values() { return {R(), Sample<R>::Bare(), Sample<R>::Full()}; }
};

TYPED_TEST_SUITE(RecordPattern, AllRecords);

TYPED_TEST(RecordPattern, RoundTripsThroughItsMarshallerWithSizeOfExact) {
    using M = typename TestFixture::Marshaller;
    for (const TypeParam& value : TestFixture::Values()) {
        SCOPED_TRACE(value.toString());
        auto stream = EncodeWith<M>(value);
        EXPECT_EQ(M::SizeOf(value), static_cast<int>(stream->Size()));

        const TypeParam decoded = M::Decode(stream, nullptr, nullptr);
        EXPECT_EQ(stream->Remaining(), 0u);
        EXPECT_EQ(decoded, value);
        EXPECT_EQ(decoded.toString(), value.toString());
        EXPECT_EQ(BytesOf(*EncodeWith<M>(decoded)), BytesOf(*stream));
    }
}

// A decoder that reads more or less than its own value shows up when values follow each other.
TYPED_TEST(RecordPattern, ConsecutiveValuesDecodeInOrder) {
    using M = typename TestFixture::Marshaller;
    const auto values = TestFixture::Values();
    auto stream = std::make_shared<ByteStream>();
    for (const TypeParam& value : values) M::Encode(stream, value, nullptr, nullptr);
    for (const TypeParam& value : values) EXPECT_EQ(M::Decode(stream, nullptr, nullptr), value);
    EXPECT_EQ(stream->Remaining(), 0u);
}

TYPED_TEST(RecordPattern, ComparisonsFormATotalOrderConsistentWithEquality) {
    auto values = TestFixture::Values();
    values.push_back(Sample<TypeParam>::Full());  // an equal pair from distinct objects
    for (const TypeParam& a : values) {
        for (const TypeParam& b : values) {
            SCOPED_TRACE(a.toString() + " vs " + b.toString());
            EXPECT_EQ((a < b) + (a == b) + (b < a), 1);
            EXPECT_EQ(a.equals(b), a == b);
            EXPECT_EQ(a.lessThan(b), a < b);
            EXPECT_EQ(a != b, !(a == b));
            EXPECT_EQ(a <= b, !(b < a));
            EXPECT_EQ(a > b, b < a);
            EXPECT_EQ(a >= b, !(a < b));
            for (const TypeParam& c : values) {
                if (a < b && b < c) {
                    EXPECT_LT(a, c);
                }
            }
        }
    }
}

TYPED_TEST(RecordPattern, CopiesAreDeepAndMovesTakeOver) {
    const TypeParam full = Sample<TypeParam>::Full();

    TypeParam copy(full);
    EXPECT_EQ(copy, full);
    copy = TypeParam();
    EXPECT_NE(copy, full);
    EXPECT_EQ(full, Sample<TypeParam>::Full());

    TypeParam assigned;
    assigned = full;
    const TypeParam& alias = assigned;
    assigned = alias;
    EXPECT_EQ(assigned, full);

    TypeParam moved(std::move(assigned));
    EXPECT_EQ(moved, full);
    assigned = full;  // a moved-from record takes a new value
    EXPECT_EQ(assigned, full);

    TypeParam target;
    target = std::move(moved);
    EXPECT_EQ(target, full);
    moved = TypeParam();
    EXPECT_EQ(moved, TypeParam());
}

TYPED_TEST(RecordPattern, TextFormsAgree) {
    for (const TypeParam& value : TestFixture::Values()) {
        std::ostringstream os;
        os << value;
        EXPECT_EQ(os.str(), value.toString());
        EXPECT_EQ(ToString(value), value.toString());
    }
}

}  // namespace
}  // namespace aai_test
