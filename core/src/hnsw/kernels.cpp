// The fused SQ8 kernels. Each mirrors, operation for operation, the f32 kernel of the SIMD
// library for its metric and instruction set (the same accumulators, tail handling,
// horizontal reduction and, for cosine, normalisation), with the second operand decoded on
// the fly as code × scale + min: a multiply, then an add, never fused, exactly as the
// decoding into a buffer does. The SIMD library is itself compiled without contraction, so
// both sides run the operations their source spells out.
//
// The rest of the library targets a baseline CPU: the kernels carry their instruction set in
// a function attribute and are only reached through the pointer chosen at run time.
#pragma GCC optimize("fp-contract=off")

#include "kernels.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

namespace quarn_core::hnsw::detail {
namespace {

// Row i of a code-dot kernel's input: codes + slots[i]·stride, or codes + i·stride when
// there is no slot list.
inline const std::uint8_t* code_row(const std::uint8_t* codes, std::size_t stride,
                                    const std::uint32_t* slots, std::size_t i) {
  return codes + (slots != nullptr ? static_cast<std::size_t>(slots[i]) : i) * stride;
}

}  // namespace
}  // namespace quarn_core::hnsw::detail

#if defined(__x86_64__)

// GCC 12 flags the deliberately undefined pass-through operand inside the conversion
// and shuffle intrinsics as (maybe) uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

#include <immintrin.h>
#include <simsimd/simsimd.h>

namespace quarn_core::hnsw::detail {

namespace {

// One decoded component, as the decoding loop computes it.
inline float decode(std::uint8_t code, float scale, float min) {
  return static_cast<float>(code) * scale + min;
}

// Rows of codes gathered by slot are fetched this many rows ahead of the one scored: a
// filter's candidates lie scattered over the codes, and waiting for each row in turn left
// the kernel idle most of the time. 4, 8 and 16 rows ahead measured about 2,000, 2,040 and
// 1,920 far-class scans per second on Fashion-MNIST, within this host's run-to-run spread.
constexpr std::size_t kPrefetchRows = 16;

// Fetches row i of a gathered kernel's input, if there is one.
inline void prefetch_row(const std::uint8_t* codes, std::size_t stride,
                         const std::uint32_t* slots, std::size_t i, std::size_t count) {
  if (slots == nullptr || i >= count) return;
  const char* at = reinterpret_cast<const char*>(code_row(codes, stride, slots, i));
  for (std::size_t off = 0; off < stride; off += 64) _mm_prefetch(at + off, _MM_HINT_T0);
}

// Replicates the AVX-512 f32 kernels: one 16-lane accumulator, masked tail loads that read
// zeros, a float horizontal sum widened to double.
namespace avx512 {

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

// A 14-bit reciprocal square root estimate and one Newton step, in double.
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

// Two rows at a time, so that each query load serves both and the reductions overlap.
QUARN_AVX512 void code_dots(const std::int16_t* t, const std::uint8_t* codes, std::size_t stride,
                            const std::uint32_t* slots, std::size_t count, std::int32_t* out) {
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    prefetch_row(codes, stride, slots, i + kPrefetchRows, count);
    prefetch_row(codes, stride, slots, i + kPrefetchRows + 1, count);
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    const std::uint8_t* b = code_row(codes, stride, slots, i + 1);
    __m512i sa = _mm512_setzero_si512();
    __m512i sb = _mm512_setzero_si512();
    for (std::size_t j = 0; j < stride; j += 32) {
      const __m512i w = _mm512_loadu_si512(t + j);
      const __m512i ca = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + j)));
      const __m512i cb = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + j)));
      sa = _mm512_add_epi32(sa, _mm512_madd_epi16(ca, w));
      sb = _mm512_add_epi32(sb, _mm512_madd_epi16(cb, w));
    }
    out[i] = _mm512_reduce_add_epi32(sa);
    out[i + 1] = _mm512_reduce_add_epi32(sb);
  }
  for (; i < count; ++i) {
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    __m512i sa = _mm512_setzero_si512();
    for (std::size_t j = 0; j < stride; j += 32) {
      const __m512i ca = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + j)));
      sa = _mm512_add_epi32(sa, _mm512_madd_epi16(ca, _mm512_loadu_si512(t + j)));
    }
    out[i] = _mm512_reduce_add_epi32(sa);
  }
}

