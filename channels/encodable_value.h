// EncodableValue: the value model of every platform channel message, a tagged
// union of fourteen alternatives whose index decides the wire tag and the
// order of map keys. Plain data; usable on any thread.
#pragma once

#include <any>
#include <compare>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

// An opaque object of any type. The standard codec cannot write it (it writes
// null with a diagnostic); it exists so the alternative numbering holds.
class CustomEncodableValue {
 public:
  explicit CustomEncodableValue(const std::any& value) : value_(value) {}
  ~CustomEncodableValue() = default;

  // The held object.
  operator std::any&() { return value_; }
  operator const std::any&() const { return value_; }
  const std::type_info& type() const noexcept { return value_.type(); }

  // Custom values carry no order of their own: they are equal to each other
  // when they hold the same type.
  friend bool operator==(const CustomEncodableValue& a, const CustomEncodableValue& b) {
    return a.type() == b.type();
  }
  friend bool operator<(const CustomEncodableValue& a, const CustomEncodableValue& b) {
    return a.type().before(b.type());
  }

 private:
  std::any value_;
};

class EncodableValue;

using EncodableList = std::vector<EncodableValue>;
using EncodableMap = std::map<EncodableValue, EncodableValue>;

namespace internal {
using EncodableValueVariant =
    std::variant<std::monostate, bool, int32_t, int64_t, double, std::string,
                 std::vector<uint8_t>, std::vector<int32_t>, std::vector<int64_t>,
                 std::vector<double>, EncodableList, EncodableMap, CustomEncodableValue,
                 std::vector<float>>;
}  // namespace internal

class EncodableValue : public internal::EncodableValueVariant {
 public:
  using super = internal::EncodableValueVariant;
  using super::super;
  using super::operator=;

  EncodableValue() = default;

  // A C string is a string value, not a bool.
  explicit EncodableValue(const char* string) : super(std::string(string)) {}
  EncodableValue& operator=(const char* string) {
    super::operator=(std::string(string));
    return *this;
  }

  bool IsNull() const { return std::holds_alternative<std::monostate>(*this); }

  // The integer held, widened to 64 bits; throws std::bad_variant_access when
  // the value is neither a 32-bit nor a 64-bit integer.
  int64_t LongValue() const;

  // Key order: by alternative index first, then by value (false before true,
  // numbers numerically with NaN after every other number, strings bytewise as
  // unsigned bytes, lists and maps element by element with a proper prefix
  // first). A strict weak order even for NaN keys. The three-way form is
  // declared so that no compiler falls back on std::variant's own (which
  // recurses through the list and map alternatives).
  friend bool operator<(const EncodableValue& a, const EncodableValue& b);
  friend std::weak_ordering operator<=>(const EncodableValue& a, const EncodableValue& b);
  friend bool operator==(const EncodableValue& a, const EncodableValue& b);
};

}  // namespace flutter
