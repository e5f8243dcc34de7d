#include "quarn_core/wal.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testutil.hpp"

namespace quarn_core::wal {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::TempDir;

Bytes read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void put_u32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void put_str(Bytes& b, std::string_view s) {
  put_u32(b, static_cast<std::uint32_t>(s.size()));
  b.insert(b.end(), s.begin(), s.end());
}

// A record built by hand, with a correct checksum over whatever op and payload it is given.
Bytes record(std::uint8_t op, const Bytes& payload) {
  Bytes r{op};
  put_u32(r, static_cast<std::uint32_t>(payload.size()));
  r.insert(r.end(), payload.begin(), payload.end());
  uLong crc = crc32(0L, &op, 1);
  if (!payload.empty()) crc = crc32(crc, payload.data(), static_cast<uInt>(payload.size()));
  put_u32(r, static_cast<std::uint32_t>(crc));
  return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<WalEntry> read_ok(Wal& wal) {
  auto entries = wal.read_all();
  EXPECT_TRUE(entries.has_value()) << entries.error().to_string();
  return entries ? std::move(*entries) : std::vector<WalEntry>{};
}

void append_ok(Wal& wal, const WalEntry& e) {
  auto r = wal.append(e);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
}

std::vector<WalEntry> mixed_entries() {
  return {
      WalEntry::Insert{"first", {1.5f, -2.0f}, Value{{"lang", "en"}, {"n", 1}, {"x", 1.0}}},
      WalEntry::Delete{"gone"},
      WalEntry::Update{"u", std::vector<float>{0.25f, 8.0f}, std::optional<Value>()},
      WalEntry::Insert{"\xC3\xA9t\xC3\xA9", {0.0f, -0.0f}, std::nullopt},
  };
}

const WalEntry kLate = WalEntry::Insert{"late", {3.0f, 4.0f}, Value{{"k", 1}}};

// Writes the entries through a Wal and returns the file's bytes and each record's end offset.
std::pair<Bytes, std::vector<std::size_t>> build_log(const std::filesystem::path& path,
                                                     const std::vector<WalEntry>& entries) {
  std::vector<std::size_t> ends;
  {
    Wal wal(path);
    for (const auto& e : entries) {
      EXPECT_TRUE(wal.append(e).has_value());
      ends.push_back(std::filesystem::file_size(path));
    }
  }
  return {read_bytes(path), ends};
}

TEST(WalFormatTest, WorkedInsertIsThirtyBytes) {
  TempDir dir;
  Wal wal(dir.path() / kWalFileName);
  append_ok(wal, WalEntry::Insert{"a", {1.0f, 2.0f}, std::nullopt});
  const Bytes expected = {0x01, 0x15, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x61,
                          0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00,
                          0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0xDB, 0xB1, 0x46, 0x1C};
  EXPECT_EQ(read_bytes(wal.path()), expected);
}

TEST(WalFormatTest, PayloadsByKind) {
  struct Case {
    const char* name;
    WalEntry entry;
    Bytes payload;
  };
  Bytes meta_only{1, 0, 0, 0, 'a', 0x00, 0x01};
  put_str(meta_only, R"({"k":1})");
  Bytes removing{1, 0, 0, 0, 'a', 0x00, 0x01, 0, 0, 0, 0};
  Bytes vector_only{1, 0, 0, 0, 'a', 0x01, 1, 0, 0, 0, 0x00, 0x00, 0x80, 0xBF, 0x00};
  Bytes del{2, 0, 0, 0, 'i', 'd'};
  Bytes insert_meta{1, 0, 0, 0, 'b', 0, 0, 0, 0};
  put_str(insert_meta, R"({"a":[1.0,"\n"],"b":null})");
  const Case cases[] = {
      {"metadata only", WalEntry::Update{"a", std::nullopt, std::optional<Value>(Value{{"k", 1}})},
       meta_only},
      {"metadata removed", WalEntry::Update{"a", std::nullopt, std::optional<Value>()}, removing},
      {"vector only", WalEntry::Update{"a", std::vector<float>{-1.0f}, std::nullopt},
       vector_only},
      {"delete", WalEntry::Delete{"id"}, del},
      {"insert with metadata",
       WalEntry::Insert{"b", {}, Value{{"b", nullptr}, {"a", Value::array({1.0, "\n"})}}},
       insert_meta},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Wal wal(dir.path() / kWalFileName);
    append_ok(wal, c.entry);
    EXPECT_EQ(read_bytes(wal.path()), record(c.entry.op_code(), c.payload));
    const auto back = read_ok(wal);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0], c.entry);
  }
}

