#include "quarn_core/export.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <fstream>
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
using testing::TempDir;

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

std::unique_ptr<db::Database> make_db(const fs::path& path, std::size_t dim,
                                      Metric metric = Metric::Cosine) {
  auto db = db::Database::open_or_create_with_config(path, dim, metric, {});
  EXPECT_TRUE(db.has_value());
  return std::move(*db);
}

json::Value meta(std::string_view text) { return *json::parse(text); }

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

constexpr const char* kPretty = R"({
  "version": 1,
  "dim": 2,
  "metric": "cosine",
  "vectors": [
    {
      "id": "a",
      "vector": [
        1.0,
        0.5
      ]
    },
    {
      "id": "b",
      "vector": [
        0.0,
        2.0
      ],
      "metadata": {
        "k": 1
      }
    }
  ]
})";

TEST(ExportWriteTest, WorkedExampleBothForms) {
  EXPECT_EQ(to_document(worked_example(), false), kCompact);
  EXPECT_EQ(to_document(worked_example(), true), kPretty);
}

TEST(ExportWriteTest, NestedPrettyMetadataAndNumberLayout) {
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
  EXPECT_EQ(to_document(doc, true), R"({
  "version": 1,
  "dim": 5,
  "metric": "euclidean",
  "vectors": [
    {
      "id": "q\"\n",
      "vector": [
        1e-7,
        0.1,
        2.5e+13,
        1000000000000.0,
        null
      ],
      "metadata": {
        "a": {},
        "s": "\u0001",
        "z": [
          1,
          {
            "b": []
          },
          -25000000000000.0
        ]
      }
    }
  ]
})");
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
  };
  const Case cases[] = {
      // Fields.
      {R"({"dim":2,"metric":"c","vectors":[]})", "missing field `version` at line 1 column 35"},
      {R"({"version":1,"metric":"c","vectors":[]})", "missing field `dim` at line 1 column 39"},
      {R"({"version":1,"dim":2,"vectors":[]})", "missing field `metric` at line 1 column 34"},
      {R"({"version":1,"dim":2,"metric":"c"})", "missing field `vectors` at line 1 column 34"},
      {R"({"version":1,"dim":2,"dim":2,"metric":"c","vectors":[]})",
       "duplicate field `dim` at line 1 column 26"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":[{"vector":[1,2]}]})",
       "missing field `id` at line 1 column 61"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":[{"id":"a"}]})",
       "missing field `vector` at line 1 column 55"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":[{"id":"a","vector":[],"metadata":1,"metadata":2}]})",
       "duplicate field `metadata` at line 1 column 90"},
      // Array forms with the wrong number of values.
      {R"([1,2,"c"])",
       "invalid length 3, expected struct ExportFormat with 4 elements at line 1 column 9"},
      {R"([1,2,"c",[],5])",
       "invalid length 5, expected struct ExportFormat with 4 elements at line 1 column 14"},
      {R"([])",
       "invalid length 0, expected struct ExportFormat with 4 elements at line 1 column 2"},
      {R"([1,2,"c",[["a",[1,2]]]])",
       "invalid length 2, expected struct ExportVector with 3 elements at line 1 column 21"},
      // Wrong types and values.
      {R"({"version":"x"})", R"(invalid type: string "x", expected u32 at line 1 column 14)"},
      {R"({"version":-1})", "invalid value: integer `-1`, expected u32 at line 1 column 13"},
      {R"({"version":4294967296})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 21"},
      {R"({"version":1.5})",
       "invalid type: floating point `1.5`, expected u32 at line 1 column 14"},
      {R"({"version":1e2})",
       "invalid type: floating point `100.0`, expected u32 at line 1 column 14"},
      {R"({"version":1,"dim":-1})",
       "invalid value: integer `-1`, expected usize at line 1 column 21"},
      {R"({"version":1,"dim":true})",
       "invalid type: boolean `true`, expected usize at line 1 column 23"},
      {R"({"version":1,"dim":2,"metric":5})",
       "invalid type: integer `5`, expected a string at line 1 column 31"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":{}})",
       "invalid type: map, expected a sequence at line 1 column 45"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":[5]})",
       "invalid type: integer `5`, expected struct ExportVector at line 1 column 46"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":[{"id":7}]})",
       "invalid type: integer `7`, expected a string at line 1 column 52"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":[{"id":"a","vector":"v"}]})",
       R"(invalid type: string "v", expected a sequence at line 1 column 67)"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":[{"id":"a","vector":[1,null]}]})",
       "invalid type: null, expected f32 at line 1 column 71"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":[{"id":"a","vector":[[1]]}]})",
       "invalid type: sequence, expected f32 at line 1 column 66"},
      {R"("x\ty")",
       R"(invalid type: string "x\ty", expected struct ExportFormat at line 1 column 6)"},
      // Syntax.
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n", "EOF while parsing a value at line 2 column 0"},
      {R"({"version":1,)", "EOF while parsing a value at line 1 column 13"},
      {R"({"version":1)", "EOF while parsing an object at line 1 column 12"},
      {R"({"version":1,"dim":2,"metric":"cos)", "EOF while parsing a string at line 1 column 34"},
      {R"([1,2,"c",[)", "EOF while parsing a list at line 1 column 10"},
      {R"({"version")", "EOF while parsing an object at line 1 column 10"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":[]} x)",
       "trailing characters at line 1 column 49"},
      {R"({"version":1,"dim":2,"metric":"c","vectors":[]}{})",
       "trailing characters at line 1 column 48"},
      {R"({"version" 1})", "expected `:` at line 1 column 12"},
      {R"({"version":1 "dim":2})", "expected `,` or `}` at line 1 column 14"},
      {R"({"version":1,})", "trailing comma at line 1 column 14"},
      {R"({version:1})", "key must be a string at line 1 column 2"},
      {R"([1,2,"c",[],])", "trailing comma at line 1 column 13"},
      {R"([1 2])", "expected `,` or `]` at line 1 column 4"},
      {R"({"version":01})", "invalid number at line 1 column 13"},
      {R"({"version":-})", "invalid number at line 1 column 13"},
      {R"({"version":1.})", "invalid number at line 1 column 14"},
      {R"({"version":nul})", "expected ident at line 1 column 15"},
      {R"({"version":@})", "expected value at line 1 column 12"},
      {R"({"metric":"a\qb"})", "invalid escape at line 1 column 14"},
      {R"({"metric":"\u12G4"})", "invalid escape at line 1 column 16"},
      {R"({"metric":"\uDC00"})", "invalid unicode code point at line 1 column 17"},
      {"{\"metric\":\"a\x01\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 13"},
      {"{\"metric\":\"a\xff\"}", "invalid unicode code point at line 1 column 13"},
      {R"({"x":1e400})", "number out of range at line 1 column 10"},
      {"{\n  \"version\": 1,\n  \"dim\": \"2\"\n}",
       R"(invalid type: string "2", expected usize at line 3 column 12)"},
      {R"({"skip":[1,{"a":]},"version":1})", "expected value at line 1 column 17"},
      {"{\"x\":" + std::string(200, '[') + std::string(200, ']') + "}",
       "recursion limit exceeded at line 1 column 133"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(reader_error(c.text), std::string("invalid JSON: ") + c.message);
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
  ASSERT_EQ(a.vector.size(), 6u);
  EXPECT_EQ(a.vector[0], 1.0f);
  EXPECT_EQ(a.vector[1], -2.0f);
  EXPECT_EQ(a.vector[2], 0.5f);
  EXPECT_EQ(a.vector[3], std::numeric_limits<float>::infinity());
  EXPECT_EQ(a.vector[4], 0.0f);
  EXPECT_EQ(a.vector[5], 0.0f);
  EXPECT_FALSE(a.metadata.has_value());
  const auto& b = doc->vectors[1];
  ASSERT_TRUE(b.metadata.has_value());
  EXPECT_TRUE(json::json_equal(
      *b.metadata,
      meta(R"({"n":-3,"u":18446744073709551615,"f":1.0,"big":1.8446744073709552e19,"k":2})")));
  EXPECT_TRUE((*b.metadata)["n"].is_number_integer());
  EXPECT_TRUE((*b.metadata)["u"].is_number_unsigned());
  EXPECT_TRUE((*b.metadata)["f"].is_number_float());
  EXPECT_TRUE((*b.metadata)["big"].is_number_float());

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
    auto source = make_db(dir.path() / "src", kDim, Metric::Euclidean);
    std::vector<db::Record> records;
    for (int i = 0; i < 60; ++i) {
      db::Record r;
      r.id = "id-" + std::to_string(i) + (i % 7 == 0 ? "\"\\\n\x01é" : "");
      for (std::size_t j = 0; j < kDim; ++j) {
        float f;
        do {
          f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        } while (!std::isfinite(f));
        r.vector.push_back(f);
      }
      if (i % 3 != 0) {
        json::Value m = json::Value::object();
        m["i"] = static_cast<std::int64_t>(i) - 30;
        m["u"] = std::numeric_limits<std::uint64_t>::max() - static_cast<std::uint64_t>(i);
        m["d"] = std::bit_cast<double>((static_cast<std::uint64_t>(rng()) << 32 | rng()) &
                                       0x7fefffffffffffffULL);
        m["tiny"] = 5e-324;
        m["s"] = "t\u00e9xt\t" + std::to_string(i);
        m["list"] = json::Value::array({true, false, nullptr, 1.5, json::Value::object()});
        r.metadata = std::move(m);
      } else if (i % 6 == 0) {
        r.metadata = json::Value("a bare string");
      }
      records.push_back(std::move(r));
    }
    ASSERT_TRUE(source->upsert_many(records).has_value());

    const fs::path file = dir.path() / "out.json";
    auto exported = export_json(*source, file, pretty);
    ASSERT_TRUE(exported.has_value()) << exported.error().message();
    EXPECT_NE(read(file).back(), '\n');

    auto target = make_db(dir.path() / "dst", kDim, Metric::Cosine);
    auto imported = import_json(*target, file);
    ASSERT_TRUE(imported.has_value()) << imported.error().message();
    EXPECT_EQ(target->count(), records.size());
    for (const auto& r : records) {
      SCOPED_TRACE(r.id);
      auto got = target->get(r.id);
      ASSERT_TRUE(got.has_value());
      ASSERT_EQ(got->first.size(), kDim);
      for (std::size_t j = 0; j < kDim; ++j) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got->first[j]),
                  std::bit_cast<std::uint32_t>(r.vector[j]));
      }
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

