// Key order and equality of EncodableValue. Any thread.
#include "channels/encodable_value.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace flutter {

namespace {

// Numbers compare numerically; NaN sorts after every other number and equals
// itself, so that maps keyed by doubles keep a strict weak order.
template <typename T>
bool NumberLess(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
  }
  return a < b;
}

template <typename T>
bool SequenceLess(const std::vector<T>& a, const std::vector<T>& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), NumberLess<T>);
}

bool StringLess(const std::string& a, const std::string& b) {
  // Bytewise as unsigned bytes, a proper prefix first.
  const size_t common = std::min(a.size(), b.size());
  const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  if (order != 0) return order < 0;
  return a.size() < b.size();
}

bool ListLess(const EncodableList& a, const EncodableList& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

bool MapLess(const EncodableMap& a, const EncodableMap& b) {
  auto ia = a.begin();
  auto ib = b.begin();
  for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
    if (ia->first < ib->first) return true;
    if (ib->first < ia->first) return false;
    if (ia->second < ib->second) return true;
    if (ib->second < ia->second) return false;
  }
  return ia == a.end() && ib != b.end();
}

}  // namespace

int64_t EncodableValue::LongValue() const {
  if (const auto* value = std::get_if<int32_t>(this)) return *value;
  return std::get<int64_t>(*this);
}

std::weak_ordering operator<=>(const EncodableValue& a, const EncodableValue& b) {
  if (a < b) return std::weak_ordering::less;
  if (b < a) return std::weak_ordering::greater;
  return std::weak_ordering::equivalent;
}

bool operator<(const EncodableValue& a, const EncodableValue& b) {
  if (a.index() != b.index()) return a.index() < b.index();
  switch (a.index()) {
    case 0:
      return false;
    case 1:
      return NumberLess(std::get<bool>(a), std::get<bool>(b));
    case 2:
      return NumberLess(std::get<int32_t>(a), std::get<int32_t>(b));
    case 3:
      return NumberLess(std::get<int64_t>(a), std::get<int64_t>(b));
    case 4:
      return NumberLess(std::get<double>(a), std::get<double>(b));
    case 5:
      return StringLess(std::get<std::string>(a), std::get<std::string>(b));
    case 6:
      return SequenceLess(std::get<std::vector<uint8_t>>(a), std::get<std::vector<uint8_t>>(b));
    case 7:
      return SequenceLess(std::get<std::vector<int32_t>>(a), std::get<std::vector<int32_t>>(b));
    case 8:
      return SequenceLess(std::get<std::vector<int64_t>>(a), std::get<std::vector<int64_t>>(b));
    case 9:
      return SequenceLess(std::get<std::vector<double>>(a), std::get<std::vector<double>>(b));
    case 10:
      return ListLess(std::get<EncodableList>(a), std::get<EncodableList>(b));
    case 11:
      return MapLess(std::get<EncodableMap>(a), std::get<EncodableMap>(b));
    case 12:
      return std::get<CustomEncodableValue>(a) < std::get<CustomEncodableValue>(b);
    case 13:
      return SequenceLess(std::get<std::vector<float>>(a), std::get<std::vector<float>>(b));
    default:
      return false;
  }
}

bool operator==(const EncodableValue& a, const EncodableValue& b) {
  if (a.index() != b.index()) return false;
  return std::visit(
      [&b](const auto& left) {
        using T = std::decay_t<decltype(left)>;
        return left == std::get<T>(b);
      },
      static_cast<const EncodableValue::super&>(a));
}

}  // namespace flutter