QUARN_AVX512 void code_dots4(const std::int16_t* t, const std::uint8_t* codes, std::size_t stride,
                             const std::uint32_t* slots, std::size_t count, std::int32_t* out) {
  const __m512i low = _mm512_set1_epi16(15);
  for (std::size_t i = 0; i < count; ++i) {
    prefetch_row(codes, stride, slots, i + 2 * kPrefetchRows, count);
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    __m512i sum = _mm512_setzero_si512();
    for (std::size_t j = 0; j < stride; j += 32) {
      const __m512i v = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + j)));
      sum = _mm512_add_epi32(sum, _mm512_madd_epi16(_mm512_and_si512(v, low), _mm512_loadu_si512(t + 2 * j)));
      sum = _mm512_add_epi32(sum, _mm512_madd_epi16(_mm512_srli_epi16(v, 4), _mm512_loadu_si512(t + 2 * j + 32)));
    }
    out[i] = _mm512_reduce_add_epi32(sum);
  }
}

// Two rows at a time, so that each weight load serves both. VNNI multiplies the unsigned
// 4-bit codes by the signed weights and adds four products into each 32-bit lane.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void walk_dots4(
    const std::int8_t* w, const std::uint8_t* codes, std::size_t stride,
    const std::uint32_t* slots, std::size_t count, std::int32_t* out) {
  const __m512i low = _mm512_set1_epi8(15);
  const std::size_t blocks = (stride + 63) / 64;
  const __mmask64 tail = stride % 64 == 0 ? ~__mmask64{0} : (__mmask64{1} << (stride % 64)) - 1;
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    prefetch_row(codes, stride, slots, i + 2, count);
    prefetch_row(codes, stride, slots, i + 3, count);
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    const std::uint8_t* b = code_row(codes, stride, slots, i + 1);
    __m512i sa = _mm512_setzero_si512();
    __m512i sb = _mm512_setzero_si512();
    for (std::size_t k = 0; k < blocks; ++k) {
      const __mmask64 m = k + 1 == blocks ? tail : ~__mmask64{0};
      const __m512i va = _mm512_maskz_loadu_epi8(m, a + 64 * k);
      const __m512i vb = _mm512_maskz_loadu_epi8(m, b + 64 * k);
      const __m512i wl = _mm512_loadu_si512(w + 128 * k);
      const __m512i wh = _mm512_loadu_si512(w + 128 * k + 64);
      sa = _mm512_dpbusd_epi32(sa, _mm512_and_si512(va, low), wl);
      sb = _mm512_dpbusd_epi32(sb, _mm512_and_si512(vb, low), wl);
      sa = _mm512_dpbusd_epi32(sa, _mm512_and_si512(_mm512_srli_epi16(va, 4), low), wh);
      sb = _mm512_dpbusd_epi32(sb, _mm512_and_si512(_mm512_srli_epi16(vb, 4), low), wh);
    }
    out[i] = _mm512_reduce_add_epi32(sa);
    out[i + 1] = _mm512_reduce_add_epi32(sb);
  }
  for (; i < count; ++i) {
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    __m512i sa = _mm512_setzero_si512();
    for (std::size_t k = 0; k < blocks; ++k) {
      const __mmask64 m = k + 1 == blocks ? tail : ~__mmask64{0};
      const __m512i va = _mm512_maskz_loadu_epi8(m, a + 64 * k);
      sa = _mm512_dpbusd_epi32(sa, _mm512_and_si512(va, low), _mm512_loadu_si512(w + 128 * k));
      sa = _mm512_dpbusd_epi32(sa, _mm512_and_si512(_mm512_srli_epi16(va, 4), low),
                               _mm512_loadu_si512(w + 128 * k + 64));
    }
    out[i] = _mm512_reduce_add_epi32(sa);
  }
}

QUARN_AVX512 void decode_row(const float* mins, const float* steps, const std::uint8_t* codes,
                             std::size_t n, float* out) {
  std::size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const __m128i c8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + j));
    const __m512 c = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(c8));
    _mm512_storeu_ps(out + j, _mm512_add_ps(_mm512_loadu_ps(mins + j),
                                            _mm512_mul_ps(_mm512_loadu_ps(steps + j), c)));
  }
  for (; j < n; ++j) out[j] = mins[j] + steps[j] * static_cast<float>(codes[j]);
}

#undef QUARN_AVX512

}  // namespace avx512

