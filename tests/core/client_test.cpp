#include "quarn_core/client.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "testutil.hpp"

namespace quarn_core::client {
namespace {

namespace fs = std::filesystem;
using distance::Metric;
using error::ErrorKind;
using testing::TempDir;

constexpr const char* kEmpty = "name cannot be empty";
constexpr const char* kSeparator = "name cannot contain path separators or be '.' or '..'";
constexpr const char* kAlnum = "name must be alphanumeric, hyphens, or underscores";

void touch(const fs::path& p) { std::ofstream(p) << "x"; }

std::string read(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ValidateNameTest, ChecksInOrder) {
  struct Case {
    std::string name;
    const char* reason;  // nullptr: accepted
  };
  const Case cases[] = {
      {"", kEmpty},
      {"a/b", kSeparator},
      {"a\\b", kSeparator},
      {".", kSeparator},
      {"..", kSeparator},
      {"a b/c+", kSeparator},  // the separator is reported before the bad characters
      {"/", kSeparator},
      {"my-coll_1", nullptr},
      {"é", nullptr},
      {"名", nullptr},
      {"²", nullptr},  // No
      {"Ⅻ", nullptr},  // Nl
      {"٣", nullptr},  // Nd, Arabic-Indic three
      {"Привет", nullptr},
      {"...", kAlnum},
      {"a.b", kAlnum},
      {" ", kAlnum},
      {"+", kAlnum},
      {"a\tb", kAlnum},
      {std::string("a\0b", 3), kAlnum},
      {"🙂", kAlnum},          // a symbol, not a letter
      {"\xC2\xA0", kAlnum},      // no-break space
      {"\xff", kAlnum},          // not UTF-8
      {"a\xC3", kAlnum},         // cut inside a character
      {"\xED\xA0\x80", kAlnum},  // an encoded surrogate
      {"\xC0\xAE", kAlnum},      // overlong '.'
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = validate_name(c.name);
    if (c.reason == nullptr) {
      EXPECT_TRUE(r.has_value());
      continue;
    }
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidName);
    EXPECT_EQ(r.error().to_string(), std::string("invalid collection name: ") + c.reason);
  }
}

TEST(ClientTest, EnsureRootCreatesParentsAndRejectsAFile) {
  TempDir dir;
  EXPECT_TRUE(ensure_root(dir.path() / "x" / "y").has_value());
  EXPECT_TRUE(fs::is_directory(dir.path() / "x" / "y"));
  EXPECT_TRUE(ensure_root(dir.path() / "x" / "y").has_value());

  touch(dir.path() / "file");
  auto r = ensure_root(dir.path() / "file");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
}

TEST(ClientTest, ListsOnlyDirectoriesHoldingAGraphInByteOrder) {
  TempDir dir;
  const fs::path& root = dir.path();
  for (const char* name : {"a", "B", "_z", "é"}) {
    fs::create_directory(root / name);
    touch(root / name / "graph.quarn");
  }
  touch(root / "plain");                                    // a file
  fs::create_directory(root / "nograph");                   // no graph file
  fs::create_directory_symlink(root / "a", root / "link");  // a link to a collection
  fs::create_directory(root / "linkedgraph");               // the graph file itself is a link
  touch(root / "target");
  fs::create_symlink(root / "target", root / "linkedgraph" / "graph.quarn");
  fs::create_directory(root / "dangling");  // the graph link leads nowhere
  fs::create_symlink(root / "missing", root / "dangling" / "graph.quarn");
  fs::create_directory(root / "\xff");  // not UTF-8
  touch(root / "\xff" / "graph.quarn");
  fs::create_directory(root / "a.b");  // listed even though it is not a valid name
  touch(root / "a.b" / "graph.quarn");

  auto names = list_collections(root);
  ASSERT_TRUE(names.has_value());
  const std::vector<std::string> expected = {"B", "_z", "a", "a.b", "linkedgraph", "é"};
  EXPECT_EQ(*names, expected);

  auto missing = list_collections(root / "nowhere");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().to_string(), "io error: No such file or directory (os error 2)");
}

