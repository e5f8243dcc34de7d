#include "quarn_core/wal.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
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
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void put_u32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
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

// A length-prefixed string.
Bytes str(std::string_view s) {
  Bytes b;
  put_u32(b, static_cast<std::uint32_t>(s.size()));
  for (char c : s) b.push_back(static_cast<std::uint8_t>(c));
  return b;
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

void append_ok(Wal& wal, const WalEntry& e) { ASSERT_TRUE(testing::Ok(wal.append(e))); }

const std::vector<WalEntry> kMixed = {
    WalEntry::Insert{"first", {1.5f, -2.0f}, Value{{"lang", "en"}, {"n", 1}, {"x", 1.0}}},
    WalEntry::Delete{"gone"},
    WalEntry::Update{"u", std::vector<float>{0.25f, 8.0f}, std::optional<Value>()},
    WalEntry::Insert{"\xC3\xA9t\xC3\xA9", {0.0f, -0.0f}, std::nullopt},
};

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
  // Integers stay integers and floats floats, up to the largest 64-bit unsigned.
  const Value meta{{"b", nullptr},
                   {"a", Value::array({1.0, "\n"})},
                   {"u", std::numeric_limits<std::uint64_t>::max()}};
  const std::tuple<const char*, WalEntry, Bytes> cases[] = {
      {"metadata only", WalEntry::Update{"a", std::nullopt, std::optional<Value>(Value{{"k", 1}})},
       concat({str("a"), {0, 1}, str(R"({"k":1})")})},
      {"metadata removed", WalEntry::Update{"a", std::nullopt, std::optional<Value>()},
       concat({str("a"), {0, 1, 0, 0, 0, 0}})},
      {"vector only", WalEntry::Update{"a", std::vector<float>{-1.0f}, std::nullopt},
       concat({str("a"), {1, 1, 0, 0, 0, 0x00, 0x00, 0x80, 0xBF, 0}})},
      {"delete", WalEntry::Delete{"id"}, str("id")},
      {"insert with metadata", WalEntry::Insert{"b", {}, meta},
       concat(
           {str("b"), {0, 0, 0, 0}, str(R"({"a":[1.0,"\n"],"b":null,"u":18446744073709551615})")})},
      {"insert with metadata that is null", WalEntry::Insert{"n", {}, Value(nullptr)},
       concat({str("n"), {0, 0, 0, 0}, str("null")})},
  };
  for (const auto& [name, entry, payload] : cases) {
    SCOPED_TRACE(name);
    TempDir dir;
    Wal wal(dir.path() / kWalFileName);
    append_ok(wal, entry);
    EXPECT_EQ(read_bytes(wal.path()), record(entry.op_code(), payload));
    EXPECT_EQ(read_ok(wal), std::vector<WalEntry>{entry});
  }
}

TEST(WalReadTest, MissingEmptyAndResetLogs) {
  TempDir dir;
  Wal wal(dir.path() / kWalFileName);
  EXPECT_TRUE(read_ok(wal).empty());
  EXPECT_TRUE(testing::Ok(wal.reset()));  // nothing to remove
  write_bytes(wal.path(), {});
  EXPECT_TRUE(read_ok(wal).empty());

  append_ok(wal, WalEntry::Delete{"x"});
  ASSERT_TRUE(testing::Ok(wal.reset()));
  EXPECT_FALSE(std::filesystem::exists(wal.path()));
  append_ok(wal, WalEntry::Delete{"y"});
  const auto back = read_ok(wal);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0], WalEntry(WalEntry::Delete{"y"}));
}

// A record with a good checksum decodes leniently or, when its payload does not decode, is
// skipped on its own, wherever it stands: the records around it are read, and appending
// keeps them all.
TEST(WalReadTest, RecordsDecodeLenientlyOrAreSkippedAlone) {
  const WalEntry before = WalEntry::Delete{"before"}, after = WalEntry::Delete{"after"};
  auto insert_with_meta = [](std::string_view meta) {
    return concat({str("m"), {0, 0, 0, 0}, str(meta)});
  };
  const std::tuple<const char*, Bytes, std::optional<WalEntry>> cases[] = {
      {"unknown op", record(7, str("z")), std::nullopt},
      {"op zero", record(0, Bytes{}), std::nullopt},
      {"metadata not JSON", record(1, insert_with_meta("{\"k\":")), std::nullopt},
      {"metadata NaN", record(1, insert_with_meta("NaN")), std::nullopt},
      {"id not UTF-8", record(2, Bytes{2, 0, 0, 0, 0xC0, 0xAF}), std::nullopt},
      {"id surrogate", record(2, Bytes{3, 0, 0, 0, 0xED, 0xA0, 0x80}), std::nullopt},
      {"id length past payload", record(2, Bytes{9, 0, 0, 0, 'a'}), std::nullopt},
      {"vector count past payload", record(1, concat({str("v"), {0xFF, 0xFF, 0xFF, 0x3F}})),
       std::nullopt},
      {"insert without metadata block", record(1, concat({str("v"), {0, 0, 0, 0}})), std::nullopt},
      {"update without vector flag", record(3, str("u")), std::nullopt},
      {"update vector flag but no vector", record(3, concat({str("u"), {1}})), std::nullopt},
      {"update without metadata flag", record(3, concat({str("u"), {0}})), std::nullopt},
      {"empty payload", record(2, Bytes{}), std::nullopt},
      {"bytes after the last field", record(2, concat({str("d"), {9, 9, 9}})),
       WalEntry::Delete{"d"}},
      // Flags other than 1 mean "absent".
      {"flags of 2", record(3, concat({str("u"), {2, 2}})),
       WalEntry::Update{"u", std::nullopt, std::nullopt}},
      {"metadata with spaces", record(1, insert_with_meta(" 7 ")),
       WalEntry::Insert{"m", {}, Value(7)}},
  };
  const Bytes before_bytes = record(2, str("before")), after_bytes = record(2, str("after"));
  for (const auto& [name, bytes, decoded] : cases) {
    SCOPED_TRACE(name);
    std::vector<WalEntry> middle = {before, after};
    if (decoded) middle.insert(middle.begin() + 1, *decoded);
    TempDir dir;
    Wal wal(dir.path() / kWalFileName);
    write_bytes(wal.path(), concat({before_bytes, bytes, after_bytes}));
    EXPECT_EQ(read_ok(wal), middle);
    append_ok(wal, kLate);
    middle.push_back(kLate);
    EXPECT_EQ(read_ok(wal), middle);

    Wal first(dir.path() / "first");
    write_bytes(first.path(), concat({bytes, after_bytes}));
    EXPECT_EQ(read_ok(first), std::vector<WalEntry>(middle.begin() + 1, middle.end() - 1));
  }
}

