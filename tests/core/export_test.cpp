#include "quarn_core/export.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "testutil.hpp"

namespace quarn_core::export_ {
namespace {

namespace fs = std::filesystem;
using distance::Metric;
using error::ErrorKind;
using testing::create;
using testing::read_text;
using testing::TempDir;

// Writes `text` to dir/in.json, imports it into db and returns the message, or "ok".
std::string import_text(db::Database& db, const fs::path& dir, const std::string& text) {
  testing::write_text(dir / "in.json", text);
  auto r = import_json(db, dir / "in.json");
  return r ? "ok" : r.error().message();
}

json::Value meta(std::string_view text) { return *json::parse(text); }

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
  std::vector<std::uint32_t> out;
  for (float f : v) out.push_back(std::bit_cast<std::uint32_t>(f));
  return out;
}

ExportFormat worked_example() {
  ExportFormat doc;
  doc.dim = 2;
  doc.metric = "cosine";
  doc.vectors.push_back({"a", {1.0f, 0.5f}, std::nullopt});
  doc.vectors.push_back({"b", {0.0f, 2.0f}, meta(R"({"k":1})")});
  return doc;
}

constexpr const char* kCompact =
    R"({"version":1,"dim":2,"metric":"cosine","vectors":[{"id":"a","vector":[1.0,0.5]},)"
    R"({"id":"b","vector":[0.0,2.0],"metadata":{"k":1}}]})";

// The pretty form of this example, nested metadata added, is checked against Python's
// json.dumps(indent=2) in test_export.
TEST(ExportWriteTest, WorkedExampleBothForms) {
  EXPECT_EQ(to_document(worked_example(), false), kCompact);

  // export_json writes the same text, its entries in the collection's own id order.
  TempDir dir;
  auto db = create(dir.path() / "c", 2, Metric::Cosine);
  ASSERT_TRUE(db->add("a", {1.0f, 0.5f}, std::nullopt).has_value());
  ASSERT_TRUE(db->add("b", {0.0f, 2.0f}, meta(R"({"k":1})")).has_value());
  ExportFormat expected = worked_example();
  if (snapshot(*db)->vectors[0].id != "a") std::swap(expected.vectors[0], expected.vectors[1]);
  // Pretty first: the shorter compact text must then replace the file whole.
  for (bool pretty : {true, false}) {
    SCOPED_TRACE(pretty);
    ASSERT_TRUE(export_json(*db, dir.path() / "out.json", pretty).has_value());
    EXPECT_EQ(read_text(dir.path() / "out.json"), to_document(expected, pretty));
  }
}

// Vectors take the f32 layout and metadata the f64 one (the layouts themselves are tabled in
// the json tests; the nested pretty layout is checked against Python's json in test_export).
TEST(ExportWriteTest, NestedMetadataAndNumberLayout) {
  ExportFormat doc;
  doc.dim = 5;
  doc.metric = "euclidean";
  doc.vectors.push_back({"q\"\n",
                         {1e-7f, 0.1f, 2.5e13f, 1e12f, std::nanf("")},
                         meta(R"({"z":[1,{"b":[]},-2.5e13],"a":{},"s":"\u0001"})")});
  EXPECT_EQ(to_document(doc, false),
            R"({"version":1,"dim":5,"metric":"euclidean","vectors":[{"id":"q\"\n",)"
            R"("vector":[1e-7,0.1,2.5e+13,1000000000000.0,null],)"
            R"("metadata":{"a":{},"s":"\u0001","z":[1,{"b":[]},-25000000000000.0]}}]})");
}

// Reads `text` and returns the Corrupt description, or "" when it parsed.
std::string reader_error(std::string_view text) {
  auto doc = parse_document(text);
  if (doc) return "";
  EXPECT_EQ(doc.error().kind(), ErrorKind::Corrupt);
  return doc.error().text();
}

