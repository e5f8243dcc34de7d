// The pair kernels behind distance::distance, private to the core: distance.cpp and the graph's
// hot loops both measure through them.
#pragma once

#include <simsimd/simsimd.h>

#include <cstddef>

#include "quarn_core/distance.hpp"

namespace quarn_core::distance::detail {

// The kernels SimSIMD's dispatching entry points reach, found once with the arguments those
// entry points use: the same kernels, so the same values to the bit, called directly. The
// magic static resolves them once whichever thread comes first, where the entry points cache
// theirs in an unsynchronised static.
struct DenseKernels {
  DenseKernels() {
    const simsimd_capability_t have = simsimd_capabilities();
    simsimd_capability_t used = simsimd_cap_serial_k;
    const auto find = [&](simsimd_metric_kind_t kind) {
      simsimd_metric_dense_punned_t k = nullptr;
      simsimd_find_kernel_punned(kind, simsimd_datatype_f32_k, have, simsimd_cap_any_k,
                                 reinterpret_cast<simsimd_kernel_punned_t*>(&k), &used);
      return k;
    };
    cos = find(simsimd_metric_cos_k);
    l2sq = find(simsimd_metric_l2sq_k);
    dot = find(simsimd_metric_dot_k);
  }
  simsimd_metric_dense_punned_t cos, l2sq, dot;
};

inline const DenseKernels& dense_kernels() {
  static const DenseKernels kernels;
  return kernels;
}

// distance::distance(a, b, n, metric), inline for the graph's hot loops: two calls fewer per
// distance than going through the entry points.
inline float pair_distance(const float* a, const float* b, std::size_t n, distance::Metric metric) {
  const DenseKernels& k = dense_kernels();
  simsimd_distance_t out = 0;
  switch (metric) {
    case distance::Metric::Cosine:
      k.cos(a, b, n, &out);
      return static_cast<float>(out);
    case distance::Metric::Euclidean:
      k.l2sq(a, b, n, &out);
      return static_cast<float>(out);
    case distance::Metric::DotProduct:
      k.dot(a, b, n, &out);
      return -static_cast<float>(out);
  }
  return 0.0f;
}

}  // namespace quarn_core::distance::detail
