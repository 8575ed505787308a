// EncodableValue: key order across and within alternatives, deep copies.
#include "channels/encodable_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

TEST(EncodableValueTest, HasFourteenAlternativesInWireOrder) {
  EXPECT_EQ(std::variant_size_v<EncodableValue::super>, 14u);
  EXPECT_EQ(EncodableValue().index(), 0u);
  EXPECT_TRUE(EncodableValue().IsNull());
  EXPECT_EQ(EncodableValue(true).index(), 1u);
  EXPECT_EQ(EncodableValue(int32_t{1}).index(), 2u);
  EXPECT_EQ(EncodableValue(int64_t{1}).index(), 3u);
  EXPECT_EQ(EncodableValue(1.0).index(), 4u);
  EXPECT_EQ(EncodableValue("text").index(), 5u);  // a C string is a string, not a bool
  EXPECT_EQ(EncodableValue(std::vector<uint8_t>{}).index(), 6u);
  EXPECT_EQ(EncodableValue(std::vector<int32_t>{}).index(), 7u);
  EXPECT_EQ(EncodableValue(std::vector<int64_t>{}).index(), 8u);
  EXPECT_EQ(EncodableValue(std::vector<double>{}).index(), 9u);
  EXPECT_EQ(EncodableValue(EncodableList{}).index(), 10u);
  EXPECT_EQ(EncodableValue(EncodableMap{}).index(), 11u);
  EXPECT_EQ(EncodableValue(CustomEncodableValue(std::any(5))).index(), 12u);
  EXPECT_EQ(EncodableValue(std::vector<float>{}).index(), 13u);
}

TEST(EncodableValueTest, KeysOrderByAlternativeThenValue) {
  EncodableMap map;
  map[EncodableValue(int32_t{2})] = EncodableValue();
  map[EncodableValue("a")] = EncodableValue();
  map[EncodableValue(true)] = EncodableValue();
  std::vector<EncodableValue> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[0], EncodableValue(true));
  EXPECT_EQ(keys[1], EncodableValue(int32_t{2}));
  EXPECT_EQ(keys[2], EncodableValue("a"));

  // Across alternatives the index decides, whatever the values.
  EXPECT_LT(EncodableValue(), EncodableValue(false));
  EXPECT_LT(EncodableValue(true), EncodableValue(int32_t{-5}));
  EXPECT_LT(EncodableValue(int32_t{100}), EncodableValue(int64_t{-100}));
  EXPECT_LT(EncodableValue(int64_t{100}), EncodableValue(-1.0));
  EXPECT_LT(EncodableValue("zzz"), EncodableValue(std::vector<uint8_t>{0}));
  EXPECT_LT(EncodableValue(EncodableMap{}), EncodableValue(std::vector<float>{}));
}

TEST(EncodableValueTest, ValuesOfOneAlternativeOrderNaturally) {
  EXPECT_LT(EncodableValue(false), EncodableValue(true));
  EXPECT_LT(EncodableValue(int32_t{-3}), EncodableValue(int32_t{2}));
  EXPECT_LT(EncodableValue(int64_t{-3}), EncodableValue(int64_t{2}));
  EXPECT_LT(EncodableValue(-0.5), EncodableValue(0.25));
  // Strings compare as unsigned bytes, a proper prefix first.
  EXPECT_LT(EncodableValue("ab"), EncodableValue("abc"));
  EXPECT_LT(EncodableValue("abc"), EncodableValue("abd"));
  EXPECT_LT(EncodableValue("z"), EncodableValue("\xC3\xA9"));
  EXPECT_FALSE(EncodableValue("abc") < EncodableValue("abc"));
  // Typed lists, lists and maps element by element, a proper prefix first.
  EXPECT_LT(EncodableValue(std::vector<uint8_t>{1, 2}), EncodableValue(std::vector<uint8_t>{1, 2, 0}));
  EXPECT_LT(EncodableValue(std::vector<uint8_t>{1, 200}), EncodableValue(std::vector<uint8_t>{2}));
  EXPECT_LT(EncodableValue(std::vector<int32_t>{-1}), EncodableValue(std::vector<int32_t>{0}));
  EXPECT_LT(EncodableValue(std::vector<double>{1.5}), EncodableValue(std::vector<double>{2.0}));
  EXPECT_LT(EncodableValue(EncodableList{EncodableValue(int32_t{1})}),
            EncodableValue(EncodableList{EncodableValue(int32_t{1}), EncodableValue()}));
  EXPECT_LT(EncodableValue(EncodableList{EncodableValue(true)}),
            EncodableValue(EncodableList{EncodableValue("a")}));
  EncodableMap small{{EncodableValue("a"), EncodableValue(int32_t{1})}};
  EncodableMap larger_value{{EncodableValue("a"), EncodableValue(int32_t{2})}};
  EncodableMap longer{{EncodableValue("a"), EncodableValue(int32_t{1})},
                      {EncodableValue("b"), EncodableValue()}};
  EXPECT_LT(EncodableValue(small), EncodableValue(larger_value));
  EXPECT_LT(EncodableValue(small), EncodableValue(longer));
  EXPECT_FALSE(EncodableValue(longer) < EncodableValue(small));
}

TEST(EncodableValueTest, NaNKeysKeepAStrictOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(EncodableValue(nan) < EncodableValue(nan));
  EXPECT_LT(EncodableValue(std::numeric_limits<double>::infinity()), EncodableValue(nan));
  EncodableMap map;
  map[EncodableValue(nan)] = EncodableValue(int32_t{1});
  map[EncodableValue(1.0)] = EncodableValue(int32_t{2});
  map[EncodableValue(nan)] = EncodableValue(int32_t{3});
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.begin()->first, EncodableValue(1.0));
  EXPECT_TRUE(std::isnan(std::get<double>(map.rbegin()->first)));
}

TEST(EncodableValueTest, CopiesAreDeep) {
  EncodableValue original(EncodableMap{
      {EncodableValue("list"), EncodableValue(EncodableList{EncodableValue("x")})},
      {EncodableValue("bytes"), EncodableValue(std::vector<uint8_t>{1, 2, 3})}});
  EncodableValue copy = original;
  auto& copy_map = std::get<EncodableMap>(copy);
  std::get<EncodableList>(copy_map[EncodableValue("list")]).push_back(EncodableValue("y"));
  std::get<std::vector<uint8_t>>(copy_map[EncodableValue("bytes")])[0] = 9;
  copy_map[EncodableValue("new")] = EncodableValue(true);

  const auto& original_map = std::get<EncodableMap>(original);
  EXPECT_EQ(original_map.size(), 2u);
  EXPECT_EQ(std::get<EncodableList>(original_map.at(EncodableValue("list"))).size(), 1u);
  EXPECT_EQ(std::get<std::vector<uint8_t>>(original_map.at(EncodableValue("bytes")))[0], 1);
  EXPECT_NE(original, copy);
}

TEST(EncodableValueTest, LongValueWidensEitherInteger) {
  EXPECT_EQ(EncodableValue(int32_t{-7}).LongValue(), -7);
  EXPECT_EQ(EncodableValue(int64_t{1} << 40).LongValue(), int64_t{1} << 40);
  EXPECT_THROW(EncodableValue("7").LongValue(), std::bad_variant_access);
}

}  // namespace