// Reading damaged `bytes` from a fresh file (rewriting one file makes ext4 flush it) yields
// `expected` and leaves the file alone; an append after the read replaces the damaged tail
// past `good_end` and lands where the next read finds it.
void expect_recovers(const std::filesystem::path& path, const Bytes& bytes,
                     const std::vector<WalEntry>& expected, std::size_t good_end) {
  static const std::size_t late_size = [] {
    TempDir d;
    return build_log(d.path() / "x", {kLate}).first.size();
  }();
  write_bytes(path, bytes);
  Wal wal(path);
  ASSERT_EQ(read_ok(wal), expected);
  EXPECT_EQ(read_bytes(path).size(), bytes.size());
  append_ok(wal, kLate);
  auto after = expected;
  after.push_back(kLate);
  ASSERT_EQ(read_ok(wal), after);
  EXPECT_EQ(read_bytes(path).size(), good_end + late_size);
}

// Every cut of the file yields exactly the records that end at or before the cut.
TEST(WalRecoveryTest, EveryTruncation) {
  TempDir dir;
  const auto& entries = kMixed;
  const auto [log, ends] = build_log(dir.path() / "full", entries);
  for (std::size_t cut = 0; cut <= log.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    std::size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= cut) ++whole;
    expect_recovers(dir.path() / ("cut-" + std::to_string(cut)),
                    Bytes(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(cut)),
                    {entries.begin(), entries.begin() + whole}, whole ? ends[whole - 1] : 0);
  }
}

// Flipping any single bit loses the damaged record and everything after it, and nothing
// before it. For a flip in the op byte, payload or checksum that is guaranteed: CRC-32
// catches every single-bit error. A flip in a length field either runs past the end of the
// file (a torn record) or reads the payload and checksum from the wrong place, where a
// match is a 1 in 2^32 chance; this log is fixed, so the sweep checks that none occurs.
TEST(WalRecoveryTest, EverySingleBitFlip) {
  TempDir dir;
  const auto& entries = kMixed;
  const auto [log, ends] = build_log(dir.path() / "full", entries);
  for (std::size_t byte = 0; byte < log.size(); ++byte) {
    std::size_t damaged = 0;
    while (ends[damaged] <= byte) ++damaged;
    for (int bit = 0; bit < 8; ++bit) {
      SCOPED_TRACE("byte " + std::to_string(byte) + " bit " + std::to_string(bit));
      Bytes bad = log;
      bad[byte] ^= static_cast<std::uint8_t>(1u << bit);
      expect_recovers(dir.path() / ("flip-" + std::to_string(byte * 8 + bit)), bad,
                      {entries.begin(), entries.begin() + damaged},
                      damaged ? ends[damaged - 1] : 0);
    }
  }
}

// Runs `check` in a child process (its limits stay there) and expects it to return true.
void expect_in_child(const TempDir& dir, const std::function<bool()>& check) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto child = [&] {
    const bool ok = check();
    std::filesystem::remove_all(dir.path());  // exit() skips TempDir's destructor
    std::exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
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
  TempDir dir;
  const auto path = dir.path() / kWalFileName;
  const Bytes huge = {1, 0xF0, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 'x', 0, 0, 0, 0, 0, 0, 0, 0};
  write_bytes(path, concat({record(2, str("ok")), huge}));
  expect_in_child(dir, [&] { return read_with_capped_address_space(path); });
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
  TempDir dir;
  expect_in_child(dir, [&] { return append_past_file_size_limit(dir.path() / kWalFileName); });
}

TEST(WalErrorTest, IoFailuresAreReported) {
  TempDir dir;
  // A directory where the log should be: opening it for appending fails, and reading it
  // fails with a read error other than end of file.
  Wal wal(dir.path());
  EXPECT_TRUE(testing::Fails(wal.append(WalEntry::Delete{"x"}), error::ErrorKind::Io));
  EXPECT_TRUE(testing::Fails(wal.read_all(), error::ErrorKind::Io));
}

}  // namespace
}  // namespace quarn_core::wal