TEST(ClientTest, CreateRefusesAnythingAlreadyThere) {
  TempDir dir;
  const fs::path& root = dir.path();
  touch(root / "file");
  fs::create_directory(root / "empty");
  fs::create_symlink(root / "nowhere", root / "dangling");
  for (const char* name : {"file", "empty", "dangling"}) {
    SCOPED_TRACE(name);
    auto r = create_collection(root, name, 4, Metric::Cosine, {});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), std::string("collection '") + name + "' already exists");
  }
  EXPECT_EQ(read(root / "file"), "x");
  EXPECT_TRUE(fs::is_empty(root / "empty"));
  EXPECT_FALSE(fs::exists(root / "nowhere"));

  auto bad = create_collection(root, "a/b", 4, Metric::Cosine, {});
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind(), ErrorKind::InvalidName);
  EXPECT_FALSE(fs::exists(root / "a"));
}

TEST(ClientTest, CollectionLifecycle) {
  TempDir dir;
  const fs::path& root = dir.path();
  {
    auto db = create_collection(root, "docs", 4, Metric::Euclidean,
                                {.m = 8, .ef_construction = 50, .quantize = false});
    ASSERT_TRUE(db.has_value()) << db.error().to_string();
    ASSERT_TRUE((*db)->add("x", {1, 2, 3, 4}, std::nullopt).has_value());

    // Not saved yet: only a directory, which neither lists nor opens but is taken.
    EXPECT_TRUE(list_collections(root)->empty());
    auto early = get_collection(root, "docs");
    ASSERT_FALSE(early.has_value());
    EXPECT_EQ(early.error().to_string(),
              "database not found at '" + (root / "docs").string() + "'");
    EXPECT_EQ(create_collection(root, "docs", 4, Metric::Cosine, {}).error().kind(),
              ErrorKind::CollectionExists);

    ASSERT_TRUE((*db)->save().has_value());
  }
  EXPECT_EQ(*list_collections(root), std::vector<std::string>{"docs"});

  auto got = get_collection(root, "docs");
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ((*got)->dim(), 4u);
  EXPECT_EQ((*got)->metric(), Metric::Euclidean);
  EXPECT_TRUE((*got)->contains("x"));

  // The stored dimension and metric win over the ones asked for.
  auto same = get_or_create_collection(root, "docs", 8, Metric::DotProduct);
  ASSERT_TRUE(same.has_value());
  EXPECT_EQ((*same)->dim(), 4u);
  EXPECT_EQ((*same)->metric(), Metric::Euclidean);

  auto fresh = get_or_create_collection(root, "new", 3, Metric::DotProduct);
  ASSERT_TRUE(fresh.has_value());
  EXPECT_EQ((*fresh)->dim(), 3u);
  EXPECT_TRUE(fs::is_directory(root / "new"));

  EXPECT_EQ(get_collection(root, "..").error().kind(), ErrorKind::InvalidName);
  EXPECT_EQ(get_or_create_collection(root, "", 3, Metric::Cosine).error().kind(),
            ErrorKind::InvalidName);

  auto deleted = delete_collection(root, "docs");
  ASSERT_TRUE(deleted.has_value());
  EXPECT_TRUE(*deleted);
  EXPECT_FALSE(fs::exists(root / "docs"));
  EXPECT_TRUE(list_collections(root)->empty());
}

TEST(ClientTest, DeleteRemovesOnlyDirectoriesAndLinks) {
  TempDir dir;
  const fs::path& root = dir.path();

  auto missing = delete_collection(root, "nothing");
  ASSERT_TRUE(missing.has_value());
  EXPECT_FALSE(*missing);

  touch(root / "file");
  auto file = delete_collection(root, "file");
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().to_string(), "io error: Not a directory (os error 20)");
  EXPECT_EQ(read(root / "file"), "x");

  // A link goes, what it points to stays.
  fs::create_directory(root / "real");
  touch(root / "real" / "graph.quarn");
  fs::create_directory_symlink(root / "real", root / "alias");
  auto link = delete_collection(root, "alias");
  ASSERT_TRUE(link.has_value());
  EXPECT_TRUE(*link);
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "alias")));
  EXPECT_TRUE(fs::exists(root / "real" / "graph.quarn"));

  fs::create_directories(root / "nested" / "deep");
  touch(root / "nested" / "deep" / "f");
  EXPECT_TRUE(*delete_collection(root, "nested"));
  EXPECT_FALSE(fs::exists(root / "nested"));

  EXPECT_EQ(delete_collection(root, "a/b").error().kind(), ErrorKind::InvalidName);
}

}  // namespace
}  // namespace quarn_core::client
