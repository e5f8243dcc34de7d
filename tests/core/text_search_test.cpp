// Text indexes of a collection: kept in step with every change, reopened, compacted, repaired;
// their definitions; filtered and hybrid search.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>

#include "quarn_core/db.hpp"
#include "quarn_core/export.hpp"
#include "testutil.hpp"

namespace quarn_core::db {
namespace {

namespace fs = std::filesystem;
using error::ErrorKind;
using testing::Fails;
using testing::Ok;
using testing::TempDir;
using testing::value;

Metadata md(const char* text) { return text ? json::parse(text) : std::nullopt; }

// Every answer of a few queries on each indexed field, as (id, distance) lists.
using Answers = std::vector<std::vector<std::pair<std::string, float>>>;
Answers answers(const Database& db) {
  Answers out;
  for (const auto& [field, language] : db.text_indexes()) {
    for (const char* q : {"fox", "quick -brown", "\"brown fox\"", "+dog cat", "jumps over"}) {
      TextSearchOptions o;
      o.k = 20;
      o.field = field;
      auto hits = db.search_text(q, o);
      EXPECT_TRUE(Ok(hits)) << q;
      auto& row = out.emplace_back();
      if (hits) {
        for (const auto& h : *hits) row.emplace_back(h.id, h.distance);
      }
    }
  }
  return out;
}

// verify() compares each text index with one built afresh from the records.
void expect_sound(const Database& db, const std::string& stage) {
  const VerifyReport report = db.verify();
  EXPECT_TRUE(report.ok()) << stage << ": " << (report.problems.empty() ? "" : report.problems[0]);
}

TEST(TextCollectionTest, EveryChangeKeepsTheIndexesEqualToOnesBuiltAfresh) {
  TempDir tmp;
  const fs::path path = tmp.path() / "c";
  auto db = testing::create(path, 2);
  ASSERT_NE(db, nullptr);
  ASSERT_TRUE(Ok(db->create_text_index("body", "english")));
  ASSERT_TRUE(Ok(db->create_text_index("title", std::nullopt)));
  const std::vector<float> v{1, 0};
  auto records = [&](std::vector<std::pair<const char*, const char*>> items) {
    std::vector<Record> out;
    for (const auto& [id, m] : items) out.push_back(Record{id, v, md(m)});
    return out;
  };
  const fs::path document = tmp.path() / "import.json";
  testing::write_text(document,
                      R"({"version":1,"dim":2,"metric":"cosine","vectors":[)"
                      R"({"id":"a","vector":[0,1],"metadata":{"body":"imported fox","title":"I"}},)"
                      R"({"id":"new","vector":[1,1],"metadata":{"body":"the dog jumps","title":"N"}}]})");
  struct Step {
    const char* what;
    std::function<void(Database&)> apply;
  };
  const std::vector<Step> steps = {
      {"add", [&](Database& d) {
         ASSERT_TRUE(Ok(d.add("a", v, md(R"({"body":"The quick brown fox","title":"Fox"})"))));
       }},
      {"add_many", [&](Database& d) {
         ASSERT_TRUE(Ok(d.add_many(records({{"b", R"({"body":"A lazy dog and a cat","title":"Dog"})"},
                                            {"c", R"({"body":"Foxes jumps over dogs","title":"x"})"},
                                            {"d", R"({"body":"brown fox, brown dog"})"},
                                            {"e", R"({"title":"quick cat","n":1})"},
                                            {"f", nullptr}}))));
       }},
      {"upsert existing", [&](Database& d) {
         ASSERT_TRUE(Ok(d.upsert("a", v, md(R"({"body":"a quick fox jumps","title":"Fox"})"))));
       }},
      {"upsert new", [&](Database& d) {
         ASSERT_TRUE(Ok(d.upsert("g", v, md(R"({"body":"cat over the dog"})"))));
       }},
      {"update another field", [&](Database& d) {
         ASSERT_TRUE(Ok(d.update("b", std::nullopt,
                                 md(R"({"body":"A lazy dog and a cat","title":"Dog","t":1})"))));
       }},
      {"update to a non-string", [&](Database& d) {
         ASSERT_TRUE(Ok(d.update("c", std::nullopt, md(R"({"body":["fox"],"title":5})"))));
       }},
      {"update clearing metadata", [&](Database& d) {
         ASSERT_TRUE(Ok(d.update("d", std::nullopt, std::optional<Metadata>(Metadata()))));
       }},
      {"update the vector", [&](Database& d) {
         ASSERT_TRUE(Ok(d.update("e", std::vector<float>{0, 1}, std::nullopt)));
       }},
      {"delete", [&](Database& d) { ASSERT_TRUE(value(d.remove("f"))); }},
      {"delete_many", [&](Database& d) {
         ASSERT_EQ(value(d.delete_many({"b", "zz", "b"})), 1u);
       }},
      {"upsert_many", [&](Database& d) {
         ASSERT_TRUE(Ok(d.upsert_many(records({{"c", R"({"body":"brown cat","title":"C"})"},
                                               {"h", R"({"body":"quick dog"})"},
                                               {"h", R"({"body":"quick brown dog"})"}}))));
       }},
      {"import", [&](Database& d) { ASSERT_TRUE(export_::import_json(d, document)); }},
      {"compact", [&](Database& d) { d.compact(); }},
      {"add after compact", [&](Database& d) {
         ASSERT_TRUE(Ok(d.add("i", v, md(R"({"body":"the brown fox jumps over the lazy dog"})"))));
       }},
      {"repair", [&](Database& d) { (void)d.repair(); }},
  };
  for (const auto& step : steps) {
    step.apply(*db);
    expect_sound(*db, step.what);
  }
  const Answers before = answers(*db);
  EXPECT_FALSE(before[0].empty());

  // Replayed from the log only, then from saved files with their postings, then with a log
  // on top of those, then repaired from the files.
  db.reset();
  db = testing::create(path, 2);  // never saved: opened from the log
  ASSERT_NE(db, nullptr);
  expect_sound(*db, "replayed");
  EXPECT_EQ(answers(*db), before);
  ASSERT_TRUE(Ok(db->save()));
  EXPECT_TRUE(fs::exists(path / text::kPostingsFileName));
  db = testing::reopen(path);
  expect_sound(*db, "reopened from the saved postings");
  EXPECT_EQ(answers(*db), before);
  ASSERT_TRUE(Ok(db->upsert("a", v, md(R"({"body":"no more foxes here","title":"A"})"))));
  ASSERT_TRUE(value(db->remove("c")));
  const Answers changed = answers(*db);
  db = testing::reopen(path);
  expect_sound(*db, "saved postings and a log");
  EXPECT_EQ(answers(*db), changed);
  db.reset();
  auto repaired = Database::repair_path(path);
  ASSERT_TRUE(Ok(repaired));
  expect_sound(*repaired->first, "repair_path");
  EXPECT_EQ(answers(*repaired->first), changed);

  // Exported and imported into a new collection, the definitions come along; the scores are
  // the same, ties aside (the import numbers the slots afresh).
  const fs::path exported = tmp.path() / "export.json";
  ASSERT_TRUE(export_::export_json(*repaired->first, exported, false));
  auto copy = testing::create(tmp.path() / "copy", 2);
  ASSERT_TRUE(export_::import_json(*copy, exported));
  EXPECT_EQ(copy->text_indexes(), repaired->first->text_indexes());
  auto by_id = [](Answers a) {
    for (auto& row : a) std::sort(row.begin(), row.end());
    return a;
  };
  EXPECT_EQ(by_id(answers(*copy)), by_id(changed));
}

// Postings saved by an earlier save, or damaged ones, are not taken: the index is built.
TEST(TextCollectionTest, StaleOrDamagedSavedPostingsAreRebuilt) {
  TempDir tmp;
  const fs::path path = tmp.path() / "c";
  const fs::path file = path / text::kPostingsFileName;
  auto db = testing::create(path, 2);
  ASSERT_TRUE(Ok(db->create_text_index("body", "english")));
  for (int i = 0; i < 50; ++i) {
    const std::string body = "word" + std::to_string(i % 7) + " common text " + std::to_string(i);
    json::Value m = json::Value::object();
    m["body"] = body;
    ASSERT_TRUE(Ok(db->add(testing::name("r", i), {1, float(i)}, m)));
  }
  ASSERT_TRUE(Ok(db->save()));
  const std::string old = testing::read_text(file);
  ASSERT_TRUE(Ok(db->update("r3", std::nullopt, md(R"({"body":"entirely new words"})"))));
  ASSERT_TRUE(Ok(db->save()));
  const Answers want = answers(*db);
  db.reset();
  std::string flipped = testing::read_text(file);
  flipped[flipped.size() / 3] ^= 1;
  for (const std::string& bytes : {old, flipped}) {
    testing::write_text(file, bytes);
    auto reopened = testing::reopen(path);
    ASSERT_NE(reopened, nullptr);
    expect_sound(*reopened, "reopened");
    TextSearchOptions o;
    o.k = 5;
    EXPECT_EQ(value(reopened->search_text("entirely", o)).size(), 1u);
  }
}

TEST(TextCollectionTest, DefinitionsPersistAndBadRequestsAreRefused) {
  TempDir tmp;
  const fs::path path = tmp.path() / "c";
  auto db = testing::create(path, 2);
  ASSERT_TRUE(Ok(db->add("a", {1, 0}, md(R"({"body":"hello world","title":"hi"})"))));
  TextSearchOptions none;
  EXPECT_TRUE(Fails(db->search_text("hello", none), ErrorKind::InvalidArgument));
  ASSERT_TRUE(Ok(db->create_text_index("body", "english")));
  ASSERT_TRUE(Ok(db->create_text_index("body", "english")));  // the same again: nothing
  EXPECT_EQ(value(db->search_text("hello", none)).size(), 1u);
  ASSERT_TRUE(Ok(db->create_text_index("title", std::nullopt)));
  TextSearchOptions unknown;
  unknown.field = "nope";
  const std::vector<std::pair<std::string, Result<std::vector<SearchResult>>>> searches = {
      {"several indexes, none named", db->search_text("hello", none)},
      {"unknown field", db->search_text("hello", unknown)},
  };
  for (const auto& [what, r] : searches) {
    SCOPED_TRACE(what);
    EXPECT_TRUE(Fails(r, ErrorKind::InvalidArgument));
  }
  auto relanguage = db->create_text_index("body", "french");
  ASSERT_TRUE(Fails(relanguage, ErrorKind::InvalidArgument));
  EXPECT_EQ(relanguage.error().to_string(),
            "field 'body' has a text index with language 'english': drop it first");
  EXPECT_TRUE(Fails(db->create_text_index("x", "klingon"), ErrorKind::InvalidArgument));

  const std::vector<text::TextIndexSpec> both = {{"body", "english"}, {"title", std::nullopt}};
  EXPECT_EQ(db->text_indexes(), both);
  db = testing::create(path, 2);  // never saved: the definitions come back with the log
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->text_indexes(), both);
  EXPECT_FALSE(value(db->drop_text_index("nope")));
  EXPECT_TRUE(value(db->drop_text_index("title")));
  EXPECT_EQ(value(db->search_text("hello", none)).size(), 1u);
  ASSERT_TRUE(Ok(db->save()));
  db = testing::reopen(path);
  EXPECT_EQ(db->text_indexes(), std::vector<text::TextIndexSpec>{both[0]});
  EXPECT_TRUE(value(db->drop_text_index("body")));
  EXPECT_FALSE(fs::exists(path / text::kTextIndexFileName));

