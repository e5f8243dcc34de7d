// Writes the seed corpora of the fuzz targets under the directory given: wal/, collection/,
// import/ and filter/, each from files the library itself writes.
#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common.hpp"
#include "quarn_core/db.hpp"
#include "quarn_core/export.hpp"

using namespace quarn_core;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const fs::path& p, const std::string& bytes) {
  quarn_fuzz::write_file(p, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_seeds: %s failed\n", what);
    std::exit(1);
  }
}

std::optional<json::Value> meta(int i) {
  if (i % 4 == 3) return std::nullopt;
  return json::parse("{\"c\":\"" + std::string(i % 2 ? "red" : "blue") +
                     "\",\"n\":" + std::to_string(i) + ",\"l\":[1,{\"d\":[true,null]}]}");
}

// A collection of dimension 4 with every kind of change, left unsaved or saved.
std::shared_ptr<db::Database> build(const fs::path& dir, bool quantize, int n, std::size_t m = 16) {
  db::DatabaseConfig config;
  config.quantize = quantize;
  config.m = m;
  auto opened = db::Database::open_or_create_with_config(dir, 4, distance::Metric::Cosine, config);
  check(opened.has_value(), "create");
  auto& d = **opened;
  std::vector<db::Record> batch;
  for (int i = 0; i < n; ++i) {
    const auto f = static_cast<float>(i);
    batch.push_back({"id" + std::to_string(i), {f, 1 - f, 0.5f, -f}, meta(i)});
  }
  check(d.add_many(batch).has_value(), "add_many");
  check(d.upsert("id1", {1, 2, 3, 4}, meta(7)).has_value(), "upsert");
  check(d.update("id2", std::nullopt, std::optional<db::Metadata>(meta(5))).has_value(), "update");
  check(d.remove("id3").has_value(), "delete");
  check(d.delete_many({"id4", "id5"}).has_value(), "delete_many");
  return std::move(*opened);
}

std::string pack(const fs::path& dir) {
  const std::string graph = slurp(dir / "graph.quarn");
  const std::string vectors = slurp(dir / "vectors.bin");
  std::string out(8, '\0');
  const auto g = static_cast<std::uint32_t>(graph.size());
  const auto v = static_cast<std::uint32_t>(vectors.size());
  std::memcpy(out.data(), &g, 4);
  std::memcpy(out.data() + 4, &v, 4);
  out += graph + vectors;
  if (fs::exists(dir / "vectors.sq8")) out += slurp(dir / "vectors.sq8");
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds CORPUS_DIR\n");
    return 2;
  }
  const fs::path out = argv[1];
  for (const char* sub : {"wal", "collection", "import", "filter", "text"})
    fs::create_directories(out / sub);

  // Logs: a short one, and one whose last batch is torn.
  {
    const auto dir = quarn_fuzz::fresh_dir("seed-wal");
    auto d = build(dir, false, 8);
    const std::string log = slurp(dir / "wal.quarn");
    put(out / "wal" / "log", log);
    put(out / "wal" / "torn", log.substr(0, log.size() - 7));
  }
  // Saved collections, with and without codes, with a log beside one; and an empty one.
  for (bool quantize : {false, true}) {
    const auto dir = quarn_fuzz::fresh_dir("seed-collection");
    auto d = build(dir, quantize, 12);
    check(d->save().has_value(), "save");
    put(out / "collection" / (quantize ? "sq8" : "plain"), pack(dir));
    if (quantize) {  // the pretty one carries a text index definition
      check(d->create_text_index("tag", std::nullopt).has_value(), "text index");
    }
    check(export_::export_json(*d, dir / "export.json", quantize).has_value(), "export");
    put(out / "import" / (quantize ? "pretty" : "compact"), slurp(dir / "export.json"));
  }
  {  // the largest m a file may hold: every node's lists are as wide as a load allows
    const auto dir = quarn_fuzz::fresh_dir("seed-widest");
    auto d = build(dir, false, 12, db::kMaxM);
    check(d->save().has_value(), "save");
    put(out / "collection" / "widest", pack(dir));
  }
  {
    const auto dir = quarn_fuzz::fresh_dir("seed-empty");
    auto opened = db::Database::open_or_create_with_config(dir, 3, distance::Metric::Euclidean, {});
    check(opened.has_value() && (*opened)->save().has_value(), "empty save");
    put(out / "collection" / "empty", pack(dir));
  }
  const char* filters[] = {
      R"({"c": "red"})",
      R"({"n": {"$gte": 2, "$lt": 10}, "c": {"$ne": "blue"}})",
      R"({"c": {"$in": ["red", "green", 1, 1.0, null, true]}})",
      R"({"n": {"$gt": -1e308}, "f": 1.5, "b": true, "z": null})",
      R"({"n": 18446744073709551615, "m": -9223372036854775808, "x": NaN})",
      R"({"o": {"$in": [[1], {"k": 1}]}, "p": {"$bad": 1}})",
      R"({"n": 18446744073709551615, "c": "1"})",
      R"({"$or": [{"c": "red"}, {"l": {"$contains": 1}}], "$not": {"n": {"$nin": [1, 2.0]}}})",
      R"({"$and": [{"z": {"$exists": true}}, {"$not": {"$or": [{"f": {"$lt": 2}}, {"n": 1}]}}]})",
      R"({"t": {"$contains": null, "$exists": false}, "c": {"$eq": "1", "$ne": null}})",
  };
  int i = 0;
  for (const char* f : filters) put(out / "filter" / ("f" + std::to_string(i++)), f);

  // Text files: the postings of both specs over the fixed texts, without their CRC (the
  // target adds it), and a definitions file; each after the byte that picks its reader.
  {
    const auto dir = quarn_fuzz::fresh_dir("seed-text");
    text::TextIndexes indexes;
    for (const auto& spec : quarn_fuzz::text_specs()) {
      indexes.insert(text::TextIndexes::build(spec, quarn_fuzz::text_corpus(), {}));
    }
    for (const auto& spec : quarn_fuzz::text_specs()) {
      text::TextIndexes one;
      one.insert(text::TextIndexes::build(spec, quarn_fuzz::text_corpus(), {}));
      const auto file = dir / text::kPostingsFileName;
      auto fd = io::open_file(file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      check(fd.has_value(), "postings file");
      io::BufWriter w(fd->get());
      check(text::SavedPostings::write(w, one, quarn_fuzz::text_corpus()).has_value(), "postings");
      fd->reset();
      const std::string bytes = slurp(file);
      put(out / "text" / (spec.language ? "postings-english" : "postings-none"),
          std::string(1, '\0') + bytes.substr(0, bytes.size() - 4));
    }
    check(text::write_specs(dir, quarn_fuzz::text_specs()).has_value(), "specs");
    put(out / "text" / "specs", "\x01" + slurp(dir / text::kTextIndexFileName));
  }
  return 0;
}