TEST(ExportReadTest, ReaderMessages) {
  struct Case {
    std::string text;
    const char* message;
    int column;
    int line = 1;
  };
  const std::string v = R"({"version":1,"dim":2,"metric":"c","vectors":)";  // 44 bytes
  const Case cases[] = {
      // Fields.
      {R"({"dim":2,"metric":"c","vectors":[]})", "missing field `version`", 35},
      {R"({"version":1,"metric":"c","vectors":[]})", "missing field `dim`", 39},
      {R"({"version":1,"dim":2,"vectors":[]})", "missing field `metric`", 34},
      {R"({"version":1,"dim":2,"metric":"c"})", "missing field `vectors`", 34},
      {R"({"version":1,"dim":2,"dim":2,"metric":"c","vectors":[]})", "duplicate field `dim`", 26},
      {v + R"([{"vector":[1,2]}]})", "missing field `id`", 61},
      {v + R"([{"id":"a"}]})", "missing field `vector`", 55},
      {v + R"([{"id":"a","vector":[],"metadata":1,"metadata":2}]})", "duplicate field `metadata`",
       90},
      // Array forms with the wrong number of values.
      {R"([1,2,"c"])", "invalid length 3, expected struct ExportFormat with 4 elements", 9},
      {R"([1,2,"c",[],5])", "invalid length 5, expected struct ExportFormat with 4 elements", 14},
      {R"([])", "invalid length 0, expected struct ExportFormat with 4 elements", 2},
      {R"([1,2,"c",[["a",[1,2]]]])",
       "invalid length 2, expected struct ExportVector with 3 elements", 21},
      // Wrong types and values.
      {R"({"version":"x"})", R"(invalid type: string "x", expected u32)", 14},
      {R"({"version":-1})", "invalid value: integer `-1`, expected u32", 13},
      {R"({"version":4294967296})", "invalid value: integer `4294967296`, expected u32", 21},
      {R"({"version":1.5})", "invalid type: floating point `1.5`, expected u32", 14},
      {R"({"version":1e2})", "invalid type: floating point `100.0`, expected u32", 14},
      {R"({"version":1,"dim":-1})", "invalid value: integer `-1`, expected usize", 21},
      {R"({"version":1,"dim":true})", "invalid type: boolean `true`, expected usize", 23},
      {R"({"version":1,"dim":2,"metric":5})", "invalid type: integer `5`, expected a string", 31},
      {v + "{}}", "invalid type: map, expected a sequence", 45},
      {v + "[5]}", "invalid type: integer `5`, expected struct ExportVector", 46},
      {v + R"([{"id":7}]})", "invalid type: integer `7`, expected a string", 52},
      {v + R"([{"id":"a","vector":"v"}]})", R"(invalid type: string "v", expected a sequence)", 67},
      {v + R"([{"id":"a","vector":[1,null]}]})", "invalid type: null, expected f32", 71},
      {v + R"([{"id":"a","vector":[[1]]}]})", "invalid type: sequence, expected f32", 66},
      {v + R"([],"text_indexes":{}})", "invalid type: map, expected a sequence", 63},
      {v + R"([],"text_indexes":[{"field":"t"}]})", "missing field `language`", 76},
      {v + R"([],"text_indexes":[{"field":"t","language":5}]})",
       "invalid type: integer `5`, expected a string", 88},
      {R"("x\ty")", R"(invalid type: string "x\ty", expected struct ExportFormat)", 6},
      {"{\n  \"version\": 1,\n  \"dim\": \"2\"\n}", R"(invalid type: string "2", expected usize)",
       12, 3},
      // Syntax.
      {"", "EOF while parsing a value", 0},
      {"  \n", "EOF while parsing a value", 0, 2},
      {R"({"version":1,)", "EOF while parsing a value", 13},
      {R"({"version":1)", "EOF while parsing an object", 12},
      {R"({"version":1,"dim":2,"metric":"cos)", "EOF while parsing a string", 34},
      {R"([1,2,"c",[)", "EOF while parsing a list", 10},
      {R"({"version")", "EOF while parsing an object", 10},
      {v + "[]} x", "trailing characters", 49},
      {v + "[]}{}", "trailing characters", 48},
      {R"({"version" 1})", "expected `:`", 12},
      {R"({"version":1 "dim":2})", "expected `,` or `}`", 14},
      {R"({"version":1,})", "trailing comma", 14},
      {R"({version:1})", "key must be a string", 2},
      {R"([1,2,"c",[],])", "trailing comma", 13},
      {R"([1 2])", "expected `,` or `]`", 4},
      {R"({"version":01})", "invalid number", 13},
      {R"({"version":-})", "invalid number", 13},
      {R"({"version":1.})", "invalid number", 14},
      {R"({"version":nul})", "expected ident", 15},
      {R"({"version":@})", "expected value", 12},
      {R"({"metric":"a\qb"})", "invalid escape", 14},
      {R"({"metric":"\u12G4"})", "invalid escape", 16},
      {R"({"metric":"\uDC00"})", "invalid unicode code point", 17},
      {"{\"metric\":\"a\x01\"}", "control character (\\u0000-\\u001F) found while parsing a string",
       13},
      {"{\"metric\":\"a\xff\"}", "invalid unicode code point", 13},
      {R"({"x":1e400})", "number out of range", 10},
      {R"({"skip":[1,{"a":]},"version":1})", "expected value", 17},
      {"{\"x\":" + std::string(200, '[') + std::string(200, ']') + "}", "recursion limit exceeded",
       133},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(reader_error(c.text), "invalid JSON: " + std::string(c.message) + " at line " +
                                        std::to_string(c.line) + " column " +
                                        std::to_string(c.column));
  }
}

