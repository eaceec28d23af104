#include "common/eip_variant.h"

#include <gtest/gtest.h>

namespace {

using kestrel::strata_sdk::Variant;

TEST(VariantSize, CountsArrayElements) {
    Variant::ArrayType items = {Variant(1), Variant("two"), Variant(3.0), Variant::new_map()};
    EXPECT_EQ(Size(Variant(items)), 4u);
    EXPECT_EQ(Size(Variant::new_array()), 0u);
}

TEST(VariantSize, IsZeroForEveryOtherKindWithoutThrowing) {
    Variant map = Variant::new_map();
    map["a"] = 1;
    map["b"] = 2;
    EXPECT_NO_THROW(EXPECT_EQ(Size(map), 0u));
    EXPECT_EQ(Size(Variant("a string of some length")), 0u);
    EXPECT_EQ(Size(Variant()), 0u);
    EXPECT_EQ(Size(Variant(true)), 0u);
    EXPECT_EQ(Size(Variant(-5)), 0u);
    EXPECT_EQ(Size(Variant(5u)), 0u);
    EXPECT_EQ(Size(Variant(2.5)), 0u);
}

}  // namespace