// Replicates the AVX2 f32 kernels: one 8-lane accumulator over whole blocks of 8, its sum
// widened to double, then the remaining components one at a time (a float product added in
// double).
namespace avx2 {

#define QUARN_AVX2 __attribute__((target("avx2,fma,f16c")))

QUARN_AVX2 inline double reduce8(__m256 a) {
  const __m256d sum = _mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(a)),
                                    _mm256_cvtps_pd(_mm256_extractf128_ps(a, 1)));
  const __m128d r = _mm_add_pd(_mm256_castpd256_pd128(sum), _mm256_extractf128_pd(sum, 1));
  return _mm_cvtsd_f64(_mm_hadd_pd(r, r));
}

QUARN_AVX2 inline __m256 decode8(const std::uint8_t* codes, const float* scales,
                                 const float* mins) {
  const __m256 c = _mm256_cvtepi32_ps(
      _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes))));
  return _mm256_add_ps(_mm256_mul_ps(c, _mm256_loadu_ps(scales)), _mm256_loadu_ps(mins));
}

QUARN_AVX2 float l2sq(const float* q, const std::uint8_t* codes, const float* scales,
                      const float* mins, std::size_t n) {
  __m256 d2_vec = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 d =
        _mm256_sub_ps(_mm256_loadu_ps(q + i), decode8(codes + i, scales + i, mins + i));
    d2_vec = _mm256_fmadd_ps(d, d, d2_vec);
  }
  double d2 = reduce8(d2_vec);
  for (; i < n; ++i) {
    const float d = q[i] - decode(codes[i], scales[i], mins[i]);
    d2 += d * d;
  }
  return static_cast<float>(d2);
}

QUARN_AVX2 float dot(const float* q, const std::uint8_t* codes, const float* scales,
                     const float* mins, std::size_t n) {
  __m256 ab_vec = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    ab_vec =
        _mm256_fmadd_ps(_mm256_loadu_ps(q + i), decode8(codes + i, scales + i, mins + i), ab_vec);
  }
  double ab = reduce8(ab_vec);
  for (; i < n; ++i) ab += q[i] * decode(codes[i], scales[i], mins[i]);
  return -static_cast<float>(ab);
}

// A 12-bit single-precision reciprocal square root estimate and one Newton step, in double.
QUARN_AVX2 double cos_normalize(double ab, double a2, double b2) {
  if (a2 == 0 && b2 == 0) return 0;
  if (ab == 0) return 1;
  const __m128d squares = _mm_set_pd(a2, b2);
  __m128d rsqrts = _mm_cvtps_pd(_mm_rsqrt_ps(_mm_cvtpd_ps(squares)));
  rsqrts = _mm_add_pd(_mm_mul_pd(_mm_set1_pd(1.5), rsqrts),
                      _mm_mul_pd(_mm_mul_pd(_mm_mul_pd(squares, _mm_set1_pd(-0.5)), rsqrts),
                                 _mm_mul_pd(rsqrts, rsqrts)));
  const double a2_reciprocal = _mm_cvtsd_f64(_mm_unpackhi_pd(rsqrts, rsqrts));
  const double b2_reciprocal = _mm_cvtsd_f64(rsqrts);
  const double result = 1 - ab * a2_reciprocal * b2_reciprocal;
  return result > 0 ? result : 0;
}

QUARN_AVX2 float cos(const float* q, const std::uint8_t* codes, const float* scales,
                     const float* mins, std::size_t n) {
  __m256 ab_vec = _mm256_setzero_ps();
  __m256 a2_vec = _mm256_setzero_ps();
  __m256 b2_vec = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 a = _mm256_loadu_ps(q + i);
    const __m256 b = decode8(codes + i, scales + i, mins + i);
    ab_vec = _mm256_fmadd_ps(a, b, ab_vec);
    a2_vec = _mm256_fmadd_ps(a, a, a2_vec);
    b2_vec = _mm256_fmadd_ps(b, b, b2_vec);
  }
  double ab = reduce8(ab_vec);
  double a2 = reduce8(a2_vec);
  double b2 = reduce8(b2_vec);
  for (; i < n; ++i) {
    const float a = q[i];
    const float b = decode(codes[i], scales[i], mins[i]);
    ab += a * b, a2 += a * a, b2 += b * b;
  }
  return static_cast<float>(cos_normalize(ab, a2, b2));
}