TEST(ExportReadTest, AcceptedForms) {
  // Members in any order, unknown ones (of any shape) skipped, null metadata as none.
  auto doc = parse_document(R"( {"vectors": [{"metadata": null, "extra": {"a": [1, {}]},
      "vector": [1, -2, 0.5, 1e39, 1e-50, -0], "id": "\u00e9\ud83d\ude00"},
      {"id": "b", "vector": [], "metadata": {"n": -3, "u": 18446744073709551615,
      "f": 1.0, "big": 18446744073709551616, "k": 1, "k": 2}}],
      "metric": "dot_product", "ignored": "x", "dim": 6, "version": 4294967295} )");
  ASSERT_TRUE(doc.has_value()) << doc.error().to_string();
  EXPECT_EQ(doc->version, 4294967295u);
  EXPECT_EQ(doc->dim, 6u);
  EXPECT_EQ(doc->metric, "dot_product");
  ASSERT_EQ(doc->vectors.size(), 2u);
  const auto& a = doc->vectors[0];
  EXPECT_EQ(a.id, "é😀");
  EXPECT_EQ(a.vector,
            (std::vector<float>{1, -2, 0.5, std::numeric_limits<float>::infinity(), 0, 0}));
  EXPECT_FALSE(a.metadata.has_value());
  const auto& b = doc->vectors[1].metadata;
  ASSERT_TRUE(b.has_value());
  // Integers stay integers (unsigned past the signed range), 1.0 stays a float.
  EXPECT_EQ(json::to_text(*b),
            R"({"big":1.8446744073709552e+19,"f":1.0,"k":2,"n":-3,"u":18446744073709551615})");

  // The array forms.
  auto arrays =
      parse_document(R"([1, 2, "cosine", [["a", [1, 2], null], ["b", [3, 4], {"k": 1}]]])");
  ASSERT_TRUE(arrays.has_value()) << arrays.error().to_string();
  ASSERT_EQ(arrays->vectors.size(), 2u);
  EXPECT_FALSE(arrays->vectors[0].metadata.has_value());
  EXPECT_TRUE(json::json_equal(*arrays->vectors[1].metadata, meta(R"({"k":1})")));

  // Exactly the limit of nesting is still fine.
  const std::string deep = R"({"version":1,"dim":0,"metric":"c","vectors":[],"x":)" +
                           std::string(127, '[') + std::string(127, ']') + "}";
  EXPECT_TRUE(parse_document(deep).has_value());
}

