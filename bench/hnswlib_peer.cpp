#include "hnswlib_peer.hpp"

#include <hnswlib/hnswlib.h>

struct HnswlibPeer::Impl {
  Impl(std::size_t dim, std::size_t capacity, std::size_t m, std::size_t ef_construction)
      : space(dim), index(&space, capacity, m, ef_construction) {}
  hnswlib::L2Space space;
  hnswlib::HierarchicalNSW<float> index;
};

HnswlibPeer::HnswlibPeer(std::size_t dim, std::size_t capacity, std::size_t m,
                         std::size_t ef_construction)
    : impl_(std::make_unique<Impl>(dim, capacity, m, ef_construction)) {}

HnswlibPeer::~HnswlibPeer() = default;

void HnswlibPeer::add(const float* v, std::size_t label) { impl_->index.addPoint(v, label); }

void HnswlibPeer::set_ef(std::size_t ef) { impl_->index.setEf(ef); }

void HnswlibPeer::search(const float* q, std::size_t k, std::vector<std::uint32_t>& out) const {
  auto result = impl_->index.searchKnn(q, k);
  out.assign(result.size(), 0);
  // The queue pops the farthest first.
  for (std::size_t i = result.size(); i-- > 0; result.pop()) {
    out[i] = static_cast<std::uint32_t>(result.top().second);
  }
}

const char* HnswlibPeer::build_flags() {
#if defined(__AVX512F__)
  return "-O3 -march=native (AVX-512 in use)";
#elif defined(__AVX2__)
  return "-O3 -march=native (AVX2 in use)";
#elif defined(__AVX__)
  return "-O3 -march=native (AVX in use)";
#else
  return "-O3 -march=native (no AVX on this CPU)";
#endif
}
