#include "quarn_core/quantize.hpp"

#include <cmath>
#include <limits>

namespace quarn_core::quantize {

ScalarQuantizer ScalarQuantizer::train(std::span<const float> data, std::size_t dim) {
  constexpr float kMax = std::numeric_limits<float>::max();
  std::vector<float> mins(dim, kMax);
  std::vector<float> maxs(dim, -kMax);
  const std::size_t count = dim == 0 ? 0 : data.size() / dim;
  for (std::size_t v = 0; v < count; ++v) {
    const float* x = data.data() + v * dim;
    for (std::size_t d = 0; d < dim; ++d) {
      // Written so that a NaN component compares false and changes nothing.
      if (mins[d] > x[d]) mins[d] = x[d];
      if (x[d] > maxs[d]) maxs[d] = x[d];
    }
  }
  std::vector<float> scales(dim);
  for (std::size_t d = 0; d < dim; ++d) {
    const float range = maxs[d] - mins[d];
    scales[d] = range != 0.0f ? range / 255.0f : 1.0f;
  }
  return ScalarQuantizer(std::move(mins), std::move(scales), dim);
}

void ScalarQuantizer::quantize_into(std::span<const float> vector, std::uint8_t* out) const {
  for (std::size_t d = 0; d < dim_; ++d) {
    float t = (vector[d] - mins_[d]) / scales_[d];
    // !(t >= 0) also catches NaN, which must encode as 0.
    if (!(t >= 0.0f)) t = 0.0f;
    if (t > 255.0f) t = 255.0f;
    t = std::round(t);  // halves away from zero
    if (t > 255.0f) t = 255.0f;
    out[d] = static_cast<std::uint8_t>(t);
  }
}

std::vector<std::uint8_t> ScalarQuantizer::quantize(std::span<const float> vector) const {
  std::vector<std::uint8_t> codes(dim_);
  quantize_into(vector, codes.data());
  return codes;
}

std::vector<std::uint8_t> ScalarQuantizer::quantize_batch(std::span<const float> data,
                                                          std::size_t dim) const {
  if (dim == 0) return {};
  const std::size_t count = data.size() / dim;
  std::vector<std::uint8_t> codes(count * dim);
  for (std::size_t v = 0; v < count; ++v) {
    quantize_into(data.subspan(v * dim, dim), codes.data() + v * dim);
  }
  return codes;
}

void ScalarQuantizer::decode(const std::uint8_t* codes, float* out) const {
  for (std::size_t d = 0; d < dim_; ++d) {
    out[d] = static_cast<float>(codes[d]) * scales_[d] + mins_[d];
  }
}

Result<void> ScalarQuantizer::save(io::BufWriter& writer) const {
  if (auto r = writer.write_u32(static_cast<std::uint32_t>(dim_)); !r) return r;
  if (auto r = writer.write_floats(mins_); !r) return r;
  return writer.write_floats(scales_);
}

Result<ScalarQuantizer> ScalarQuantizer::load(io::ByteCursor& cursor) {
  auto dim = cursor.read_u32();
  if (!dim) return std::unexpected(std::move(dim.error()));
  auto mins = cursor.read_floats(*dim);
  if (!mins) return std::unexpected(std::move(mins.error()));
  auto scales = cursor.read_floats(*dim);
  if (!scales) return std::unexpected(std::move(scales.error()));
  return ScalarQuantizer(std::move(*mins), std::move(*scales), *dim);
}

}  // namespace quarn_core::quantize