// Finite floats of every magnitude, and metadata of every kind.
TEST(ExportFileTest, RoundTripIsExact) {
  std::mt19937 rng(7);
  constexpr std::size_t kDim = 16;
  for (bool pretty : {false, true}) {
    SCOPED_TRACE(pretty);
    TempDir dir;
    auto source = create(dir.path() / "src", kDim, Metric::Euclidean);
    std::vector<db::Record> records;
    for (int i = 0; i < 60; ++i) {
      db::Record r{"id-" + std::to_string(i) + (i % 7 == 0 ? "\"\\\n\x01é" : ""), {}, {}};
      while (r.vector.size() < kDim) {
        const float f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (std::isfinite(f)) r.vector.push_back(f);
      }
      if (i % 3 != 0) {
        r.metadata = json::Value{
            {"i", static_cast<std::int64_t>(i) - 30},
            {"u", std::numeric_limits<std::uint64_t>::max() - static_cast<std::uint64_t>(i)},
            {"d", std::bit_cast<double>((static_cast<std::uint64_t>(rng()) << 32 | rng()) &
                                        0x7fefffffffffffffULL)},
            {"tiny", 5e-324},
            {"s", "t\u00e9xt\t" + std::to_string(i)},
            {"list", json::Value::array({true, false, nullptr, 1.5, json::Value::object()})}};
      } else if (i % 6 == 0) {
        r.metadata = json::Value("a bare string");
      }
      records.push_back(std::move(r));
    }
    ASSERT_TRUE(source->upsert_many(records).has_value());

    const fs::path file = dir.path() / "out.json";
    auto exported = export_json(*source, file, pretty);
    ASSERT_TRUE(exported.has_value()) << exported.error().message();
    EXPECT_NE(read_text(file).back(), '\n');

    auto target = create(dir.path() / "dst", kDim, Metric::Cosine);
    auto imported = import_json(*target, file);
    ASSERT_TRUE(imported.has_value()) << imported.error().message();
    EXPECT_EQ(target->count(), records.size());
    for (const auto& r : records) {
      SCOPED_TRACE(r.id);
      auto got = target->get(r.id);
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(bits(got->first), bits(r.vector));
      ASSERT_EQ(got->second.has_value(), r.metadata.has_value());
      if (r.metadata) {
        EXPECT_TRUE(json::json_equal(*got->second, *r.metadata)) << json::to_text(*got->second);
        // Type-sensitive equality does not tell -0.0 from 0.0 nor catch rounding of the
        // last bit; the text does.
        EXPECT_EQ(json::to_text(*got->second), json::to_text(*r.metadata));
      }
    }
  }
}

TEST(ExportFileTest, EmptyCollectionRoundTrip) {
  TempDir dir;
  auto db = create(dir.path() / "c", 3, Metric::DotProduct);
  const fs::path file = dir.path() / "empty.json";
  ASSERT_TRUE(export_json(*db, file, false).has_value());
  EXPECT_EQ(read_text(file), R"({"version":1,"dim":3,"metric":"dot_product","vectors":[]})");
  EXPECT_EQ(to_document(*snapshot(*db), true),
            "{\n  \"version\": 1,\n  \"dim\": 3,\n  \"metric\": \"dot_product\",\n"
            "  \"vectors\": []\n}");
  EXPECT_EQ(import_text(*db, dir.path(), read_text(file)), "ok");
  EXPECT_EQ(db->count(), 0u);
}

