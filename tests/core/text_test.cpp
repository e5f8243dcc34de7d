#include "quarn_core/text.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>

#include "quarn_core/db.hpp"
#include "quarn_core/export.hpp"
#include "testutil.hpp"

namespace quarn_core::text {
namespace {

using db::Database;
using db::Metadata;
using testing::Ok;
using testing::TempDir;

using Terms = std::vector<std::pair<std::string, std::uint32_t>>;

Terms terms_of(const Analyzer& analyzer, std::string_view text) {
  Tokens tokens;
  analyzer.analyze(text, tokens);
  Terms out;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    out.emplace_back(std::string(tokens.term(i)), tokens.positions[i]);
  }
  return out;
}

Analyzer analyzer_for(const char* language) {
  return language ? Analyzer(language) : Analyzer();
}

TEST(AnalyzerTest, WordsAreFoldedAndWithALanguageStoppedAndStemmed) {
  const std::string long_word(Analyzer::kMaxTermBytes + 1, 'x');
  struct Case {
    const char* language;
    std::string text;
    Terms want;
  };
  const std::vector<Case> cases = {
      {nullptr, "The Quick  brown-fox!", {{"the", 0}, {"quick", 1}, {"brown", 2}, {"fox", 3}}},
      {nullptr, "Stra\xC3\x9F" "e \xC3\x89" "COLE", {{"strasse", 0}, {"\xC3\xA9" "cole", 1}}},
      // Numbers, dotted names and letters with digits stay whole; a hyphen splits.
      {nullptr, "error E1234 in node.js 3.14 e-mail",
       {{"error", 0}, {"e1234", 1}, {"in", 2}, {"node.js", 3}, {"3.14", 4}, {"e", 5}, {"mail", 6}}},
      {nullptr, "don\xE2\x80\x99t DON'T", {{"don't", 0}, {"don't", 1}}},
      {nullptr, long_word + " kept", {{"kept", 1}}},
      // Stop words are dropped but keep their place.
      {"english", "The foxes were Running quickly",
       {{"fox", 1}, {"run", 3}, {"quick", 4}}},
      {"english", "Don\xE2\x80\x99t panic", {{"panic", 1}}},
      {"german", "Die H\xC3\xA4user", {{"haus", 1}}},
      {"porter", "the connections", {{"connect", 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(terms_of(analyzer_for(c.language), c.text), c.want);
  }
  EXPECT_FALSE(check_language("english"));
  EXPECT_FALSE(check_language("russian"));
  ASSERT_TRUE(check_language("klingon"));
  EXPECT_NE(check_language("klingon")->find("unknown text language 'klingon'; one of"),
            std::string::npos);
  EXPECT_TRUE(check_language("English"));  // names are Snowball's, lower case
}

TEST(QueryTest, SyntaxGivesClauses) {
  using O = Clause::Occur;
  struct Want {
    O occur;
    std::vector<std::string> terms;
    std::vector<std::uint32_t> offsets;
  };
  struct Case {
    const char* language;
    const char* query;
    std::vector<Want> want;
  };
  const std::vector<Case> cases = {
      {nullptr, "alpha  beta", {{O::Should, {"alpha"}, {0}}, {O::Should, {"beta"}, {0}}}},
      {nullptr, "+alpha -beta", {{O::Must, {"alpha"}, {0}}, {O::MustNot, {"beta"}, {0}}}},
      {nullptr, "\"a b c\" d", {{O::Should, {"a", "b", "c"}, {0, 1, 2}}, {O::Should, {"d"}, {0}}}},
      {nullptr, "-\"a b\"", {{O::MustNot, {"a", "b"}, {0, 1}}}},
      {nullptr, "wi-fi", {{O::Should, {"wi", "fi"}, {0, 1}}}},
      {nullptr, "\"unclosed phrase", {{O::Should, {"unclosed", "phrase"}, {0, 1}}}},
      {nullptr, "+ - \"\" !!", {}},
      // A stop word in a phrase keeps its gap; a clause of stop words only is dropped.
      {"english", "\"state of the art\" +the", {{O::Should, {"state", "art"}, {0, 3}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    const Query q = parse_query(c.query, analyzer_for(c.language));
    ASSERT_EQ(q.clauses.size(), c.want.size());
    for (std::size_t i = 0; i < c.want.size(); ++i) {
      EXPECT_EQ(q.clauses[i].occur, c.want[i].occur);
      EXPECT_EQ(q.clauses[i].terms, c.want[i].terms);
      EXPECT_EQ(q.clauses[i].offsets, c.want[i].offsets);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// BM25 against a plain model: texts of words from a small vocabulary separated by spaces, so
// that the model can count what the analyzer finds.

struct Model {
  std::vector<std::vector<std::string>> docs;  // by slot; empty: no text (or none left)

  std::uint32_t freq(const std::vector<std::string>& doc, const Clause& c) const {
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < doc.size(); ++i) {
      bool all = true;
      for (std::size_t j = 0; j < c.terms.size() && all; ++j) {
        all = i + c.offsets[j] < doc.size() && doc[i + c.offsets[j]] == c.terms[j];
      }
      n += all ? 1 : 0;
    }
    return n;
  }

  // The k best (slot, score) for the query, among the slots `accept` allows.
  std::vector<std::pair<std::uint32_t, double>> search(
      const Query& q, std::size_t k, const std::function<bool(std::uint32_t)>& accept) const {
    double n = 0, total = 0;
    std::map<std::string, double> df;
    for (const auto& doc : docs) {
      if (doc.empty()) continue;
      ++n;
      total += static_cast<double>(doc.size());
      for (const auto& t : std::set<std::string>(doc.begin(), doc.end())) ++df[t];
    }
    std::vector<std::pair<std::uint32_t, double>> out;
    if (n == 0) return out;
    const double avgdl = total / n;
    const bool any_must = std::any_of(q.clauses.begin(), q.clauses.end(), [&](const Clause& c) {
      return c.occur == Clause::Occur::Must;
    });
    for (std::uint32_t s = 0; s < docs.size(); ++s) {
      const auto& doc = docs[s];
      if (doc.empty() || (accept && !accept(s))) continue;
      double score = 0;
      bool matched = false, rejected = false;
      for (const Clause& c : q.clauses) {
        const std::uint32_t f = freq(doc, c);
        if (c.occur == Clause::Occur::MustNot) {
          rejected |= f > 0;
          continue;
        }
        if (f == 0) {
          rejected |= c.occur == Clause::Occur::Must;
          continue;
        }
        double idf = 0;
        for (const auto& t : c.terms) idf += std::log(1.0 + (n - df[t] + 0.5) / (df[t] + 0.5));
        const double fd = f;
        score += idf * (fd / (fd + kBm25K1 * (1.0 - kBm25B +
                                               kBm25B * static_cast<double>(doc.size()) / avgdl)));
        matched |= any_must ? c.occur == Clause::Occur::Must : true;
      }
      if (matched && !rejected) out.emplace_back(s, score);
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
      return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    if (out.size() > k) out.resize(k);
    return out;
  }
};

Metadata text_metadata(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
  json::Value v = json::Value::object();
  v["body"] = text;
  return v;
}

// Ranking, pruned and not, with a filter and with candidates, equals the model's: the same
// slots, the scores within 1e-5 of the formula; also after records come and go (only live
// records count in N, n and the mean length).
TEST(TextIndexTest, RanksByBm25AsAPlainModelDoes) {
  const unsigned seed = 20240611;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::vector<std::string> vocabulary;
  for (int i = 0; i < 40; ++i) vocabulary.push_back(testing::name("w", i));
  // Zipf-like: low word numbers are common.
  auto word = [&] {
    return vocabulary[std::min<std::size_t>(
        39, static_cast<std::size_t>(std::exponential_distribution<>(0.12)(rng)))];
  };
  Model model;
  TextIndex index("body", Analyzer());
  auto put = [&](std::uint32_t slot, std::size_t length) {
    std::vector<std::string> doc;
    for (std::size_t i = 0; i < length; ++i) doc.push_back(word());
    if (model.docs.size() <= slot) model.docs.resize(slot + 1);
    model.docs[slot] = doc;
    index.add(slot, text_metadata(doc));
  };
  auto take = [&](std::uint32_t slot) {
    index.remove(slot, text_metadata(model.docs[slot]));
    model.docs[slot].clear();
  };
  for (std::uint32_t s = 0; s < 400; ++s) put(s, 1 + rng() % 30);

  auto check = [&](const char* stage) {
    SCOPED_TRACE(stage);
    std::vector<std::uint32_t> even;
    for (std::uint32_t s = 0; s < model.docs.size(); s += 2) even.push_back(s);
    const std::function<bool(std::uint32_t)> is_even = [](std::uint32_t s) { return s % 2 == 0; };
    for (int i = 0; i < 60; ++i) {
      std::string text;
      const int clauses = 1 + static_cast<int>(rng() % 4);
      for (int c = 0; c < clauses; ++c) {
        const unsigned kind = rng() % 8;
        if (kind == 0) text += "+";
        if (kind == 1) text += "-";
        if (kind == 2) {
          // A phrase from a record, so that some match.
          const auto& doc = model.docs[rng() % model.docs.size()];
          if (doc.size() >= 2) {
            const std::size_t at = rng() % (doc.size() - 1);
            text += "\"" + doc[at] + " " + doc[at + 1] + "\" ";
            continue;
          }
        }
        text += word() + " ";
      }
      const Query q = parse_query(text, index.analyzer());
      for (std::size_t k : {1, 10, 50}) {
        for (int mode = 0; mode < 4; ++mode) {
          SCOPED_TRACE(text + " k " + std::to_string(k) + " mode " + std::to_string(mode));
          TextSearchScope scope;
          scope.prune = mode != 1;
          if (mode >= 2) scope.accept = &is_even;
          if (mode == 3) scope.within = even;
          const auto want = model.search(q, k, mode >= 2 ? is_even : nullptr);
          const auto got = index.search(q, k, scope);
          ASSERT_EQ(got.size(), want.size());
          for (std::size_t j = 0; j < got.size(); ++j) {
            ASSERT_EQ(got[j].slot, want[j].first) << "rank " << j;
            ASSERT_NEAR(got[j].score, want[j].second, 1e-5 * want[j].second) << "rank " << j;
          }
        }
      }
    }
    TextIndex fresh("body", Analyzer());
    for (std::uint32_t s = 0; s < model.docs.size(); ++s) {
      if (!model.docs[s].empty()) fresh.add(s, text_metadata(model.docs[s]));
    }
    std::vector<std::string> problems;
    index.compare(fresh, [&](std::string line) { problems.push_back(std::move(line)); });
    EXPECT_EQ(problems, std::vector<std::string>{});
  };
  check("built in slot order");
  // Replace a third of the records (in the middle of their blocks), drop a sixth, add more.
  for (std::uint32_t s = 0; s < 400; s += 3) {
    take(s);
    put(s, 1 + rng() % 30);
  }
  for (std::uint32_t s = 1; s < 400; s += 6) take(s);
  for (std::uint32_t s = 400; s < 450; ++s) put(s, 1 + rng() % 60);
  check("after changes");
}

TEST(SavedPostingsTest, TakenOnlyOverTheTextsTheyWereSavedWith) {
  TempDir dir;
  std::vector<Metadata> metadata;
  for (int i = 0; i < 300; ++i) {
    metadata.push_back(i % 7 == 0 ? Metadata()
                                  : text_metadata({"alpha", testing::name("w", i % 13), "beta",
                                                   testing::name("w", i % 5)}));
  }
  const TextIndexSpec spec{"body", "english"};
  const auto built = TextIndexes::build(spec, metadata, {});
  TextIndexes indexes;
  indexes.insert(TextIndexes::build(spec, metadata, {}));
  const auto file = dir.path() / kPostingsFileName;
  {
    auto fd = io::open_file(file, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ASSERT_TRUE(Ok(fd));
    io::BufWriter w(fd->get());
    ASSERT_TRUE(Ok(SavedPostings::write(w, indexes, metadata)));
  }
  const std::string bytes = testing::read_text(file);
  auto changed = metadata;
  changed[5] = text_metadata({"gamma"});
  auto shorter = metadata;
  shorter.pop_back();
  struct Case {
    const char* what;
    std::string file;
    TextIndexSpec spec;
    const std::vector<Metadata>* metadata;
    std::function<bool(std::uint32_t)> skip;
    bool taken;
  };
  std::string flipped = bytes;
  flipped[bytes.size() / 2] ^= 0x10;
  const std::vector<Case> cases = {
      {"as saved", bytes, spec, &metadata, {}, true},
      {"a text changed", bytes, spec, &changed, {}, false},
      {"a slot fewer", bytes, spec, &shorter, {}, false},
      {"a slot deleted", bytes, spec, &metadata, [](std::uint32_t s) { return s == 3; }, false},
      {"another language", bytes, TextIndexSpec{"body", std::nullopt}, &metadata, {}, false},
      {"another field", bytes, TextIndexSpec{"title", "english"}, &metadata, {}, false},
      {"a byte flipped", flipped, spec, &metadata, {}, false},
      {"cut short", bytes.substr(0, bytes.size() - 9), spec, &metadata, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::write_text(file, c.file);
    const auto saved = SavedPostings::read(dir.path());
    auto restored = saved ? saved->restore(c.spec, *c.metadata, c.skip) : nullptr;
    ASSERT_EQ(restored != nullptr, c.taken);
    if (!restored) continue;
    EXPECT_EQ(restored->listing(), built->listing());
    std::vector<std::string> problems;
    restored->compare(*built, [&](std::string line) { problems.push_back(std::move(line)); });
    EXPECT_EQ(problems, std::vector<std::string>{});
    const Query q = parse_query("alpha w3 \"beta w4\"", restored->analyzer());
    const auto a = restored->search(q, 20), b = built->search(q, 20);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].slot, b[i].slot);
  }
}

TEST(TextIndexSpecsTest, SideFileRoundTripsAndIsWrittenAfresh) {
  TempDir dir;
  const std::vector<TextIndexSpec> specs = {{"body", "english"}, {"ti\"tle", std::nullopt}};
  ASSERT_TRUE(Ok(write_specs(dir.path(), specs)));
  EXPECT_EQ(testing::value(read_specs(dir.path())), specs);
  // A link left where the temporary file goes is replaced, not written through.
  const auto target = dir.path() / "elsewhere";
  testing::write_text(target, "keep");
  ASSERT_EQ(::symlink(target.c_str(), (dir.path() / "text_indexes.tmp").c_str()), 0);
  ASSERT_TRUE(Ok(write_specs(dir.path(), {specs[0]})));
  EXPECT_EQ(testing::read_text(target), "keep");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "text_indexes.tmp"));
  EXPECT_EQ(testing::value(read_specs(dir.path())), std::vector<TextIndexSpec>{specs[0]});
  ASSERT_TRUE(Ok(write_specs(dir.path(), {})));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / kTextIndexFileName));
  EXPECT_EQ(testing::value(read_specs(dir.path())), std::vector<TextIndexSpec>{});
  for (const char* bad : {"[]", "{\"version\":2,\"indexes\":[]}",
                          "{\"version\":1,\"indexes\":[{\"field\":\"a\"}]}",
                          "{\"version\":1,\"indexes\":[{\"field\":\"a\",\"language\":\"xx\"}]}",
                          "{\"version\":1,\"indexes\":[{\"field\":\"a\",\"language\":null},"
                          "{\"field\":\"a\",\"language\":null}]}"}) {
    SCOPED_TRACE(bad);
    testing::write_text(dir.path() / kTextIndexFileName, bad);
    auto r = read_specs(dir.path());
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().to_string().find("text_indexes.json: "), std::string::npos);
  }
}

}  // namespace
}  // namespace quarn_core::text
