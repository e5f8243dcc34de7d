// The write-ahead log "wal.quarn": every mutation since the last save, as checksummed
// records appended one after another, read back at open to replay them.
//
// Record: op (u8), payload length N (u32), N payload bytes, CRC-32 (zlib's) of the op byte
// and the payload (u32). Little-endian, no padding, no file header.
//
// A batch of several records is framed by a record of op code 4 whose payload is the u32
// count of records that follow. A reader takes a framed batch whole or not at all, so a
// process killed in the middle of writing one leaves none of it. Readers that predate the
// frame skip op 4 as an unknown record and read the records themselves.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quarn_core/error.hpp"
#include "quarn_core/io.hpp"
#include "quarn_core/json.hpp"

namespace quarn_core::wal {

using json::Value;

// The log's file name inside a collection directory.
inline constexpr const char* kWalFileName = "wal.quarn";

// One logged mutation.
struct WalEntry {
  // Logged by add and upsert; replayed as an upsert. Op code 1.
  struct Insert {
    std::string id;
    std::vector<float> vector;
    std::optional<Value> metadata;
  };
  // Op code 2.
  struct Delete {
    std::string id;
  };
  // Op code 3.
  struct Update {
    std::string id;
    std::optional<std::vector<float>> vector;  // nullopt: the vector is unchanged
    // nullopt: leave the metadata unchanged; a present nullopt: remove it; a present
    // value: replace it.
    std::optional<std::optional<Value>> metadata;
  };

  std::variant<Insert, Delete, Update> op;

  WalEntry(Insert e) : op(std::move(e)) {}  // NOLINT(google-explicit-constructor)
  WalEntry(Delete e) : op(std::move(e)) {}  // NOLINT(google-explicit-constructor)
  WalEntry(Update e) : op(std::move(e)) {}  // NOLINT(google-explicit-constructor)

  std::uint8_t op_code() const { return static_cast<std::uint8_t>(op.index() + 1); }
  const std::string& id() const;

  // Field by field, metadata compared with json_equal (so 1 and 1.0 differ) and vectors
  // bit for bit.
  friend bool operator==(const WalEntry& a, const WalEntry& b);
};

// Payload building blocks. The writers append to a payload buffer; the readers decode from
// a cursor over one payload and advance it, yielding nullopt when the bytes are short or
// invalid (a record holding such a payload is skipped).

// Appends u32 length + compact JSON text, or a zero length for no metadata. Fails only when
// the text is longer than a u32 can count.
Result<void> write_metadata(std::vector<std::uint8_t>& buffer,
                            const std::optional<Value>& metadata);
// u32 byte length then UTF-8 bytes; nullopt if short or not valid UTF-8.
std::optional<std::string> read_string(io::ByteCursor& cursor);
// u32 element count then f32 values; nullopt if short.
std::optional<std::vector<float>> read_vector(io::ByteCursor& cursor);
// Three outcomes: nullopt (short, or JSON that does not parse), a present nullopt (length
// 0: no metadata), or the value.
std::optional<std::optional<Value>> read_metadata(io::ByteCursor& cursor);

// Records encoded before they are appended: a mutation builds (and allocates) all of its log
// bytes before it touches the file, and a batch goes out with one write.
class RecordBuffer {
 public:
  RecordBuffer();
  // Fail only when a field is longer than a u32 can count; the buffer is then unchanged.
  Result<void> add(const WalEntry& entry);
  Result<void> add_insert(std::string_view id, std::span<const float> vector,
                          const std::optional<Value>& metadata);
  Result<void> add_delete(std::string_view id);
  // An Update record: `vector` null for none, `metadata` null to leave it, pointing at an
  // empty optional to remove it.
  Result<void> add_update(std::string_view id, const std::vector<float>* vector,
                          const std::optional<Value>* const* metadata);
  std::size_t count() const { return count_; }
  std::size_t size() const;

