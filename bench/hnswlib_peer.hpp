// hnswlib's C++ behind a narrow interface, so that its header-only code is compiled in its own
// translation unit (hnswlib_peer.cpp) with this machine's instructions whatever the flags of
// the rest of the build: the peer runs at its best, as a user who builds it gets it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class HnswlibPeer {
 public:
  // Squared L2 over `dim` floats, room for `capacity` points.
  HnswlibPeer(std::size_t dim, std::size_t capacity, std::size_t m, std::size_t ef_construction);
  ~HnswlibPeer();
  // Safe to call from several threads at once, as hnswlib's addPoint is.
  void add(const float* v, std::size_t label);
  void set_ef(std::size_t ef);
  // The labels of the k nearest, nearest first.
  void search(const float* q, std::size_t k, std::vector<std::uint32_t>& out) const;
  // How hnswlib_peer.cpp was compiled, for the benchmark's output.
  static const char* build_flags();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