TEST(WalReadTest, RoundTripKeepsNumberKinds) {
  TempDir dir;
  Wal wal(dir.path() / kWalFileName);
  const std::vector<WalEntry> entries = {
      WalEntry::Insert{"i", {1.0f}, Value{{"v", 1}}},
      WalEntry::Insert{"f", {1.0f}, Value{{"v", 1.0}}},
      WalEntry::Insert{"u", {1.0f}, Value{{"v", std::numeric_limits<std::uint64_t>::max()}}},
      WalEntry::Insert{"nul", {1.0f}, Value(nullptr)},  // present metadata that is null
  };
  for (const auto& e : entries) append_ok(wal, e);
  const auto back = read_ok(wal);
  ASSERT_EQ(back.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(back[i], entries[i]) << i;
  // The integer 1 must not come back as the float 1.0 or the other way round.
  EXPECT_FALSE(back[0] == entries[1]);
}

TEST(WalReadTest, MissingEmptyAndResetLogs) {
  TempDir dir;
  Wal wal(dir.path() / kWalFileName);
  EXPECT_TRUE(read_ok(wal).empty());
  EXPECT_TRUE(wal.reset().has_value());  // nothing to remove
  write_bytes(wal.path(), {});
  EXPECT_TRUE(read_ok(wal).empty());

  append_ok(wal, WalEntry::Delete{"x"});
  ASSERT_TRUE(wal.reset().has_value());
  EXPECT_FALSE(std::filesystem::exists(wal.path()));
  append_ok(wal, WalEntry::Delete{"y"});
  const auto back = read_ok(wal);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0], WalEntry(WalEntry::Delete{"y"}));
}

// Records whose checksum is good but whose payload does not decode are skipped on their own;
// the records around them are read.
TEST(WalReadTest, UndecodableRecordsAreSkipped) {
  const Bytes good_before = record(2, [] {
    Bytes p;
    put_str(p, "before");
    return p;
  }());
  const Bytes good_after = record(2, [] {
    Bytes p;
    put_str(p, "after");
    return p;
  }());
  auto insert_with_meta = [](std::string_view meta) {
    Bytes p;
    put_str(p, "m");
    put_u32(p, 0);
    put_str(p, meta);
    return p;
  };
  struct Case {
    const char* name;
    Bytes bad;
  };
  const Case cases[] = {
      {"unknown op", record(7, Bytes{1, 0, 0, 0, 'z'})},
      {"op zero", record(0, Bytes{})},
      {"metadata not JSON", record(1, insert_with_meta("{\"k\":"))},
      {"metadata NaN", record(1, insert_with_meta("NaN"))},
      {"id not UTF-8", record(2, Bytes{2, 0, 0, 0, 0xC0, 0xAF})},
      {"id surrogate", record(2, Bytes{3, 0, 0, 0, 0xED, 0xA0, 0x80})},
      {"id length past payload", record(2, Bytes{9, 0, 0, 0, 'a'})},
      {"vector count past payload", record(1, Bytes{1, 0, 0, 0, 'v', 0xFF, 0xFF, 0xFF, 0x3F})},
      {"insert without metadata block", record(1, Bytes{1, 0, 0, 0, 'v', 0, 0, 0, 0})},
      {"update without vector flag", record(3, Bytes{1, 0, 0, 0, 'u'})},
      {"update vector flag but no vector", record(3, Bytes{1, 0, 0, 0, 'u', 1})},
      {"update without metadata flag", record(3, Bytes{1, 0, 0, 0, 'u', 0})},
      {"empty payload", record(2, Bytes{})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Wal wal(dir.path() / kWalFileName);
    write_bytes(wal.path(), concat({good_before, c.bad, good_after}));
    const auto back = read_ok(wal);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].id(), "before");
    EXPECT_EQ(back[1].id(), "after");

    // Skipped records are sound as far as the log is concerned: appending keeps them and
    // everything around them.
    append_ok(wal, kLate);
    EXPECT_EQ(read_ok(wal).size(), 3u);

    // The same record at the very start of the log.
    Wal first(dir.path() / "first");
    write_bytes(first.path(), concat({c.bad, good_after}));
    const auto rest = read_ok(first);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].id(), "after");
  }
}