QUARN_AVX2 inline std::int32_t reduce8i(__m256i a) {
  __m128i r = _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
  r = _mm_add_epi32(r, _mm_shuffle_epi32(r, _MM_SHUFFLE(1, 0, 3, 2)));
  r = _mm_add_epi32(r, _mm_shuffle_epi32(r, _MM_SHUFFLE(2, 3, 0, 1)));
  return _mm_cvtsi128_si32(r);
}

QUARN_AVX2 void code_dots(const std::int16_t* t, const std::uint8_t* codes, std::size_t stride,
                          const std::uint32_t* slots, std::size_t count, std::int32_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    prefetch_row(codes, stride, slots, i + kPrefetchRows, count);
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    __m256i s0 = _mm256_setzero_si256();
    __m256i s1 = _mm256_setzero_si256();
    for (std::size_t j = 0; j < stride; j += 32) {
      const __m256i c0 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + j)));
      const __m256i c1 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + j + 16)));
      s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(c0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + j))));
      s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(c1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + j + 16))));
    }
    out[i] = reduce8i(_mm256_add_epi32(s0, s1));
  }
}

QUARN_AVX2 void code_dots4(const std::int16_t* t, const std::uint8_t* codes, std::size_t stride,
                           const std::uint32_t* slots, std::size_t count, std::int32_t* out) {
  const __m256i low = _mm256_set1_epi16(15);
  for (std::size_t i = 0; i < count; ++i) {
    prefetch_row(codes, stride, slots, i + 2 * kPrefetchRows, count);
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    __m256i s0 = _mm256_setzero_si256();
    __m256i s1 = _mm256_setzero_si256();
    for (std::size_t j = 0; j < stride; j += 32) {
      const std::int16_t* w = t + 2 * j;
      const __m256i v0 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + j)));
      const __m256i v1 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + j + 16)));
      s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(_mm256_and_si256(v0, low), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w))));
      s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(_mm256_srli_epi16(v0, 4), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 32))));
      s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(_mm256_and_si256(v1, low), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 16))));
      s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(_mm256_srli_epi16(v1, 4), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 48))));
    }
    out[i] = reduce8i(_mm256_add_epi32(s0, s1));
  }
}

// 32 bytes of codes at a time: half h of 64-byte block k has its low weights at
// w + 128·k + 32·h and its high ones 64 further. The 16-bit pair sums stay below 2·15·128.
QUARN_AVX2 void walk_dots4(const std::int8_t* w, const std::uint8_t* codes, std::size_t stride,
                           const std::uint32_t* slots, std::size_t count, std::int32_t* out) {
  const __m256i low = _mm256_set1_epi8(15);
  const __m256i ones = _mm256_set1_epi16(1);
  for (std::size_t i = 0; i < count; ++i) {
    prefetch_row(codes, stride, slots, i + 2, count);
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    __m256i sum = _mm256_setzero_si256();
    for (std::size_t j = 0; j < stride; j += 32) {
      const std::int8_t* wj = w + 128 * (j / 64) + (j % 64);
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + j));
      const __m256i pl = _mm256_maddubs_epi16(
          _mm256_and_si256(v, low), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wj)));
      const __m256i ph = _mm256_maddubs_epi16(
          _mm256_and_si256(_mm256_srli_epi16(v, 4), low),
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wj + 64)));
      sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_add_epi16(pl, ph), ones));
    }
    out[i] = reduce8i(sum);
  }
}

QUARN_AVX2 void decode_row(const float* mins, const float* steps, const std::uint8_t* codes,
                           std::size_t n, float* out) {
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m128i c8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + j));
    const __m256 c = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(c8));
    _mm256_storeu_ps(out + j, _mm256_add_ps(_mm256_loadu_ps(mins + j),
                                            _mm256_mul_ps(_mm256_loadu_ps(steps + j), c)));
  }
  for (; j < n; ++j) out[j] = mins[j] + steps[j] * static_cast<float>(codes[j]);
}

#undef QUARN_AVX2

}  // namespace avx2

// The capability whose f32 kernel the library's dispatching entry point (the one `distance`
// calls) picks for this metric on this CPU.
simsimd_capability_t dispatched_capability(simsimd_metric_kind_t kind) {
  simsimd_kernel_punned_t kernel = nullptr;
  simsimd_capability_t used = simsimd_cap_serial_k;
  simsimd_find_kernel_punned(kind, simsimd_datatype_f32_k, simsimd_capabilities(),
                             simsimd_cap_any_k, &kernel, &used);
  return kernel != nullptr ? used : simsimd_cap_serial_k;
}