  // A side file that does not read leaves the collection open, without text indexes, and
  // verify says why.
  testing::write_text(path / text::kTextIndexFileName, "{not json");
  db = testing::reopen(path);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(db->text_indexes().empty());
  EXPECT_TRUE(testing::mentions(db->verify().problems, "text_indexes.json: not a JSON object"));
}

std::atomic<int> rename_faults{0};
int fail_renames(io::FileOp op, const char*) {
  const bool target = op == io::FileOp::Rename || op == io::FileOp::Unlink;
  return target && rename_faults.fetch_sub(1) > 0 ? EIO : 0;
}

TEST(TextCollectionTest, AFailedDefinitionWriteChangesNothing) {
  TempDir tmp;
  const fs::path path = tmp.path() / "c";
  auto db = testing::create(path, 2);
  ASSERT_TRUE(Ok(db->add("a", {1, 0}, md(R"({"body":"hello"})"))));
  ASSERT_TRUE(Ok(db->create_text_index("body", std::nullopt)));
  io::set_fault_hook(fail_renames);
  rename_faults = 1;
  EXPECT_TRUE(Fails(db->create_text_index("title", std::nullopt), ErrorKind::Io));
  rename_faults = 1;
  EXPECT_TRUE(Fails(db->drop_text_index("body"), ErrorKind::Io));
  io::set_fault_hook(nullptr);
  EXPECT_EQ(db->text_indexes(), (std::vector<text::TextIndexSpec>{{"body", std::nullopt}}));
  EXPECT_EQ(value(text::read_specs(path)), db->text_indexes());
  EXPECT_FALSE(fs::exists(path / "text_indexes.tmp"));
}

// A collection of texts over a few words with a number and a group, for filters.
std::shared_ptr<Database> filled(const fs::path& path, int n) {
  auto db = testing::create(path, 4);
  std::mt19937 rng(5);
  const char* words[] = {"red", "green", "blue", "fast", "slow", "car", "bike", "road", "the"};
  std::vector<Record> items;
  for (int i = 0; i < n; ++i) {
    std::string text;
    for (unsigned w = 0; w < 2 + rng() % 8; ++w) text += std::string(words[rng() % 9]) + " ";
    json::Value m = json::Value::object();
    m["text"] = text;
    m["group"] = static_cast<int>(rng() % 5);
    m["n"] = static_cast<int>(i);
    std::vector<float> v(4);
    for (auto& x : v) x = std::uniform_real_distribution<float>(-1, 1)(rng);
    items.push_back(Record{testing::name("d", i), v, m});
  }
  EXPECT_TRUE(Ok(db->add_many(std::move(items))));
  EXPECT_TRUE(Ok(db->create_text_index("text", "english")));
  return db;
}

// A filtered text search answers the unfiltered ranking with the records that fail the filter
// left out, whichever way the filter is resolved.
TEST(TextSearchTest, AFilterKeepsTheRankingOfTheRecordsItPasses) {
  TempDir tmp;
  auto db = filled(tmp.path() / "c", 300);
  const std::vector<Filter> filters = {
      Filter::eq("group", json::Value(2)),
      Filter::in("group", {json::Value(1), json::Value(4)}),
      Filter::ne("group", json::Value(0)),
      Filter::lt("n", 40),
      Filter::all_of({Filter::eq("group", json::Value(3)), Filter::gte("n", 100)}),
      Filter::eq("n", json::Value(7)),
  };
  for (const char* q : {"red", "fast car -bike", "\"slow road\"", "+blue +green", "the"}) {
    TextSearchOptions all;
    all.k = 1000;
    const auto full = value(db->search_text(q, all));
    for (std::size_t f = 0; f < filters.size(); ++f) {
      for (std::size_t k : {3, 10, 100}) {
        SCOPED_TRACE(std::string(q) + " filter " + std::to_string(f) + " k " + std::to_string(k));
        std::vector<std::string> want;
        for (const auto& hit : full) {
          if (want.size() < k && filters[f].matches(hit.metadata)) want.push_back(hit.id);
        }
        TextSearchOptions o;
        o.k = k;
        o.filter = &filters[f];
        std::vector<std::string> got;
        for (const auto& hit : value(db->search_text(q, o))) got.push_back(hit.id);
        EXPECT_EQ(got, want);
      }
    }
  }
}

TEST(HybridSearchTest, FusesBothRankingsByReciprocalRankAndIsCompleteUnderAFilter) {
  TempDir tmp;
  auto db = filled(tmp.path() / "c", 400);
  std::mt19937 rng(9);
  const Filter group = Filter::eq("group", json::Value(1));
  const Filter few = Filter::lt("n", 6);
  for (int i = 0; i < 20; ++i) {
    std::vector<float> q(4);
    for (auto& x : q) x = std::uniform_real_distribution<float>(-1, 1)(rng);
    const char* text = i % 2 ? "red car" : "\"fast bike\" -slow";
    for (const Filter* filter : {static_cast<const Filter*>(nullptr), &group, &few}) {
      HybridSearchOptions o;
      o.k = 10;
      o.filter = filter;
      o.rank_constant = 30;
      o.vector_weight = 2.0;
      // The model: the two rankings at their depth, fused.
      SearchOptions so = testing::nearest(kHybridDepth);
      so.filter = filter;
      TextSearchOptions to;
      to.k = kHybridDepth;
      to.filter = filter;
      std::map<std::string, double> fused;
      const auto near = value(db->search(q, so));
      const auto hits = value(db->search_text(text, to));
      for (std::size_t r = 0; r < near.size(); ++r) fused[near[r].id] += 2.0 / (30.0 + r + 1);
      for (std::size_t r = 0; r < hits.size(); ++r) fused[hits[r].id] += 1.0 / (30.0 + r + 1);
      std::vector<std::pair<double, std::string>> want;
      for (const auto& [id, s] : fused) want.emplace_back(s, id);
      std::sort(want.begin(), want.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
      const auto got = value(db->hybrid_search(q, text, o));
      ASSERT_EQ(got.size(), std::min<std::size_t>(10, want.size()));
      if (filter == &few) {
        EXPECT_EQ(got.size(), 6u);  // min(k, records that pass)
      }
      // The model's best scores in order, each carried by a record the model gives it (equal
      // scores may come in either order).
      for (std::size_t j = 0; j < got.size(); ++j) {
        EXPECT_NEAR(-got[j].distance, want[j].first, 1e-6);
        EXPECT_NEAR(-got[j].distance, fused[got[j].id], 1e-6) << got[j].id;
      }
    }
  }
  EXPECT_TRUE(Fails(db->hybrid_search(std::vector<float>{1, 2}, "red", {}),
                    ErrorKind::DimensionMismatch));
}

// Text searches, hybrid searches and text index definitions while other threads change the
// records: every search sees whole changes, and the indexes end equal to ones built afresh.
TEST(TextConcurrentTest, SearchesDuringChangesAndDefinitions) {
  TempDir tmp;
  auto db = filled(tmp.path() / "c", 200);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        TextSearchOptions o;
        o.field = "text";
        if (!db->search_text("red \"fast car\"", o)) ++failures;
        HybridSearchOptions h;
        h.field = "text";
        if (!db->hybrid_search(std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f}, "blue", h)) ++failures;
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 30 && !stop; ++i) {
      if (!db->create_text_index("other", std::nullopt)) ++failures;
      if (!db->drop_text_index("other")) ++failures;
    }
  });
  std::mt19937 rng(1);
  for (int i = 0; i < 300; ++i) {
    const std::string id = testing::name("d", rng() % 250);
    json::Value m = json::Value::object();
    m["text"] = i % 2 ? "red fast car" : "blue bike";
    if (rng() % 3 == 0) {
      (void)db->remove(id);
    } else if (!db->upsert(id, {0.5f, 0.5f, 0.5f, float(i)}, m)) {
      ++failures;
    }
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  expect_sound(*db, "after the threads");
}

}  // namespace
}  // namespace quarn_core::db
