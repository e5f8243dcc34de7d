// What the fuzz targets share: a scratch directory of their own and whole-file writes.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace quarn_fuzz {

// One directory per fuzzing process, in memory when /dev/shm exists. Removed at exit.
inline const std::filesystem::path& scratch() {
  static const std::filesystem::path dir = [] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/quarn-fuzz-XXXXXX";
    std::filesystem::path made = ::mkdtemp(tmpl.data());
    static const std::filesystem::path removed_at_exit = made;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(removed_at_exit, ec);
    });
    return made;
  }();
  return dir;
}

// An empty directory under the scratch directory.
inline std::filesystem::path fresh_dir(const char* name) {
  const auto dir = scratch() / name;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir);
  return dir;
}

inline void write_file(const std::filesystem::path& path, const std::uint8_t* data,
                       std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) __builtin_trap();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) __builtin_trap();
  std::fclose(f);
}

}  // namespace quarn_fuzz
