// Test helpers for planting damage in a collection's files: raw byte access, and the graph
// file as an editable model (header, deleted slots, node lists, metadata records) that writes
// back byte for byte what it read.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "quarn_core/io.hpp"

namespace quarn_core::testing {

inline std::vector<std::byte> read_bytes(const std::filesystem::path& p) {
  auto r = io::read_file(p);
  return r ? *r : std::vector<std::byte>{};
}

// A fresh file rather than a truncated one: ext4 flushes a file truncated and rewritten in
// place on close, which makes byte-by-byte sweeps crawl.
inline void write_bytes(const std::filesystem::path& p, std::span<const std::byte> data) {
  std::filesystem::remove(p);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline void append_bytes(const std::filesystem::path& p, const std::vector<std::byte>& data) {
  std::ofstream out(p, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline void resize_file(const std::filesystem::path& p, std::size_t size) {
  std::filesystem::resize_file(p, size);
}

struct GraphModel {
  struct Record {
    std::uint32_t slot = 0;
    std::string id;
    std::string metadata;  // compact JSON text, empty for none
  };
  std::uint32_t magic = 0, version = 0, dim = 0;
  std::uint8_t metric = 0;
  std::uint32_t m = 0, ef_construction = 0, entry_point = 0, max_level = 0;
  std::vector<std::uint32_t> deleted;
  std::vector<std::vector<std::vector<std::uint32_t>>> nodes;
  std::vector<Record> records;
  std::size_t nodes_at = 0;    // offset of the first node record in the file read
  std::size_t section_at = 0;  // offset of the metadata section in the file read

  // REQUIRES: a sound graph file.
  static GraphModel read(const std::filesystem::path& p) {
    const std::vector<std::byte> b = read_bytes(p);
    GraphModel g;
    std::size_t at = 0;
    auto u32 = [&] {
      std::uint32_t v = 0;
      std::memcpy(&v, b.data() + at, 4);
      at += 4;
      return v;
    };
    auto text = [&](std::uint32_t n) {
      std::string s(reinterpret_cast<const char*>(b.data() + at), n);
      at += n;
      return s;
    };
    g.magic = u32();
    g.version = u32();
    g.dim = u32();
    g.metric = static_cast<std::uint8_t>(b[at++]);
    g.m = u32();
    g.ef_construction = u32();
    g.entry_point = u32();
    g.max_level = u32();
    const std::uint32_t n = u32(), d = u32();
    for (std::uint32_t i = 0; i < d; ++i) g.deleted.push_back(u32());
    g.nodes_at = at;
    g.nodes.resize(n);
    for (auto& node : g.nodes) {
      node.resize(u32());
      for (auto& list : node) {
        list.resize(u32());
        for (auto& v : list) v = u32();
      }
    }
    g.section_at = at;
    (void)u32();  // section magic
    g.records.resize(u32());
    for (auto& r : g.records) {
      r.slot = u32();
      r.id = text(u32());
      r.metadata = text(u32());
    }
    return g;
  }

  std::vector<std::byte> bytes() const {
    std::vector<std::byte> out;
    auto u32 = [&](std::uint32_t v) {
      const auto* p = reinterpret_cast<const std::byte*>(&v);
      out.insert(out.end(), p, p + 4);
    };
    auto text = [&](const std::string& s) {
      u32(static_cast<std::uint32_t>(s.size()));
      const auto* p = reinterpret_cast<const std::byte*>(s.data());
      out.insert(out.end(), p, p + s.size());
    };
    u32(magic);
    u32(version);
    u32(dim);
    out.push_back(static_cast<std::byte>(metric));
    u32(m);
    u32(ef_construction);
    u32(entry_point);
    u32(max_level);
    u32(static_cast<std::uint32_t>(nodes.size()));
    u32(static_cast<std::uint32_t>(deleted.size()));
    for (auto s : deleted) u32(s);
    for (const auto& node : nodes) {
      u32(static_cast<std::uint32_t>(node.size()));
      for (const auto& list : node) {
        u32(static_cast<std::uint32_t>(list.size()));
        for (auto v : list) u32(v);
      }
    }
    u32(0x4D455441);  // "ATEM"
    u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& r : records) {
      u32(r.slot);
      text(r.id);
      text(r.metadata);
    }
    return out;
  }

  void write(const std::filesystem::path& p) const { write_bytes(p, bytes()); }

  // Takes `slot` out of every list of every node, so that no link leads to it.
  void unlink(std::uint32_t slot) {
    for (auto& node : nodes) {
      for (auto& list : node) std::erase(list, slot);
    }
  }
};

}  // namespace quarn_core::testing
