#include "quarn_core/wal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace quarn_core::wal {
namespace {

using error::fail;
using error::fail_errno;
using error::IoError;

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kHeaderSize = 5;  // op + payload length
constexpr std::size_t kChecksumSize = 4;

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::span<const std::byte> bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
    if (b1 < lo || b1 > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      if (b < 0x80 || b > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

Result<void> too_large() { return fail(IoError::invalid_data("log record too large")); }

Result<void> write_string(std::vector<std::uint8_t>& buf, const std::string& s) {
  if (s.size() > kMaxU32) return too_large();
  io::put_u32(buf, static_cast<std::uint32_t>(s.size()));
  io::put_bytes(buf, s.data(), s.size());
  return {};
}

Result<void> write_vector(std::vector<std::uint8_t>& buf, const std::vector<float>& v) {
  if (v.size() > kMaxU32) return too_large();
  io::put_u32(buf, static_cast<std::uint32_t>(v.size()));
  io::put_bytes(buf, v.data(), v.size() * sizeof(float));
  return {};
}

Result<void> write_payload(std::vector<std::uint8_t>& buf, const WalEntry::Insert& e) {
  if (auto r = write_string(buf, e.id); !r) return r;
  if (auto r = write_vector(buf, e.vector); !r) return r;
  return write_metadata(buf, e.metadata);
}

Result<void> write_payload(std::vector<std::uint8_t>& buf, const WalEntry::Delete& e) {
  return write_string(buf, e.id);
}

Result<void> write_payload(std::vector<std::uint8_t>& buf, const WalEntry::Update& e) {
  if (auto r = write_string(buf, e.id); !r) return r;
  buf.push_back(e.vector ? 1 : 0);
  if (e.vector) {
    if (auto r = write_vector(buf, *e.vector); !r) return r;
  }
  buf.push_back(e.metadata ? 1 : 0);
  if (e.metadata) return write_metadata(buf, *e.metadata);
  return {};
}

// Decodes one checksum-verified payload; nullopt when it does not decode or the op code is
// unknown (the caller skips the record). Bytes after the last field are ignored.
std::optional<WalEntry> decode(std::uint8_t op, std::span<const std::byte> payload) {
  io::ByteCursor cursor(payload);
  auto id = read_string(cursor);
  if (!id) return std::nullopt;
  switch (op) {
    case 1: {
      auto vector = read_vector(cursor);
      if (!vector) return std::nullopt;
      auto metadata = read_metadata(cursor);
      if (!metadata) return std::nullopt;
      return WalEntry::Insert{std::move(*id), std::move(*vector), std::move(*metadata)};
    }
    case 2:
      return WalEntry::Delete{std::move(*id)};
    case 3: {
      WalEntry::Update update{std::move(*id), std::nullopt, std::nullopt};
      auto vector_flag = cursor.read_u8();
      if (!vector_flag) return std::nullopt;
      if (*vector_flag == 1) {
        update.vector = read_vector(cursor);
        if (!update.vector) return std::nullopt;
      }
      auto metadata_flag = cursor.read_u8();
      if (!metadata_flag) return std::nullopt;
      if (*metadata_flag == 1) {
        update.metadata = read_metadata(cursor);
        if (!update.metadata) return std::nullopt;
      }
      return update;
    }
    default:
      return std::nullopt;
  }
}

std::uint32_t checksum(std::uint8_t op, const void* payload, std::size_t size) {
  uLong crc = ::crc32(0L, &op, 1);
  // zlib answers 0 for a null buffer, which an empty vector may hand us.
  if (size > 0) crc = ::crc32_z(crc, static_cast<const Bytef*>(payload), size);
  return static_cast<std::uint32_t>(crc);
}

// Sequential reads through an 8192-byte buffer, telling a clean end of file apart from
// errors.
class FileReader {
 public:
  explicit FileReader(int fd) : fd_(fd), buf_(8192) {}

  // true when all n bytes were read, false when the file ended first.
  Result<bool> read_exact(void* dst, std::size_t n) {
    auto* out = static_cast<std::byte*>(dst);
    while (n > 0) {
      if (pos_ < len_) {
        const std::size_t k = std::min(n, len_ - pos_);
        std::memcpy(out, buf_.data() + pos_, k);
        pos_ += k;
        out += k;
        n -= k;
        continue;
      }
      // Large reads bypass the buffer.
      const bool direct = n >= buf_.size();
      auto got = read_some(direct ? out : buf_.data(), direct ? n : buf_.size());
      if (!got) return std::unexpected(std::move(got.error()));
      if (*got == 0) return false;
      if (direct) {
        out += *got;
        n -= *got;
      } else {
        pos_ = 0;
        len_ = *got;
      }
    }
    return true;
  }

 private:
  Result<std::size_t> read_some(std::byte* dst, std::size_t n) {
    for (;;) {
      const ssize_t got = ::read(fd_, dst, n);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) return fail_errno();
    }
  }

  int fd_;
  std::vector<std::byte> buf_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

Result<std::uint64_t> file_size(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail_errno();
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

const std::string& WalEntry::id() const {
  return std::visit([](const auto& e) -> const std::string& { return e.id; }, op);
}

namespace {

bool metadata_equal(const std::optional<Value>& a, const std::optional<Value>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || json::json_equal(*a, *b);
}

bool vectors_identical(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

}  // namespace

bool operator==(const WalEntry& a, const WalEntry& b) {
  if (a.op.index() != b.op.index()) return false;
  if (const auto* x = std::get_if<WalEntry::Insert>(&a.op)) {
    const auto& y = std::get<WalEntry::Insert>(b.op);
    return x->id == y.id && vectors_identical(x->vector, y.vector) &&
           metadata_equal(x->metadata, y.metadata);
  }
  if (const auto* x = std::get_if<WalEntry::Delete>(&a.op)) {
    return x->id == std::get<WalEntry::Delete>(b.op).id;
  }
  const auto& x = std::get<WalEntry::Update>(a.op);
  const auto& y = std::get<WalEntry::Update>(b.op);
  if (x.id != y.id || x.vector.has_value() != y.vector.has_value()) return false;
  if (x.vector && !vectors_identical(*x.vector, *y.vector)) return false;
  if (x.metadata.has_value() != y.metadata.has_value()) return false;
  return !x.metadata || metadata_equal(*x.metadata, *y.metadata);
}

Result<void> write_metadata(std::vector<std::uint8_t>& buffer,
                            const std::optional<Value>& metadata) {
  if (!metadata) {
    io::put_u32(buffer, 0);
    return {};
  }
  std::string text;
  text.reserve(128);
  json::append_text(text, *metadata);
  if (text.size() > kMaxU32) return too_large();
  io::put_u32(buffer, static_cast<std::uint32_t>(text.size()));
  io::put_bytes(buffer, text.data(), text.size());
  return {};
}

std::optional<std::string> read_string(io::ByteCursor& cursor) {
  auto len = cursor.read_u32();
  if (!len) return std::nullopt;
  auto bytes = cursor.read_bytes(*len);
  if (!bytes || !valid_utf8(*bytes)) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

std::optional<std::vector<float>> read_vector(io::ByteCursor& cursor) {
  auto count = cursor.read_u32();
  if (!count) return std::nullopt;
  if (*count == 0) return std::vector<float>();  // read_floats would memcpy into nullptr
  auto values = cursor.read_floats(*count);      // checks the length before allocating
  if (!values) return std::nullopt;
  return std::move(*values);
}

std::optional<std::optional<Value>> read_metadata(io::ByteCursor& cursor) {
  auto len = cursor.read_u32();
  if (!len) return std::nullopt;
  if (*len == 0) return std::optional<Value>();
  auto bytes = cursor.read_bytes(*len);
  if (!bytes) return std::nullopt;
  auto value =
      json::parse(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!value) return std::nullopt;
  return std::optional<Value>(std::move(*value));
}

// ---------------------------------------------------------------------------------------------
// Encoding

namespace {

constexpr std::uint8_t kBatchOp = 4;
constexpr std::size_t kFrameSize = kHeaderSize + 4 + kChecksumSize;

void put_checksum(std::vector<std::uint8_t>& out, std::size_t record_start) {
  const std::size_t payload = record_start + kHeaderSize;
  io::put_u32(out, checksum(out[record_start], out.data() + payload, out.size() - payload));
}

}  // namespace

RecordBuffer::RecordBuffer() : bytes_(kFrameSize, 0) {}

std::size_t RecordBuffer::size() const { return bytes_.size() - kFrameSize; }

template <class Encode>
Result<void> RecordBuffer::add_record(std::uint8_t op, std::size_t reserve, Encode&& encode) {
  const std::size_t start = bytes_.size();
  // Grow geometrically: reserving exactly what one more record needs would copy the whole
  // buffer for every record of a batch.
  if (bytes_.capacity() < start + reserve) {
    bytes_.reserve(std::max(start + reserve, 2 * bytes_.capacity()));
  }
  bytes_.push_back(op);
  io::put_u32(bytes_, 0);
  auto encoded = encode(bytes_);
  const std::size_t payload_size = bytes_.size() - start - kHeaderSize;
  if (encoded && payload_size > kMaxU32) encoded = too_large();
  if (!encoded) {
    bytes_.resize(start);
    return encoded;
  }
  const auto n = static_cast<std::uint32_t>(payload_size);
  std::memcpy(bytes_.data() + start + 1, &n, 4);
  put_checksum(bytes_, start);
  ++count_;
  return {};
}

Result<void> RecordBuffer::add(const WalEntry& entry) {
  // Room for everything but a long metadata text, so a typical record is built without
  // reallocating.
  std::size_t vector_floats = 0;
  if (const auto* insert = std::get_if<WalEntry::Insert>(&entry.op)) {
    vector_floats = insert->vector.size();
  } else if (const auto* update = std::get_if<WalEntry::Update>(&entry.op)) {
    vector_floats = update->vector ? update->vector->size() : 0;
  }
  return add_record(entry.op_code(), 256 + entry.id().size() + vector_floats * sizeof(float),
                    [&entry](std::vector<std::uint8_t>& buf) {
                      return std::visit([&buf](const auto& e) { return write_payload(buf, e); },
                                        entry.op);
                    });
}

Result<void> RecordBuffer::add_insert(std::string_view id, std::span<const float> vector,
                                      const std::optional<Value>& metadata) {
  return add_record(1, 256 + id.size() + vector.size() * sizeof(float),
                    [&](std::vector<std::uint8_t>& buf) -> Result<void> {
                      if (id.size() > kMaxU32 || vector.size() > kMaxU32) return too_large();
                      io::put_u32(buf, static_cast<std::uint32_t>(id.size()));
                      io::put_bytes(buf, id.data(), id.size());
                      io::put_u32(buf, static_cast<std::uint32_t>(vector.size()));
                      io::put_bytes(buf, vector.data(), vector.size() * sizeof(float));
                      return write_metadata(buf, metadata);
                    });
}

Result<void> RecordBuffer::add_delete(std::string_view id) {
  return add_record(2, 16 + id.size(), [&](std::vector<std::uint8_t>& buf) -> Result<void> {
    if (id.size() > kMaxU32) return too_large();
    io::put_u32(buf, static_cast<std::uint32_t>(id.size()));
    io::put_bytes(buf, id.data(), id.size());
    return {};
  });
}

Result<void> RecordBuffer::add_update(std::string_view id, const std::vector<float>* vector,
                                      const std::optional<Value>* const* metadata) {
  const std::size_t floats = vector != nullptr ? vector->size() : 0;
  return add_record(3, 256 + id.size() + floats * sizeof(float),
                    [&](std::vector<std::uint8_t>& buf) -> Result<void> {
                      if (id.size() > kMaxU32 || floats > kMaxU32) return too_large();
                      io::put_u32(buf, static_cast<std::uint32_t>(id.size()));
                      io::put_bytes(buf, id.data(), id.size());
                      buf.push_back(vector != nullptr ? 1 : 0);
                      if (vector != nullptr) {
                        io::put_u32(buf, static_cast<std::uint32_t>(floats));
                        io::put_bytes(buf, vector->data(), floats * sizeof(float));
                      }
                      buf.push_back(metadata != nullptr ? 1 : 0);
                      if (metadata != nullptr) return write_metadata(buf, **metadata);
                      return {};
                    });
}

// ---------------------------------------------------------------------------------------------
// Reading

namespace {

// What one pass over a log file found.
struct Pass {
  std::uint64_t good_end = 0;  // end of the last record a reader takes
  LogScan::Stop stop = LogScan::Stop::End;
  bool in_batch = false;  // the pass stopped inside a batch, which begins at good_end
};

// Called with the offset of each record a reader takes (batch frames left out) and its entry,
// or nothing for a record that does not decode.
using EntrySink = std::function<void(std::uint64_t offset, std::optional<WalEntry>&& entry)>;

// Reads the records of the file from `start` (its start, or the end of a record or batch an
// earlier pass took), as every reader of the log does. A batch's records reach `sink` only
// once the whole batch has been read: a batch that the file ends inside, or that a damaged
// record cuts short, was never acknowledged and none of it counts. Without a sink nothing is
// decoded.
Result<Pass> scan(int fd, std::uint64_t size, const EntrySink* sink, std::uint64_t start = 0) {
  if (start > 0 && ::lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) return fail_errno();
  FileReader in(fd);
  Pass pass;
  pass.good_end = start;
  std::uint64_t pos = start;   // end of the last record whose checksum matched
  std::size_t batch_left = 0;  // records still owed to the open batch
  std::vector<std::pair<std::uint64_t, std::optional<WalEntry>>> pending;  // the open batch's
  std::vector<std::byte> payload;
  for (;;) {
    std::uint8_t header[kHeaderSize];
    auto got = in.read_exact(header, kHeaderSize);
    if (!got) return std::unexpected(std::move(got.error()));
    if (!*got) {
      if (pos < size) pass.stop = LogScan::Stop::Torn;
      break;
    }
    std::uint32_t n;
    std::memcpy(&n, header + 1, 4);
    // A length reaching past the end of the file is a torn record. Stop here rather than
    // allocate what a damaged length field claims.
    const std::uint64_t left = size - std::min(size, pos + kHeaderSize);
    if (std::uint64_t{n} + kChecksumSize > left) {
      pass.stop = LogScan::Stop::Torn;
      break;
    }
    payload.resize(n);
    got = in.read_exact(payload.data(), n);
    if (!got) return std::unexpected(std::move(got.error()));
    std::uint32_t stored = 0;
    if (*got) got = in.read_exact(&stored, kChecksumSize);
    if (!got) return std::unexpected(std::move(got.error()));
    if (!*got) {  // the file shrank under us
      pass.stop = LogScan::Stop::Torn;
      break;
    }
    // A damaged length makes everything after it untrustworthy, so a mismatch ends the log
    // rather than skipping one record.
    if (checksum(header[0], payload.data(), n) != stored) {
      pass.stop = LogScan::Stop::Checksum;
      break;
    }
    const std::uint64_t at = pos;
    pos += kHeaderSize + n + kChecksumSize;

    if (header[0] == kBatchOp && n >= 4 && batch_left == 0) {
      std::uint32_t count;
      std::memcpy(&count, payload.data(), 4);
      batch_left = count;
      if (batch_left == 0) pass.good_end = pos;
      continue;
    }
    if (sink != nullptr) {
      std::optional<WalEntry> entry = decode(header[0], payload);
      if (batch_left > 0) {
        pending.emplace_back(at, std::move(entry));
      } else {
        (*sink)(at, std::move(entry));
      }
    }
    if (batch_left > 0 && --batch_left == 0) {
      for (auto& [offset, entry] : pending) (*sink)(offset, std::move(entry));
      pending.clear();
    }
    if (batch_left == 0) pass.good_end = pos;
  }
  if (batch_left > 0) {
    pass.in_batch = true;
    if (pass.stop == LogScan::Stop::End) pass.stop = LogScan::Stop::Torn;
  }
  return pass;
}

}  // namespace

Result<void> Wal::open_writer() {
  // Never through a link: the writer appends and may cut an unreadable tail, which must not
  // happen to a file outside the collection.
  auto fd = io::open_file(path_, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0666);
  if (!fd) return std::unexpected(std::move(fd.error()));
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(std::move(size.error()));
  writer_.emplace(Writer{std::move(*fd), *size, *size, false});
  return {};
}

Result<void> Wal::cut_unreadable_tail() {
  // Read again rather than trust the length seen before: another handle may have completed
  // the record that looked torn then, or the file may have been replaced since.
  auto in = io::open_file(path_, O_RDONLY);
  if (!in) return std::unexpected(std::move(in.error()));
  auto size = file_size(in->get());
  if (!size) return std::unexpected(std::move(size.error()));
  auto pass = scan(in->get(), *size, nullptr);
  if (!pass) return std::unexpected(std::move(pass.error()));
  const std::uint64_t good = pass->good_end;
  if (*size > good) {
    if (auto r = io::truncate_fd(writer_->fd.get(), good); !r) return r;
  }
  writer_->end = writer_->last_start = good;
  unreadable_tail_ = false;
  return {};
}

Result<void> Wal::write_bytes(const std::uint8_t* data, std::size_t size) {
  if (writer_) {
    // Another handle's save may have removed the file we hold open; records written into it
    // would be lost, so start on the file now under our path.
    struct stat st {};
    if (::fstat(writer_->fd.get(), &st) != 0) return fail_errno();
    if (st.st_nlink == 0) writer_.reset();
  }
  if (!writer_) {
    if (auto r = open_writer(); !r) return r;
  }
  if (unreadable_tail_) {
    if (auto r = cut_unreadable_tail(); !r) return r;
  }
  const std::uint64_t start = writer_->end;
  if (auto written = io::write_all(writer_->fd.get(), data, size); !written) {
    // Part of the record may have reached the file. Later records written behind it would
    // be unreachable, so cut it off now, or before the next append if that fails too.
    if (io::truncate_fd(writer_->fd.get(), start)) {
      writer_->end = start;
    } else {
      unreadable_tail_ = true;
    }
    return written;
  }
  writer_->last_start = start;
  writer_->end = start + size;
  return {};
}

Result<void> Wal::append(const WalEntry& entry) {
  RecordBuffer records;
  if (auto r = records.add(entry); !r) return r;
  return append(records);
}

Result<void> Wal::append(RecordBuffer& records) {
  if (records.count_ == 0) return {};
  if (records.count_ == 1) {
    return write_bytes(records.bytes_.data() + kFrameSize, records.bytes_.size() - kFrameSize);
  }
  if (records.count_ > kMaxU32) return too_large();
  auto& b = records.bytes_;
  b[0] = kBatchOp;
  const std::uint32_t four = 4;
  std::memcpy(b.data() + 1, &four, 4);
  const auto count = static_cast<std::uint32_t>(records.count_);
  std::memcpy(b.data() + kHeaderSize, &count, 4);
  const std::uint32_t crc = checksum(kBatchOp, b.data() + kHeaderSize, 4);
  std::memcpy(b.data() + kHeaderSize + 4, &crc, 4);
  return write_bytes(b.data(), b.size());
}

Result<void> Wal::undo_last_append() {
  if (!writer_ || writer_->end == writer_->last_start) return {};
  if (auto r = io::truncate_fd(writer_->fd.get(), writer_->last_start); !r) return r;
  writer_->end = writer_->last_start;
  return {};
}

Result<void> Wal::sync() {
  if (!writer_) return {};
  if (auto r = io::sync_fd(writer_->fd.get()); !r) return r;
  // The file may be new: its name must be durable as well as its bytes.
  if (!writer_->synced_directory) {
    if (auto r = io::sync_directory(path_.parent_path()); !r) return r;
    writer_->synced_directory = true;
  }
  return {};
}

Result<std::vector<WalEntry>> Wal::read_all() {
  auto read = read_from(0);
  if (!read) return std::unexpected(std::move(read.error()));
  return std::move(read->entries);
}

Result<LogRead> Wal::read_from(std::uint64_t offset) {
  unreadable_tail_ = false;
  LogRead out;
  out.end = offset;
  auto fd = io::open_file(path_, O_RDONLY);
  if (!fd) {
    if (fd.error().io_error().os_code != ENOENT) return std::unexpected(std::move(fd.error()));
    out.shrunk = offset > 0;
    return out;
  }
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(std::move(size.error()));
  if (*size < offset) {
    out.shrunk = true;
    return out;
  }
  if (*size == offset) return out;
  const EntrySink sink = [&](std::uint64_t, std::optional<WalEntry>&& entry) {
    if (entry) out.entries.push_back(std::move(*entry));
  };
  auto pass = scan(fd->get(), *size, &sink, offset);
  if (!pass) return std::unexpected(std::move(pass.error()));
  if (pass->good_end < *size) unreadable_tail_ = true;
  out.end = pass->good_end;
  return out;
}

Result<void> Wal::reset() {
  writer_.reset();  // every append wrote its bytes whole, so nothing is left in a buffer
  unreadable_tail_ = false;
  struct stat st {};
  if (::lstat(path_.c_str(), &st) != 0 && errno == ENOENT) return {};
  return io::unlink_path(path_);
}

Result<LogScan> scan_log(const std::filesystem::path& path,
                         const std::function<void(std::uint64_t, WalEntry&&)>& on_entry) {
  LogScan log;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return log;
  auto fd = io::open_file(path, O_RDONLY);
  if (!fd) return std::unexpected(std::move(fd.error()));
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(std::move(size.error()));
  log.size = *size;
  const EntrySink sink = [&](std::uint64_t at, std::optional<WalEntry>&& entry) {
    ++log.records;
    if (!entry) {
      log.undecodable.push_back(at);
    } else if (on_entry) {
      on_entry(at, std::move(*entry));
    }
  };
  auto pass = scan(fd->get(), *size, &sink);
  if (!pass) return std::unexpected(std::move(pass.error()));
  log.stop = pass->stop;
  log.in_batch = pass->in_batch;
  log.stopped_at = log.stop == LogScan::Stop::End ? *size : pass->good_end;
  return log;
}

}  // namespace quarn_core::wal