TEST(ExportFileTest, ImportUpsertsAndChecksTheDimensionFirst) {
  TempDir dir;
  auto db = create(dir.path() / "c", 4, Metric::Cosine);
  ASSERT_TRUE(db->add("keep", {1, 1, 1, 1}, meta(R"({"v":0})")).has_value());
  auto import = [&](const std::string& head, const std::string& vectors) {
    return import_text(*db, dir.path(), head + R"(,"vectors":[)" + vectors);
  };
  const std::string dim4 = R"({"version":1,"dim":4,"metric":"cosine")";

  EXPECT_EQ(import(R"({"version":1,"dim":3,"metric":"cosine")",
                   R"({"id":"keep","vector":[2,2,2]},{"id":"x","vector":[1,2,3]}]})"),
            "dimension mismatch: expected 4, got 3");
  EXPECT_EQ(db->count(), 1u);
  EXPECT_EQ(db->get("keep")->first, (std::vector<float>{1, 1, 1, 1}));

  // Another metric and version are taken as they come; existing ids are replaced. Entries
  // may take the array form inside the object form.
  ASSERT_EQ(import(R"({"version":7,"dim":4,"metric":"dot_product")",
                   R"({"id":"keep","vector":[2,2,2,2]},)"
                   R"({"id":"new","vector":[1,2,3,4],"metadata":{"k":"v"}},)"
                   R"(["arr",[4,3,2,1],{"a":1}]]})"),
            "ok");
  EXPECT_EQ(db->metric(), Metric::Cosine);
  EXPECT_EQ(db->count(), 3u);
  EXPECT_EQ(testing::text(db->get("arr")->second), R"({"a":1})");
  auto keep = db->get("keep");
  EXPECT_EQ(keep->first, (std::vector<float>{2, 2, 2, 2}));
  EXPECT_FALSE(keep->second.has_value());  // no metadata in the document: none kept
  EXPECT_TRUE(json::json_equal(*db->get("new")->second, meta(R"({"k":"v"})")));

  // An entry of the wrong length is the batch's own error.
  EXPECT_EQ(import(dim4, R"({"id":"s","vector":[1,2]}]})"),
            "dimension mismatch: expected 4, got 2");
  EXPECT_FALSE(db->contains("s"));
  EXPECT_EQ(import(dim4, R"({"id":"z","vector":[1,2)"),
            "corrupt data: invalid JSON: EOF while parsing a list at line 1 column 73");
  EXPECT_FALSE(db->contains("z"));
  // A number too large for a float reads as infinity, which is never stored.
  EXPECT_EQ(import(dim4, R"({"id":"i","vector":[1,2,3,4]},{"id":"o","vector":[1,1e39,1,1]}]})"),
            "corrupt data: vector of id 'o' has a non-finite component at index 1");
  EXPECT_FALSE(db->contains("i"));
  // What an import upserts is logged: a reopen replays it.
  const auto imported = testing::records_of(*db);
  db.reset();
  EXPECT_EQ(testing::records_of(*create(dir.path() / "c", 4, Metric::Cosine)), imported);
}

TEST(ExportFileTest, FileErrors) {
  TempDir dir;
  auto db = create(dir.path() / "c", 2, Metric::Cosine);
  ASSERT_TRUE(db->add("a", {1, 2}, std::nullopt).has_value());

  auto expect_failure = [](const auto& r, bool opening, const std::string& message) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().opening, opening);
    EXPECT_EQ(r.error().message(), message);
  };
  // The file cannot be created or opened: the platform's own text, no prefix.
  expect_failure(export_json(*db, dir.path() / "missing" / "out.json", false), true,
                 "No such file or directory (os error 2)");
  expect_failure(import_json(*db, dir.path() / "missing.json"), true,
                 "No such file or directory (os error 2)");
  // Opened but not readable as a document.
  expect_failure(import_json(*db, dir.path()), false,
                 "corrupt data: invalid JSON: Is a directory (os error 21)");
  // A failing write, the last buffered bytes included, keeps its prefix.
  if (fs::exists("/dev/full")) {
    expect_failure(export_json(*db, "/dev/full", true), false,
                   "io error: No space left on device (os error 28)");
  }
}

}  // namespace
}  // namespace quarn_core::export_
