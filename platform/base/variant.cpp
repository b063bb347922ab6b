#include "platform/base/variant.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/base/error.hpp"

namespace zoetra::platform {

Variant::Variant(VariantArray array) : value_(std::make_shared<VariantArray>(std::move(array))) {}

VarType Variant::Type() const {
  switch (value_.index()) {
    case 0: return VarType::Empty;
    case 1: return VarType::Bool;
    case 2: return VarType::Int16;
    case 3: return VarType::Int32;
    case 4: return VarType::Double;
    case 5: return VarType::Text;
    default: return VarType::Array;
  }
}

const VariantArray* Variant::Array() const {
  const auto* p = std::get_if<std::shared_ptr<VariantArray>>(&value_);
  return p ? p->get() : nullptr;
}

std::string Variant::ToText() const {
  struct Visitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(bool v) const { return v ? "True" : "False"; }
    std::string operator()(std::int16_t v) const { return std::to_string(v); }
    std::string operator()(std::int32_t v) const { return std::to_string(v); }
    std::string operator()(double v) const {
      char buf[64];
#ifdef __EMSCRIPTEN__
      // The WebAssembly build's library formats no floating point with
      // to_chars: the fewest digits that read back as the same value.
      for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
        if (std::strtod(buf, nullptr) == v) break;
      }
      return buf;
#else
      const auto r = std::to_chars(buf, buf + sizeof buf, v);
      return std::string(buf, r.ptr);
#endif
    }
    std::string operator()(const std::string& v) const { return v; }
    std::string operator()(const std::shared_ptr<VariantArray>&) const { RaiseTypeMismatch(); }
  };
  return std::visit(Visitor{}, value_);
}

VariantArray::VariantArray(VarType /*element_type*/, std::vector<ArrayBound> bounds)
    : bounds_(std::move(bounds)) {
  std::int64_t count = bounds_.empty() ? 0 : 1;
  for (const ArrayBound& b : bounds_) {
    count *= b.Count();
    if (count > std::numeric_limits<std::int32_t>::max()) RaiseOutOfMemory();
  }
  elements_.resize(static_cast<std::size_t>(count));
}

VariantArray VariantArray::FromTexts(const std::vector<std::string>& texts, std::int32_t lower) {
  VariantArray a(VarType::Text, {ArrayBound{lower, lower + static_cast<std::int32_t>(texts.size()) - 1}});
  for (std::size_t i = 0; i < texts.size(); ++i) a.elements_[i] = Variant(texts[i]);
  return a;
}

std::int32_t VariantArray::LBound(std::int32_t dim) const {
  if (dim < 1 || dim > Dimensions()) RaiseSubscript();
  return bounds_[static_cast<std::size_t>(dim - 1)].lower;
}

std::int32_t VariantArray::UBound(std::int32_t dim) const {
  if (dim < 1 || dim > Dimensions()) RaiseSubscript();
  return bounds_[static_cast<std::size_t>(dim - 1)].upper;
}

std::size_t VariantArray::Offset(std::span<const std::int32_t> indices) const {
  if (indices.size() != bounds_.size() || bounds_.empty()) RaiseSubscript();
  // First dimension varies fastest, as in the host's arrays.
  std::size_t offset = 0;
  std::size_t stride = 1;
  for (std::size_t d = 0; d < bounds_.size(); ++d) {
    const ArrayBound& b = bounds_[d];
    if (indices[d] < b.lower || indices[d] > b.upper) RaiseSubscript();
    offset += static_cast<std::size_t>(std::int64_t{indices[d]} - b.lower) * stride;
    stride *= static_cast<std::size_t>(b.Count());
  }
  return offset;
}

const Variant& VariantArray::At(std::span<const std::int32_t> indices) const { return elements_[Offset(indices)]; }
Variant& VariantArray::At(std::span<const std::int32_t> indices) { return elements_[Offset(indices)]; }

}  // namespace zoetra::platform
