// The fused SQ8 kernels. Each mirrors, operation for operation, the AVX-512 f32 kernel of
// the SIMD library for its metric (one 16-lane accumulator, masked tail loads that read
// zeros, the same horizontal reduction and, for cosine, the same normalisation), with the
// second operand decoded on the fly as code × scale + min: a multiply, then an add, never
// fused, exactly as the decoding into a buffer does.
#pragma GCC optimize("fp-contract=off")
// GCC 12 flags the deliberately undefined pass-through operand inside the conversion
// and shuffle intrinsics as (maybe) uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

#include "kernels.hpp"

#include <immintrin.h>
#include <simsimd/simsimd.h>

namespace quarn_core::hnsw::detail {

namespace {

#define QUARN_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,bmi2")))

QUARN_AVX512 inline double reduce16(__m512 a) {
  __m512 x = _mm512_add_ps(a, _mm512_shuffle_f32x4(a, a, _MM_SHUFFLE(0, 0, 3, 2)));
  __m128 r =
      _mm512_castps512_ps128(_mm512_add_ps(x, _mm512_shuffle_f32x4(x, x, _MM_SHUFFLE(0, 0, 0, 1))));
  r = _mm_hadd_ps(r, r);
  return _mm_cvtss_f32(_mm_hadd_ps(r, r));
}

// The next 16 query components and decoded components; lanes past n are zero in both.
struct Lanes {
  __m512 q;
  __m512 v;
};

QUARN_AVX512 inline Lanes load16(const float* q, const std::uint8_t* codes, const float* scales,
                                 const float* mins, std::size_t n) {
  if (n < 16) {
    const auto mask = static_cast<__mmask16>(_bzhi_u32(0xFFFFFFFF, static_cast<unsigned>(n)));
    const __m512 c = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(mask, codes)));
    const __m512 v = _mm512_add_ps(_mm512_mul_ps(c, _mm512_maskz_loadu_ps(mask, scales)),
                                   _mm512_maskz_loadu_ps(mask, mins));
    return {_mm512_maskz_loadu_ps(mask, q), _mm512_maskz_mov_ps(mask, v)};
  }
  const __m512 c = _mm512_cvtepi32_ps(
      _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes))));
  const __m512 v = _mm512_add_ps(_mm512_mul_ps(c, _mm512_loadu_ps(scales)), _mm512_loadu_ps(mins));
  return {_mm512_loadu_ps(q), v};
}

QUARN_AVX512 float l2sq(const float* q, const std::uint8_t* codes, const float* scales,
                        const float* mins, std::size_t n) {
  __m512 d2 = _mm512_setzero_ps();
  do {
    const Lanes l = load16(q, codes, scales, mins, n);
    const __m512 d = _mm512_sub_ps(l.q, l.v);
    d2 = _mm512_fmadd_ps(d, d, d2);
    const std::size_t step = n < 16 ? n : 16;
    q += step, codes += step, scales += step, mins += step, n -= step;
  } while (n != 0);
  return static_cast<float>(reduce16(d2));
}

QUARN_AVX512 float dot(const float* q, const std::uint8_t* codes, const float* scales,
                       const float* mins, std::size_t n) {
  __m512 ab = _mm512_setzero_ps();
  do {
    const Lanes l = load16(q, codes, scales, mins, n);
    ab = _mm512_fmadd_ps(l.q, l.v, ab);
    const std::size_t step = n < 16 ? n : 16;
    q += step, codes += step, scales += step, mins += step, n -= step;
  } while (n != 0);
  return -static_cast<float>(reduce16(ab));
}

QUARN_AVX512 double cos_normalize(double ab, double a2, double b2) {
  if (a2 == 0 && b2 == 0) return 0;
  if (ab == 0) return 1;
  const __m128d squares = _mm_set_pd(a2, b2);
  __m128d rsqrts = _mm_maskz_rsqrt14_pd(0xFF, squares);
  rsqrts = _mm_add_pd(_mm_mul_pd(_mm_set1_pd(1.5), rsqrts),
                      _mm_mul_pd(_mm_mul_pd(_mm_mul_pd(squares, _mm_set1_pd(-0.5)), rsqrts),
                                 _mm_mul_pd(rsqrts, rsqrts)));
  const double a2_reciprocal = _mm_cvtsd_f64(_mm_unpackhi_pd(rsqrts, rsqrts));
  const double b2_reciprocal = _mm_cvtsd_f64(rsqrts);
  const double result = 1 - ab * a2_reciprocal * b2_reciprocal;
  return result > 0 ? result : 0;
}

QUARN_AVX512 float cos(const float* q, const std::uint8_t* codes, const float* scales,
                       const float* mins, std::size_t n) {
  __m512 ab = _mm512_setzero_ps();
  __m512 a2 = _mm512_setzero_ps();
  __m512 b2 = _mm512_setzero_ps();
  do {
    const Lanes l = load16(q, codes, scales, mins, n);
    ab = _mm512_fmadd_ps(l.q, l.v, ab);
    a2 = _mm512_fmadd_ps(l.q, l.q, a2);
    b2 = _mm512_fmadd_ps(l.v, l.v, b2);
    const std::size_t step = n < 16 ? n : 16;
    q += step, codes += step, scales += step, mins += step, n -= step;
  } while (n != 0);
  return static_cast<float>(cos_normalize(reduce16(ab), reduce16(a2), reduce16(b2)));
}

bool dispatches_to_skylake(simsimd_metric_kind_t kind) {
  simsimd_kernel_punned_t kernel = nullptr;
  simsimd_capability_t used = simsimd_cap_serial_k;
  simsimd_find_kernel_punned(kind, simsimd_datatype_f32_k, simsimd_capabilities(),
                             simsimd_cap_any_k, &kernel, &used);
  return kernel != nullptr && used == simsimd_cap_skylake_k;
}

struct Choice {
  FusedSq8Distance l2sq_kernel = nullptr;
  FusedSq8Distance dot_kernel = nullptr;
  FusedSq8Distance cos_kernel = nullptr;
};

const Choice& choice() {
  static const Choice c = [] {
    Choice out;
    if (dispatches_to_skylake(simsimd_metric_l2sq_k)) out.l2sq_kernel = &l2sq;
    if (dispatches_to_skylake(simsimd_metric_dot_k)) out.dot_kernel = &dot;
    if (dispatches_to_skylake(simsimd_metric_cos_k)) out.cos_kernel = &cos;
    return out;
  }();
  return c;
}

}  // namespace

FusedSq8Distance fused_sq8_distance(distance::Metric metric) {
  switch (metric) {
    case distance::Metric::Euclidean:
      return choice().l2sq_kernel;
    case distance::Metric::DotProduct:
      return choice().dot_kernel;
    case distance::Metric::Cosine:
      return choice().cos_kernel;
  }
  return nullptr;
}

}  // namespace quarn_core::hnsw::detail