TEST(WalReadTest, LenientFieldsDecode) {
  struct Case {
    const char* name;
    std::uint8_t op;
    Bytes payload;
    WalEntry expected;
  };
  const Case cases[] = {
      {"bytes after the last field", 2, Bytes{1, 0, 0, 0, 'd', 9, 9, 9}, WalEntry::Delete{"d"}},
      // Flags other than 1 mean "absent".
      {"flags of 2", 3, Bytes{1, 0, 0, 0, 'u', 2, 2}, WalEntry::Update{"u", std::nullopt, std::nullopt}},
      {"metadata with spaces", 1, Bytes{1, 0, 0, 0, 'i', 0, 0, 0, 0, 3, 0, 0, 0, ' ', '7', ' '},
       WalEntry::Insert{"i", {}, Value(7)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Wal wal(dir.path() / kWalFileName);
    write_bytes(wal.path(), record(c.op, c.payload));
    const auto back = read_ok(wal);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0], c.expected);
  }
}

// Every cut of the file yields exactly the records that end at or before the cut; an append
// after the read lands where the next read finds it.
TEST(WalRecoveryTest, EveryTruncation) {
  TempDir dir;
  const auto entries = mixed_entries();
  const auto [log, ends] = build_log(dir.path() / "full", entries);
  const std::size_t late_size = [&] {
    TempDir d;
    return build_log(d.path() / "x", {kLate}).first.size();
  }();
  for (std::size_t cut = 0; cut <= log.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    // A fresh file each time: truncating and rewriting one file makes ext4 flush it.
    const auto path = dir.path() / ("cut-" + std::to_string(cut));
    write_bytes(path, Bytes(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(cut)));
    std::size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= cut) ++whole;
    const std::vector<WalEntry> expected(entries.begin(), entries.begin() + whole);

    Wal wal(path);
    ASSERT_EQ(read_ok(wal), expected);
    EXPECT_EQ(read_bytes(path).size(), cut);  // reading leaves the file alone
    append_ok(wal, kLate);
    auto after = expected;
    after.push_back(kLate);
    EXPECT_EQ(read_ok(wal), after);
    EXPECT_EQ(read_bytes(path).size(), (whole ? ends[whole - 1] : 0) + late_size);
  }
}