TEST(ExportFileTest, ExportsTheCollectionAsItIs) {
  TempDir dir;
  auto db = make_db(dir.path() / "c", 2);
  ASSERT_TRUE(db->add("a", {1.0f, 0.5f}, std::nullopt).has_value());
  ASSERT_TRUE(db->add("b", {0.0f, 2.0f}, meta(R"({"k":1})")).has_value());
  auto doc = snapshot(*db);
  ASSERT_TRUE(doc.has_value());
  // The entries come in the collection's own id order; put the expected text in that order.
  const bool a_first = doc->vectors[0].id == "a";
  ExportFormat expected = worked_example();
  if (!a_first) std::swap(expected.vectors[0], expected.vectors[1]);
  for (bool pretty : {false, true}) {
    SCOPED_TRACE(pretty);
    ASSERT_TRUE(export_json(*db, dir.path() / "out.json", pretty).has_value());
    EXPECT_EQ(read(dir.path() / "out.json"), to_document(expected, pretty));
  }
}

TEST(ExportFileTest, EmptyCollectionRoundTrip) {
  TempDir dir;
  auto db = make_db(dir.path() / "c", 3, Metric::DotProduct);
  const fs::path file = dir.path() / "empty.json";
  ASSERT_TRUE(export_json(*db, file, false).has_value());
  EXPECT_EQ(read(file), R"({"version":1,"dim":3,"metric":"dot_product","vectors":[]})");
  auto doc = snapshot(*db);
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ(to_document(*doc, true),
            "{\n  \"version\": 1,\n  \"dim\": 3,\n  \"metric\": \"dot_product\",\n"
            "  \"vectors\": []\n}");
  auto r = import_json(*db, file);
  EXPECT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(db->count(), 0u);
}

