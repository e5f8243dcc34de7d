// Whether block-max WAND pays: the same queries with pruning and with every matching record
// scored, on the package descriptions that bench/text_bench.py dumps:
//
//   PYTHONPATH=python /usr/bin/python3 bench/text_bench.py --dump build/packages.tsv
//   build/bench/text_prune_bench build/packages.tsv [english]
//
// Queries of 1, 2 and 4 words drawn (seeded) from the corpus's words, weighted by how often
// they occur, as text_bench.py draws them; top 10 and top 100. Both ways must return the
// same records with the same scores; the program says so or stops.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "quarn_core/text.hpp"

namespace {

using namespace quarn_core;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS.tsv [language]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1]);
  std::vector<std::optional<json::Value>> metadata;
  std::vector<std::string> vocabulary;
  for (std::string line; std::getline(in, line);) {
    const auto tab = line.find('\t');
    const std::string text = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
    json::Value v = json::Value::object();
    v["text"] = text;
    metadata.emplace_back(std::move(v));
    std::string word;
    for (char c : text + " ") {
      if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) {
        word.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
      } else if (!word.empty()) {
        vocabulary.push_back(word);
        word.clear();
      }
    }
  }
  if (metadata.empty()) {
    std::fprintf(stderr, "no documents in %s\n", argv[1]);
    return 2;
  }
  text::TextIndexSpec spec{"text", std::nullopt};
  if (argc > 2) spec.language = argv[2];
  auto t0 = std::chrono::steady_clock::now();
  const auto index = text::TextIndexes::build(spec, metadata, {});
  std::printf("%zu documents, %zu terms, language %s; built in %.3f s\n", index->documents(),
              index->term_count(), spec.language ? spec.language->c_str() : "none",
              seconds_since(t0));

  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, vocabulary.size() - 1);
  constexpr int kQueries = 2000;
  std::printf("%6s %5s %12s %12s %8s\n", "words", "k", "pruned q/s", "full q/s", "speedup");
  for (int words : {1, 2, 4}) {
    std::vector<text::Query> queries;
    for (int q = 0; q < kQueries; ++q) {
      std::string s;
      for (int w = 0; w < words; ++w) s += vocabulary[pick(rng)] + " ";
      queries.push_back(text::parse_query(s, index->analyzer()));
    }
    for (std::size_t k : {std::size_t{10}, std::size_t{100}}) {
      text::TextSearchScope full;
      full.prune = false;
      std::vector<std::vector<text::TextHit>> a, b;
      t0 = std::chrono::steady_clock::now();
      for (const auto& q : queries) a.push_back(index->search(q, k));
      const double pruned = seconds_since(t0);
      t0 = std::chrono::steady_clock::now();
      for (const auto& q : queries) b.push_back(index->search(q, k, full));
      const double every = seconds_since(t0);
      for (std::size_t i = 0; i < a.size(); ++i) {
        bool same = a[i].size() == b[i].size();
        for (std::size_t j = 0; same && j < a[i].size(); ++j) {
          same = a[i][j].slot == b[i][j].slot && a[i][j].score == b[i][j].score;
        }
        if (!same) {
          std::fprintf(stderr, "query %zu: pruned and full answers differ\n", i);
          return 1;
        }
      }
      std::printf("%6d %5zu %12.0f %12.0f %7.2fx\n", words, k, kQueries / pruned, kQueries / every,
                  every / pruned);
    }
  }
  std::printf("pruned and full answers agree on every query\n");
  return 0;
}