FusedSq8Distance kernel_for(distance::Metric metric, simsimd_capability_t capability) {
  if (capability == simsimd_cap_skylake_k) return fused_sq8_kernel(metric, KernelIsa::Avx512);
  if (capability == simsimd_cap_haswell_k) return fused_sq8_kernel(metric, KernelIsa::Avx2);
  return nullptr;
}

struct Choice {
  FusedSq8Distance cos = nullptr;
  FusedSq8Distance l2sq = nullptr;
  FusedSq8Distance dot = nullptr;
};

const Choice& choice() {
  static const Choice c{
      kernel_for(distance::Metric::Cosine, dispatched_capability(simsimd_metric_cos_k)),
      kernel_for(distance::Metric::Euclidean, dispatched_capability(simsimd_metric_l2sq_k)),
      kernel_for(distance::Metric::DotProduct, dispatched_capability(simsimd_metric_dot_k)),
  };
  return c;
}

}  // namespace

CodeDots code_dots_kernel(KernelIsa isa) {
  return isa == KernelIsa::Avx512 ? &avx512::code_dots : &avx2::code_dots;
}

CodeDots code_dots4_kernel(KernelIsa isa) {
  return isa == KernelIsa::Avx512 ? &avx512::code_dots4 : &avx2::code_dots4;
}

WalkDots walk_dots4_kernel(KernelIsa isa) {
  return isa == KernelIsa::Avx512 ? &avx512::walk_dots4 : &avx2::walk_dots4;
}

DecodeRow decode_row_kernel(KernelIsa isa) {
  return isa == KernelIsa::Avx512 ? &avx512::decode_row : &avx2::decode_row;
}

DecodeRow decode_row() {
  static const DecodeRow chosen = [] {
    const simsimd_capability_t caps = simsimd_capabilities();
    if ((caps & simsimd_cap_skylake_k) != 0) return decode_row_kernel(KernelIsa::Avx512);
    if ((caps & simsimd_cap_haswell_k) != 0) return decode_row_kernel(KernelIsa::Avx2);
    return decode_row_portable();
  }();
  return chosen;
}

WalkDots walk_dots4() {
  static const WalkDots chosen = [] {
    const simsimd_capability_t caps = simsimd_capabilities();
    if ((caps & simsimd_cap_ice_k) != 0) return walk_dots4_kernel(KernelIsa::Avx512);
    if ((caps & simsimd_cap_haswell_k) != 0) return walk_dots4_kernel(KernelIsa::Avx2);
    return walk_dots4_portable();
  }();
  return chosen;
}

namespace {

// The widest instruction set the code-dot kernels are built for that this CPU runs, if any.
std::optional<KernelIsa> code_dots_isa() {
  const simsimd_capability_t caps = simsimd_capabilities();
  if ((caps & simsimd_cap_skylake_k) != 0) return KernelIsa::Avx512;
  if ((caps & simsimd_cap_haswell_k) != 0) return KernelIsa::Avx2;
  return std::nullopt;
}

}  // namespace

CodeDots code_dots4() {
  static const CodeDots chosen = [] {
    const auto isa = code_dots_isa();
    return isa ? code_dots4_kernel(*isa) : code_dots4_portable();
  }();
  return chosen;
}

CodeDots code_dots() {
  static const CodeDots chosen = [] {
    const auto isa = code_dots_isa();
    return isa ? code_dots_kernel(*isa) : code_dots_portable();
  }();
  return chosen;
}

FusedSq8Distance fused_sq8_kernel(distance::Metric metric, KernelIsa isa) {
  const bool wide = isa == KernelIsa::Avx512;
  switch (metric) {
    case distance::Metric::Cosine:
      return wide ? &avx512::cos : &avx2::cos;
    case distance::Metric::Euclidean:
      return wide ? &avx512::l2sq : &avx2::l2sq;
    case distance::Metric::DotProduct:
      return wide ? &avx512::dot : &avx2::dot;
  }
  return nullptr;
}

