// Reading Fashion-MNIST's IDX files, shared by the benchmarks that use them.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// An IDX image file (gzip): big-endian magic 0x803, count, rows, cols, then u8 pixels.
inline std::vector<float> read_idx_images(const std::string& path, std::size_t& n,
                                          std::size_t& dim) {
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(1);
  }
  unsigned char header[16];
  if (gzread(f, header, 16) != 16) std::exit(1);
  auto be32 = [&](int at) {
    return (std::uint32_t{header[at]} << 24) | (std::uint32_t{header[at + 1]} << 16) |
           (std::uint32_t{header[at + 2]} << 8) | std::uint32_t{header[at + 3]};
  };
  if (be32(0) != 0x803) {
    std::fprintf(stderr, "%s: not an IDX image file\n", path.c_str());
    std::exit(1);
  }
  n = be32(4);
  dim = std::size_t{be32(8)} * be32(12);
  std::vector<unsigned char> pixels(n * dim);
  std::size_t got = 0;
  while (got < pixels.size()) {
    const int r =
        gzread(f, pixels.data() + got,
               static_cast<unsigned>(std::min<std::size_t>(pixels.size() - got, 1 << 30)));
    if (r <= 0) std::exit(1);
    got += static_cast<std::size_t>(r);
  }
  gzclose(f);
  return std::vector<float>(pixels.begin(), pixels.end());
}
