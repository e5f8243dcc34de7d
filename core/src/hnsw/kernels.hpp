// SQ8 distance without the intermediate buffer: decodes the codes a vector register at a time
// and feeds them straight into the same arithmetic as the f32 kernel that `distance`
// dispatches to on this CPU, so that the value is bit for bit the one of decoding into a
// buffer and calling `distance` on it. The library is built for a baseline x86-64 CPU; each
// kernel is compiled for its own instruction set and only chosen when `distance` runs the
// kernel it replicates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quarn_core/distance.hpp"

namespace quarn_core::hnsw::detail {

using FusedSq8Distance = float (*)(const float* q, const std::uint8_t* codes, const float* scales,
                                   const float* mins, std::size_t n);

// The instruction sets the fused kernels exist for, named after the f32 kernels of the SIMD
// library they replicate: AVX-512 (F, VL, BW) and AVX2 with FMA.
enum class KernelIsa { Avx512, Avx2 };

// The fused kernel for the metric, or nullptr when `distance` runs neither of the kernels
// replicated here (the scalar one on an older CPU, or another architecture): callers then
// decode and call `distance`.
FusedSq8Distance fused_sq8_distance(distance::Metric metric);

// The kernel compiled for `isa`, whatever this CPU runs; nullptr where x86 kernels are not
// built. Calling it on a CPU without `isa` is an illegal instruction: this is for tests that
// compare each kernel with its f32 counterpart.
FusedSq8Distance fused_sq8_kernel(distance::Metric metric, KernelIsa isa);

// Exact integer dot products of one query's 16-bit weights with rows of 8-bit codes, for the
// bounded exact scan: out[i] = Σ_j t[j]·row_i[j] over `stride` components, a multiple of 32
// (padding is zero in both). Row i starts at codes + slots[i]·stride, or codes + i·stride
// when `slots` is null. The caller keeps 255·stride·max|t| below 2^31, so that no sum wraps
// and every kernel gives the same integers.
using CodeDots = void (*)(const std::int16_t* t, const std::uint8_t* codes, std::size_t stride,
                          const std::uint32_t* slots, std::size_t count, std::int32_t* out);

// The fastest code-dot kernel this CPU runs (a portable loop where no x86 kernel applies).
CodeDots code_dots();
// The kernel compiled for `isa` (nullptr where x86 kernels are not built), and the portable
// loop; for tests that compare them, as fused_sq8_kernel.
CodeDots code_dots_kernel(KernelIsa isa);
CodeDots code_dots_portable();

// The same over rows of 4-bit codes, `stride` bytes each (a multiple of 32) holding 2·stride
// components: in each 32 bytes starting at byte j, byte j + b holds component 2j + b in its
// low half and component 2j + 32 + b in its high half. t has 2·stride weights; the caller
// keeps 15·2·stride·max|t| below 2^31.
CodeDots code_dots4();
CodeDots code_dots4_kernel(KernelIsa isa);
CodeDots code_dots4_portable();

// Integer dot products of one query's 8-bit weights with rows of 4-bit codes (code_dots4's
// layout), for the compressed walk, which scores all of a node's neighbours in one call. The
// weights come arranged for the kernels by arrange_walk_weights; every kernel gives the same
// integers (no sum can wrap: 15·127 per component).
using WalkDots = void (*)(const std::int8_t* w, const std::uint8_t* codes, std::size_t stride,
                          const std::uint32_t* slots, std::size_t count, std::int32_t* out);
// Weights per row of `stride` code bytes, as arranged: 128 per 64 bytes of codes (a last
// block of 32 bytes included), for the low halves and then the high halves of those bytes.
inline std::size_t walk_weights_size(std::size_t stride) { return (stride + 63) / 64 * 128; }
// Arranges `natural` (2·stride weights, component order) into `out`
// (walk_weights_size(stride) of them; the padding is zero).
void arrange_walk_weights(const std::int8_t* natural, std::size_t stride, std::int8_t* out);
// The fastest walk kernel this CPU runs: AVX-512 with VNNI, AVX2, or a portable loop.
WalkDots walk_dots4();
// The kernel for `isa` (AVX-512 here needs VNNI as well); nullptr where x86 kernels are not
// built. For tests, as fused_sq8_kernel.
WalkDots walk_dots4_kernel(KernelIsa isa);
WalkDots walk_dots4_portable();

// out_j = mins_j + steps_j·codes_j for n components, a product and then a sum in float, as
// ScanCodes::encode checks its rows: every kernel gives the same floats.
using DecodeRow = void (*)(const float* mins, const float* steps, const std::uint8_t* codes,
                           std::size_t n, float* out);
// The fastest this CPU runs: AVX-512, AVX2, or a portable loop.
DecodeRow decode_row();
// The kernel for `isa`; nullptr where x86 kernels are not built. For tests.
DecodeRow decode_row_kernel(KernelIsa isa);
DecodeRow decode_row_portable();

}  // namespace quarn_core::hnsw::detail
