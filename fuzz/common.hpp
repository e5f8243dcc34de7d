// What the fuzz targets share: a scratch directory of their own and whole-file writes.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "quarn_core/text.hpp"

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

// The texts the saved postings of text_fuzz are restored over, and its seeds written for.
inline const std::vector<std::optional<quarn_core::json::Value>>& text_corpus() {
  static const auto texts = [] {
    const char* words[] = {"alpha", "beta", "gamma", "delta", "epsilon", "Stra\xC3\x9F" "e",
                           "running", "the", "e-mail", "3.14"};
    std::vector<std::optional<quarn_core::json::Value>> out;
    for (int i = 0; i < 24; ++i) {
      if (i % 5 == 4) {
        out.emplace_back();
        continue;
      }
      std::string text;
      for (int w = 0; w <= i % 7; ++w) text += std::string(words[(i * 3 + w * 7) % 10]) + " ";
      quarn_core::json::Value v = quarn_core::json::Value::object();
      v["body"] = text;
      out.emplace_back(std::move(v));
    }
    return out;
  }();
  return texts;
}

inline std::vector<quarn_core::text::TextIndexSpec> text_specs() {
  return {{"body", "english"}, {"body", std::nullopt}};
}

}  // namespace quarn_fuzz
