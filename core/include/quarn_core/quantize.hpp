// SQ8: one byte per vector component, with an affine mapping per dimension.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quarn_core/error.hpp"
#include "quarn_core/io.hpp"

namespace quarn_core::quantize {

// Immutable after training. Component d of code c decodes to c * scales[d] + mins[d].
class ScalarQuantizer {
 public:
  ScalarQuantizer() = default;
  ScalarQuantizer(std::vector<float> mins, std::vector<float> scales, std::size_t dim)
      : mins_(std::move(mins)), scales_(std::move(scales)), dim_(dim) {}

  // Trains on every whole vector of `data` (a trailing partial vector is ignored). NaN
  // components move neither extreme. With no vectors (or dim 0) the extremes keep their
  // starting values; codes made from such a quantizer clamp to 0 or 255.
  static ScalarQuantizer train(std::span<const float> data, std::size_t dim);

  // One code per component; vector has dim() components.
  std::vector<std::uint8_t> quantize(std::span<const float> vector) const;
  // Encodes into a caller-provided buffer of dim() bytes.
  void quantize_into(std::span<const float> vector, std::uint8_t* out) const;
  // The concatenated codes of every whole dim-float chunk of data.
  std::vector<std::uint8_t> quantize_batch(std::span<const float> data, std::size_t dim) const;
  // Decodes dim() codes into out (dim() floats).
  void decode(const std::uint8_t* codes, float* out) const;

  // Writes dim, mins and scales (the caller writes the codes and flushes).
  Result<void> save(io::BufWriter& writer) const;
  // Reads dim, mins and scales, leaving the cursor after the scales; "failed to fill whole
  // buffer" when the data is short.
  static Result<ScalarQuantizer> load(io::ByteCursor& cursor);

  const std::vector<float>& mins() const { return mins_; }
  const std::vector<float>& scales() const { return scales_; }
  std::size_t dim() const { return dim_; }

 private:
  std::vector<float> mins_;
  std::vector<float> scales_;
  std::size_t dim_ = 0;
};

}  // namespace quarn_core::quantize