// Flipping any single bit loses the damaged record and everything after it, and nothing
// before it. For a flip in the op byte, payload or checksum that is guaranteed: CRC-32
// catches every single-bit error. A flip in a length field either runs past the end of the
// file (a torn record) or reads the payload and checksum from the wrong place, where a
// match is a 1 in 2^32 chance; this log is fixed, so the sweep checks that none occurs.
TEST(WalRecoveryTest, EverySingleBitFlip) {
  TempDir dir;
  const auto entries = mixed_entries();
  const auto [log, ends] = build_log(dir.path() / "full", entries);
  for (std::size_t byte = 0; byte < log.size(); ++byte) {
    std::size_t damaged = 0;
    while (ends[damaged] <= byte) ++damaged;
    const std::vector<WalEntry> expected(entries.begin(), entries.begin() + damaged);
    for (int bit = 0; bit < 8; ++bit) {
      SCOPED_TRACE("byte " + std::to_string(byte) + " bit " + std::to_string(bit));
      Bytes bad = log;
      bad[byte] ^= static_cast<std::uint8_t>(1u << bit);
      // A fresh file each time: truncating and rewriting one file makes ext4 flush it.
      const auto path = dir.path() / ("flip-" + std::to_string(byte * 8 + bit));
      write_bytes(path, bad);

      Wal wal(path);
      ASSERT_EQ(read_ok(wal), expected);
      append_ok(wal, kLate);
      auto after = expected;
      after.push_back(kLate);
      ASSERT_EQ(read_ok(wal), after);
    }
  }
}

// A length field claiming nearly 4 GiB in a small file must end the log without the reader
// trying to allocate it. Runs in a child whose address space is capped well below that,
// which sanitizers' shadow memory would not fit in.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
bool read_with_capped_address_space(const std::filesystem::path& path) {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t cap = static_cast<rlim_t>(pages) * 4096 + (rlim_t{1} << 30);
  const rlimit limit{cap, cap};
  setrlimit(RLIMIT_AS, &limit);
  Wal wal(path);
  auto back = wal.read_all();
  return back && back->size() == 1 && back->front().id() == "ok";
}

TEST(WalRecoveryTest, HugeLengthFieldDoesNotAllocate) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  const auto path = dir.path() / kWalFileName;
  Bytes p;
  put_str(p, "ok");
  const Bytes huge = {1, 0xF0, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 'x', 0, 0, 0, 0, 0, 0, 0, 0};
  write_bytes(path, concat({record(2, p), huge}));
  auto child = [&dir, &path] {
    const bool ok = read_with_capped_address_space(path);
    std::filesystem::remove_all(dir.path());  // exit() skips TempDir's destructor
    std::exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}
#endif

// An append whose write fails part-way must not leave a partial record in front of later
// ones. The file size limit makes the kernel take only part of the record.
bool append_past_file_size_limit(const std::filesystem::path& path) {
  Wal wal(path);
  if (!wal.append(WalEntry::Delete{"a"})) return false;
  ::signal(SIGXFSZ, SIG_IGN);
  const rlim_t size = std::filesystem::file_size(path);
  rlimit limit{size + 10, RLIM_INFINITY};
  setrlimit(RLIMIT_FSIZE, &limit);
  if (wal.append(WalEntry::Insert{"big", std::vector<float>(64, 1.0f), std::nullopt})) {
    return false;
  }
  limit.rlim_cur = RLIM_INFINITY;
  setrlimit(RLIMIT_FSIZE, &limit);
  if (std::filesystem::file_size(path) != size) return false;
  if (!wal.append(WalEntry::Delete{"b"})) return false;
  auto back = Wal(path).read_all();
  return back && back->size() == 2 && (*back)[1].id() == "b";
}

TEST(WalRecoveryTest, FailedAppendLeavesNoPartialRecord) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  auto child = [&dir] {
    const bool ok = append_past_file_size_limit(dir.path() / kWalFileName);
    std::filesystem::remove_all(dir.path());  // exit() skips TempDir's destructor
    std::exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

TEST(WalErrorTest, IoFailuresAreReported) {
  TempDir dir;
  // A directory where the log should be: opening it for appending fails, and reading it
  // fails with a read error other than end of file.
  Wal wal(dir.path());
  auto appended = wal.append(WalEntry::Delete{"x"});
  ASSERT_FALSE(appended.has_value());
  EXPECT_EQ(appended.error().kind(), error::ErrorKind::Io);
  auto read = wal.read_all();
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().kind(), error::ErrorKind::Io);
}

}  // namespace
}  // namespace quarn_core::wal
