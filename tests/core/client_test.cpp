#include "quarn_core/client.hpp"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "testutil.hpp"

namespace quarn_core::client {
namespace {

namespace fs = std::filesystem;
using distance::Metric;
using error::ErrorKind;
using testing::Fails;
using testing::Ok;
using testing::TempDir;

constexpr const char* kEmpty = "name cannot be empty";
constexpr const char* kSeparator = "name cannot contain path separators or be '.' or '..'";
constexpr const char* kAlnum = "name must be alphanumeric, hyphens, or underscores";

void touch(const fs::path& p) { testing::write_text(p, "x"); }

// A directory holding a graph file: what the listing counts as a collection.
void fake_collection(const fs::path& dir) {
  fs::create_directory(dir);
  touch(dir / "graph.quarn");
}

// What a call came to: its error's display text, or "ok" ("true" or "false" for a bool).
template <class T>
std::string outcome(const Result<T>& r) {
  if (!r) return r.error().to_string();
  if constexpr (std::is_same_v<T, bool>) return *r ? "true" : "false";
  return "ok";
}

TEST(ValidateNameTest, ChecksInOrder) {
  // Letters and numbers of any script (² is No, Ⅻ Nl, ٣ Nd), hyphens and underscores.
  for (const char* name : {"my-coll_1", "é", "名", "²", "Ⅻ", "٣", "Привет"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(validate_name(name).has_value());
  }
  const std::pair<const char*, std::vector<std::string>> rejected[] = {
      {kEmpty, {""}},
      // "a b/c+": the separator is reported before the bad characters.
      {kSeparator, {"a/b", "a\\b", ".", "..", "a b/c+", "/"}},
      // A symbol, a no-break space, bytes that are not UTF-8 (a stray byte, a cut character,
      // an encoded surrogate, an overlong '.').
      {kAlnum,
       {"...", "a.b", " ", "+", "a\tb", std::string("a\0b", 3), "🙂", "\xC2\xA0", "\xff", "a\xC3",
        "\xED\xA0\x80", "\xC0\xAE"}},
  };
  for (const auto& [reason, names] : rejected) {
    for (const auto& name : names) {
      SCOPED_TRACE(name);
      auto r = validate_name(name);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidName);
      EXPECT_EQ(r.error().to_string(), std::string("invalid collection name: ") + reason);
    }
  }
}

TEST(ClientTest, EnsureRootCreatesParentsAndRejectsAFile) {
  TempDir dir;
  EXPECT_EQ(outcome(ensure_root(dir.path() / "x" / "y")), "ok");
  EXPECT_TRUE(fs::is_directory(dir.path() / "x" / "y"));
  EXPECT_EQ(outcome(ensure_root(dir.path() / "x" / "y")), "ok");
  touch(dir.path() / "file");
  EXPECT_TRUE(Fails(ensure_root(dir.path() / "file"), ErrorKind::Io));
}

TEST(ClientTest, ListsOnlyDirectoriesHoldingAGraphInByteOrder) {
  TempDir dir;
  const fs::path& root = dir.path();
  for (const char* name : {"a", "B", "_z", "é", "Ａ", "𐐀"}) fake_collection(root / name);
  touch(root / "plain");                                    // a file
  fs::create_directory(root / "nograph");                   // no graph file
  fs::create_directory_symlink(root / "a", root / "link");  // a link to a collection
  fs::create_directory(root / "linkedgraph");               // the graph file itself is a link
  touch(root / "target");
  fs::create_symlink(root / "target", root / "linkedgraph" / "graph.quarn");
  fs::create_directory(root / "dangling");  // the graph link leads nowhere
  fs::create_symlink(root / "missing", root / "dangling" / "graph.quarn");
  fake_collection(root / "\xff");  // not UTF-8
  fake_collection(root / "a.b");   // listed even though it is not a valid name

  auto names = list_collections(root);
  ASSERT_TRUE(names.has_value());
  // Byte order: U+FF21 before U+10400, unlike UTF-16 order.
  const std::vector<std::string> expected = {"B", "_z", "a", "a.b", "linkedgraph", "é", "Ａ", "𐐀"};
  EXPECT_EQ(*names, expected);
  EXPECT_EQ(outcome(list_collections(root / "nowhere")),
            "io error: No such file or directory (os error 2)");
}

TEST(ClientTest, CreateRefusesAnythingAlreadyThere) {
  TempDir dir;
  const fs::path& root = dir.path();
  touch(root / "file");
  fs::create_directory(root / "empty");
  fs::create_symlink(root / "nowhere", root / "dangling");
  for (const char* name : {"file", "empty", "dangling"}) {
    EXPECT_EQ(outcome(create_collection(root, name, 4, Metric::Cosine, {})),
              std::string("collection '") + name + "' already exists");
  }
  EXPECT_EQ(testing::read_text(root / "file"), "x");
  EXPECT_TRUE(fs::is_empty(root / "empty"));
  EXPECT_FALSE(fs::exists(root / "nowhere"));

  EXPECT_TRUE(Fails(create_collection(root, "a/b", 4, Metric::Cosine, {}), ErrorKind::InvalidName));
  EXPECT_FALSE(fs::exists(root / "a"));
}

TEST(ClientTest, CollectionLifecycle) {
  TempDir dir;
  const fs::path& root = dir.path();
  {
    auto db = create_collection(root, "docs", 4, Metric::Euclidean,
                                {.m = 8, .ef_construction = 50, .quantize = false});
    ASSERT_TRUE(Ok(db));
    ASSERT_TRUE(Ok((*db)->add("x", {1, 2, 3, 4}, std::nullopt)));

    // Saved when created: it lists, opens (as the same object) and is taken at once.
    EXPECT_EQ(*list_collections(root), std::vector<std::string>{"docs"});
    auto same = get_collection(root, "docs");
    ASSERT_TRUE(Ok(same));
    EXPECT_EQ(same->get(), db->get());
    EXPECT_TRUE(
        Fails(create_collection(root, "docs", 4, Metric::Cosine, {}), ErrorKind::CollectionExists));
  }
  EXPECT_EQ(*list_collections(root), std::vector<std::string>{"docs"});

  auto got = get_collection(root, "docs");
  ASSERT_TRUE(Ok(got));
  EXPECT_EQ((*got)->dim(), 4u);
  EXPECT_EQ((*got)->metric(), Metric::Euclidean);
  EXPECT_TRUE((*got)->contains("x"));

  // The stored dimension and metric win over the ones asked for.
  auto same = get_or_create_collection(root, "docs", 8, Metric::DotProduct);
  ASSERT_TRUE(Ok(same));
  EXPECT_EQ((*same)->dim(), 4u);
  EXPECT_EQ((*same)->metric(), Metric::Euclidean);

  auto fresh = get_or_create_collection(root, "new", 3, Metric::DotProduct);
  ASSERT_TRUE(Ok(fresh));
  EXPECT_EQ((*fresh)->dim(), 3u);
  EXPECT_TRUE(fs::is_directory(root / "new"));

  EXPECT_TRUE(Fails(get_collection(root, ".."), ErrorKind::InvalidName));
  EXPECT_TRUE(Fails(get_or_create_collection(root, "", 3, Metric::Cosine), ErrorKind::InvalidName));
  EXPECT_FALSE(get_collection(root, "absent").has_value());
  EXPECT_FALSE(fs::exists(root / "absent"));  // a failed get leaves nothing behind

  // Deleted under a live handle: the handle reads what it had, and its next change or save
  // fails rather than write into a directory created again under the name.
  EXPECT_EQ(outcome(delete_collection(root, "docs")), "true");
  EXPECT_FALSE(fs::exists(root / "docs"));
  EXPECT_EQ(*list_collections(root), std::vector<std::string>{"new"});
  ASSERT_TRUE(Ok(create_collection(root, "docs", 4, Metric::Cosine, {})));
  const std::string deleted = "io error: collection '" + (root / "docs").string() + "' was deleted";
  EXPECT_EQ(outcome((*got)->add("y", {1, 2, 3, 4}, std::nullopt)), deleted);
  EXPECT_EQ(outcome((*same)->save()), deleted);
  EXPECT_TRUE((*got)->contains("x"));
  EXPECT_FALSE((*get_collection(root, "docs"))->contains("x"));
}

TEST(ClientTest, DeleteRemovesOnlyDirectoriesAndLinks) {
  TempDir dir;
  const fs::path& root = dir.path();
  EXPECT_EQ(outcome(delete_collection(root, "nothing")), "false");

  touch(root / "file");
  EXPECT_EQ(outcome(delete_collection(root, "file")), "io error: Not a directory (os error 20)");
  EXPECT_EQ(testing::read_text(root / "file"), "x");

  // A link goes, what it points to stays.
  fake_collection(root / "real");
  fs::create_directory_symlink(root / "real", root / "alias");
  EXPECT_EQ(outcome(delete_collection(root, "alias")), "true");
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "alias")));
  EXPECT_TRUE(fs::exists(root / "real" / "graph.quarn"));

  fs::create_directories(root / "nested" / "deep");
  touch(root / "nested" / "deep" / "f");
  EXPECT_EQ(outcome(delete_collection(root, "nested")), "true");
  EXPECT_FALSE(fs::exists(root / "nested"));

  EXPECT_TRUE(Fails(delete_collection(root, "a/b"), ErrorKind::InvalidName));
}

}  // namespace
}  // namespace quarn_core::client