TEST(ExportFileTest, ImportUpsertsAndChecksTheDimensionFirst) {
  TempDir dir;
  auto db = make_db(dir.path() / "c", 4);
  ASSERT_TRUE(db->add("keep", {1, 1, 1, 1}, meta(R"({"v":0})")).has_value());

  const fs::path wrong = dir.path() / "dim3.json";
  write(
      wrong,
      R"({"version":1,"dim":3,"metric":"cosine","vectors":[{"id":"keep","vector":[2,2,2]},{"id":"x","vector":[1,2,3]}]})");
  auto mismatch = import_json(*db, wrong);
  ASSERT_FALSE(mismatch.has_value());
  EXPECT_EQ(mismatch.error().message(), "dimension mismatch: expected 4, got 3");
  EXPECT_EQ(db->count(), 1u);
  EXPECT_EQ(db->get("keep")->first, (std::vector<float>{1, 1, 1, 1}));

  // Another metric and version are taken as they come; existing ids are replaced.
  const fs::path good = dir.path() / "good.json";
  write(
      good,
      R"({"version":7,"dim":4,"metric":"dot_product","vectors":[{"id":"keep","vector":[2,2,2,2]},{"id":"new","vector":[1,2,3,4],"metadata":{"k":"v"}}]})");
  auto ok = import_json(*db, good);
  ASSERT_TRUE(ok.has_value()) << ok.error().message();
  EXPECT_EQ(db->count(), 2u);
  auto keep = db->get("keep");
  EXPECT_EQ(keep->first, (std::vector<float>{2, 2, 2, 2}));
  EXPECT_FALSE(keep->second.has_value());  // no metadata in the document: none kept
  EXPECT_TRUE(json::json_equal(*db->get("new")->second, meta(R"({"k":"v"})")));

  // An entry of the wrong length is the batch's own error.
  const fs::path short_vector = dir.path() / "short.json";
  write(short_vector,
        R"({"version":1,"dim":4,"metric":"cosine","vectors":[{"id":"s","vector":[1,2]}]})");
  auto bad = import_json(*db, short_vector);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().message(), "dimension mismatch: expected 4, got 2");
  EXPECT_FALSE(db->contains("s"));

  const fs::path cut = dir.path() / "cut.json";
  write(cut, std::string(
                 R"({"version":1,"dim":4,"metric":"cosine","vectors":[{"id":"z","vector":[1,2)"));
  auto truncated = import_json(*db, cut);
  ASSERT_FALSE(truncated.has_value());
  EXPECT_EQ(truncated.error().message(),
            "corrupt data: invalid JSON: EOF while parsing a list at line 1 column 73");
  EXPECT_FALSE(db->contains("z"));
}

