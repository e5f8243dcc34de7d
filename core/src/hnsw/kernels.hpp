// SQ8 distance without the intermediate buffer: decodes 16 codes at a time and feeds them
// straight into the same arithmetic as the f32 distance kernel that `distance` dispatches to
// on this CPU, so that the value is bit for bit the one of decoding into a buffer and calling
// `distance` on it. Only offered when that kernel is the AVX-512 one it replicates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quarn_core/distance.hpp"

namespace quarn_core::hnsw::detail {

using FusedSq8Distance = float (*)(const float* q, const std::uint8_t* codes, const float* scales,
                                   const float* mins, std::size_t n);

// The fused kernel for the metric, or nullptr when `distance` would not run the kernel it
// replicates (another CPU, another dispatch choice): callers then decode and call `distance`.
FusedSq8Distance fused_sq8_distance(distance::Metric metric);

}  // namespace quarn_core::hnsw::detail
