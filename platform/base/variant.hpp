// The variant type of the public interface: empty, text, numbers, and arrays
// of any element type with any number of dimensions and any lower bounds.
// An array placed in a variant is shared by its copies and read through it only.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/base/export.hpp"

ZOETRA_PUBLIC_BEGIN

namespace zoetra::platform {

class VariantArray;

enum class VarType : std::uint8_t { Empty, Bool, Int16, Int32, Double, Text, Array, Variant };

class Variant {
 public:
  Variant() = default;
  explicit Variant(bool v) : value_(v) {}
  explicit Variant(std::int16_t v) : value_(v) {}
  explicit Variant(std::int32_t v) : value_(v) {}
  explicit Variant(double v) : value_(v) {}
  explicit Variant(std::string v) : value_(std::move(v)) {}
  explicit Variant(std::string_view v) : value_(std::string(v)) {}
  explicit Variant(const char* v) : value_(std::string(v)) {}
  explicit Variant(VariantArray array);

  VarType Type() const;
  bool IsEmpty() const { return std::holds_alternative<std::monostate>(value_); }
  bool IsArray() const { return std::holds_alternative<std::shared_ptr<VariantArray>>(value_); }
  // The array, or nullptr when the variant holds none.
  const VariantArray* Array() const;

  // Conversion to text: text as is, numbers in decimal, booleans "True"/"False",
  // empty as "". An array raises "Type mismatch" (13).
  std::string ToText() const;

 private:
  std::variant<std::monostate, bool, std::int16_t, std::int32_t, double, std::string,
               std::shared_ptr<VariantArray>>
      value_;
};

struct ArrayBound {
  std::int32_t lower = 0;
  std::int32_t upper = -1;  // upper < lower: the dimension is empty
  std::int64_t Count() const { return upper < lower ? 0 : std::int64_t{upper} - lower + 1; }
};

class VariantArray {
 public:
  // An array with the given bounds. Its elements are variants whatever the
  // element type the host's array declared (Variant for mixed content).
  VariantArray(VarType element_type, std::vector<ArrayBound> bounds);
  // A one-dimensional array of texts indexed from `lower`.
  static VariantArray FromTexts(const std::vector<std::string>& texts, std::int32_t lower = 0);

  std::int32_t Dimensions() const { return static_cast<std::int32_t>(bounds_.size()); }
  // Bounds of dimension `dim` (1-based); "Subscript out of range" (9) for other dims.
  std::int32_t LBound(std::int32_t dim = 1) const;
  std::int32_t UBound(std::int32_t dim = 1) const;
  std::int64_t ElementCount() const { return static_cast<std::int64_t>(elements_.size()); }

  // One index per dimension; a wrong index count or an index outside its bounds
  // raises "Subscript out of range" (9).
  const Variant& At(std::span<const std::int32_t> indices) const;
  Variant& At(std::span<const std::int32_t> indices);
  const Variant& At(std::initializer_list<std::int32_t> indices) const {
    return At(std::span<const std::int32_t>(indices.begin(), indices.size()));
  }
  Variant& At(std::initializer_list<std::int32_t> indices) {
    return At(std::span<const std::int32_t>(indices.begin(), indices.size()));
  }

 private:
  std::size_t Offset(std::span<const std::int32_t> indices) const;

  std::vector<ArrayBound> bounds_;
  std::vector<Variant> elements_;
};

}  // namespace zoetra::platform

ZOETRA_PUBLIC_END