TEST(ExportFileTest, FileErrors) {
  TempDir dir;
  auto db = make_db(dir.path() / "c", 2);
  ASSERT_TRUE(db->add("a", {1, 2}, std::nullopt).has_value());

  // The file cannot be created or opened: the platform's own text, no prefix.
  auto create = export_json(*db, dir.path() / "missing" / "out.json", false);
  ASSERT_FALSE(create.has_value());
  EXPECT_TRUE(create.error().opening);
  EXPECT_EQ(create.error().message(), "No such file or directory (os error 2)");
  auto open = import_json(*db, dir.path() / "missing.json");
  ASSERT_FALSE(open.has_value());
  EXPECT_TRUE(open.error().opening);
  EXPECT_EQ(open.error().message(), "No such file or directory (os error 2)");

  // Opened but not readable as a document.
  auto directory = import_json(*db, dir.path());
  ASSERT_FALSE(directory.has_value());
  EXPECT_FALSE(directory.error().opening);
  EXPECT_EQ(directory.error().message(),
            "corrupt data: invalid JSON: Is a directory (os error 21)");

  // A failing write, the last buffered bytes included, keeps its prefix.
  if (fs::exists("/dev/full")) {
    auto full = export_json(*db, "/dev/full", true);
    ASSERT_FALSE(full.has_value());
    EXPECT_FALSE(full.error().opening);
    EXPECT_EQ(full.error().message(), "io error: No space left on device (os error 28)");
  }
}

}  // namespace
}  // namespace quarn_core::export_