 private:
  friend class Wal;
  template <class Encode>
  Result<void> add_record(std::uint8_t op, std::size_t reserve, Encode&& encode);
  // Room for the batch frame first, then the records.
  std::vector<std::uint8_t> bytes_;
  std::size_t count_ = 0;
};

// What a read of the log from some offset found.
struct LogRead {
  std::vector<WalEntry> entries;
  // Where the next read starts: the end of the last record or whole batch read.
  std::uint64_t end = 0;
  // The file is shorter than the offset (or gone while the offset is not 0): it was cut
  // below what was read before, or replaced; nothing was read.
  bool shrunk = false;
};

// The log of one collection. Not synchronized: the database holds it in a mutex. Assumes it
// is the only writer of its file. Move-only (it owns the open file).
class Wal {
 public:
  // `path` is the collection directory joined with kWalFileName. Opens nothing.
  explicit Wal(std::filesystem::path path) : path_(std::move(path)) {}
  Wal(Wal&&) noexcept = default;
  Wal& operator=(Wal&&) noexcept = default;
  Wal(const Wal&) = delete;
  Wal& operator=(const Wal&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Encodes the entry and hands the whole record to the operating system before returning
  // (no fsync). The first append opens the file for appending, creating it (0666 before
  // the umask) if missing. Io error on open, truncate or write failure; the record is then
  // not in the log.
  Result<void> append(const WalEntry& entry);
  // The same for every record of the buffer, with one write, framed as a batch when there
  // are several. An empty buffer writes nothing.
  Result<void> append(RecordBuffer& records);
  // Takes the most recent append back out of the file (a mutation that failed after
  // logging). Io error if the file cannot be cut; the record then stays.
  Result<void> undo_last_append();
  // Makes every append so far durable: fsync of the file and of its directory. Nothing to do
  // when this object has appended nothing since it was opened or reset.
  Result<void> sync();

  // Every entry in the log, in order. A missing or empty file is an empty log. Reading
  // stops, without error, at a record cut short by the end of the file or whose checksum
  // does not match, and drops a batch that such a stop leaves incomplete; a record with a
  // matching checksum whose payload does not decode, or whose op code is unknown, is
  // skipped. Io error for any other read failure. The file is not changed, but where
  // reading stopped early the next append first cuts the unreadable bytes off (after reading
  // the file again: another writer may have completed them since), so that new records land
  // where a later read reaches them.
  Result<std::vector<WalEntry>> read_all();
  // The same from `offset`, which must be the end of a record or batch that an earlier read
  // (or this object's own append) reached in the same file; with where the next read starts.
  Result<LogRead> read_from(std::uint64_t offset);
  // The log's length after this object's last append, or 0 when it has not appended since it
  // was opened or reset.
  std::uint64_t end() const { return writer_ ? writer_->end : 0; }
  // Closes the file this object appends to: the next append opens the file under the path
  // again (after another process has written the log, or in the child of a fork()).
  void close_file() { writer_.reset(); }

  // After a save: closes the file and removes it if it exists; the next append starts a
  // new one. Io error if the removal fails.
  Result<void> reset();

 private:
  struct Writer {
    io::UniqueFd fd;
    std::uint64_t end = 0;         // file length after our last complete append
    std::uint64_t last_start = 0;  // where that append began
    bool synced_directory = false;
  };

  Result<void> open_writer();
  Result<void> cut_unreadable_tail();
  Result<void> write_bytes(const std::uint8_t* data, std::size_t size);

  std::filesystem::path path_;
  std::optional<Writer> writer_;
  // Set when the file may hold bytes that no read reaches (a torn or corrupt record, or the
  // remains of a failed append); the next append cuts them off.
  bool unreadable_tail_ = false;
};

// Where and why a read of a log stopped: for checks and repairs that must tell what a replay
// would apply without changing the file or any Wal's view of it.
struct LogScan {
  enum class Stop {
    End,       // read to the end of the file
    Torn,      // a record runs past the end of the file (a torn write or a damaged length)
    Checksum,  // a record's checksum does not match
  };
  std::uint64_t size = 0;  // file size; 0 for a missing file
  // Offset of the first byte a replay does not apply: the record the read stopped at, or the
  // start of the batch that record belongs to; size when stop is End.
  std::uint64_t stopped_at = 0;
  Stop stop = Stop::End;
  bool in_batch = false;    // the stop falls inside a batch, which begins at stopped_at
  std::size_t records = 0;  // records a replay reads (batch frames left out)
  std::vector<std::uint64_t> undecodable;  // offsets of those that decode to no entry (skipped)
};

// Reads the log at `path` exactly as Wal::read_all does and hands every entry a replay would
// apply, with the offset of its record, to `on_entry` (which may be empty). Opens the file
// read-only and changes nothing. A missing file is an empty log; Io error for any other read
// failure.
Result<LogScan> scan_log(
    const std::filesystem::path& path,
    const std::function<void(std::uint64_t offset, WalEntry&& entry)>& on_entry);

}  // namespace quarn_core::wal