FusedSq8Distance fused_sq8_distance(distance::Metric metric) {
  switch (metric) {
    case distance::Metric::Cosine:
      return choice().cos;
    case distance::Metric::Euclidean:
      return choice().l2sq;
    case distance::Metric::DotProduct:
      return choice().dot;
  }
  return nullptr;
}

}  // namespace quarn_core::hnsw::detail

#else  // not x86-64: no fused kernels, the callers decode and call `distance`

namespace quarn_core::hnsw::detail {

FusedSq8Distance fused_sq8_distance(distance::Metric) { return nullptr; }
FusedSq8Distance fused_sq8_kernel(distance::Metric, KernelIsa) { return nullptr; }
CodeDots code_dots_kernel(KernelIsa) { return nullptr; }
CodeDots code_dots() { return code_dots_portable(); }
CodeDots code_dots4_kernel(KernelIsa) { return nullptr; }
CodeDots code_dots4() { return code_dots4_portable(); }
WalkDots walk_dots4_kernel(KernelIsa) { return nullptr; }
WalkDots walk_dots4() { return walk_dots4_portable(); }
DecodeRow decode_row_kernel(KernelIsa) { return nullptr; }
DecodeRow decode_row() { return decode_row_portable(); }

}  // namespace quarn_core::hnsw::detail

#endif

namespace quarn_core::hnsw::detail {

namespace {

void portable_code_dots(const std::int16_t* t, const std::uint8_t* codes, std::size_t stride,
                        const std::uint32_t* slots, std::size_t count, std::int32_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    std::int32_t sum = 0;
    for (std::size_t j = 0; j < stride; ++j) sum += static_cast<std::int32_t>(t[j]) * a[j];
    out[i] = sum;
  }
}

void portable_code_dots4(const std::int16_t* t, const std::uint8_t* codes, std::size_t stride,
                         const std::uint32_t* slots, std::size_t count, std::int32_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    std::int32_t sum = 0;
    for (std::size_t j = 0; j < stride; j += 32) {
      for (std::size_t b = 0; b < 32; ++b) {
        sum += static_cast<std::int32_t>(t[2 * j + b]) * (a[j + b] & 15) +
               static_cast<std::int32_t>(t[2 * j + 32 + b]) * (a[j + b] >> 4);
      }
    }
    out[i] = sum;
  }
}

// Byte j of a row, in arranged order: block j / 64, the low weights at offset j % 64.
void portable_walk_dots4(const std::int8_t* w, const std::uint8_t* codes, std::size_t stride,
                         const std::uint32_t* slots, std::size_t count, std::int32_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* a = code_row(codes, stride, slots, i);
    std::int32_t sum = 0;
    for (std::size_t j = 0; j < stride; ++j) {
      const std::int8_t* wj = w + 128 * (j / 64) + j % 64;
      sum += std::int32_t{wj[0]} * (a[j] & 15) + std::int32_t{wj[64]} * (a[j] >> 4);
    }
    out[i] = sum;
  }
}

}  // namespace

void arrange_walk_weights(const std::int8_t* natural, std::size_t stride, std::int8_t* out) {
  std::fill(out, out + walk_weights_size(stride), std::int8_t{0});
  // Byte j holds component 2·(j − j % 32) + j % 32 in its low half and that + 32 in its high
  // half. So of each 128 components, 0-31 and 64-95 go to the low halves of the block's 64
  // bytes, 32-63 and 96-127 to the high ones; stride is a multiple of 32.
  for (std::size_t b = 0; 64 * b < stride; ++b) {
    const std::int8_t* in = natural + 128 * b;
    std::int8_t* o = out + 128 * b;
    std::memcpy(o, in, 32);
    std::memcpy(o + 64, in + 32, 32);
    if (stride - 64 * b >= 64) {
      std::memcpy(o + 32, in + 64, 32);
      std::memcpy(o + 96, in + 96, 32);
    }
  }
}

WalkDots walk_dots4_portable() { return &portable_walk_dots4; }

DecodeRow decode_row_portable() {
  return [](const float* mins, const float* steps, const std::uint8_t* codes, std::size_t n,
            float* out) {
    for (std::size_t j = 0; j < n; ++j) out[j] = mins[j] + steps[j] * static_cast<float>(codes[j]);
  };
}

CodeDots code_dots_portable() { return &portable_code_dots; }
CodeDots code_dots4_portable() { return &portable_code_dots4; }

}  // namespace quarn_core::hnsw::detail
