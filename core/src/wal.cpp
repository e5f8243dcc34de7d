#include "quarn_core/wal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace quarn_core::wal {
namespace {

using error::fail;
using error::fail_errno;
using error::IoError;

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kHeaderSize = 5;    // op + payload length
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
  auto values = cursor.read_floats(*count);  // checks the length before allocating
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

Result<void> Wal::open_writer() {
  auto fd = io::open_file(path_, O_WRONLY | O_CREAT | O_APPEND, 0666);
  if (!fd) return std::unexpected(std::move(fd.error()));
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(std::move(size.error()));
  const int raw = fd->get();
  writer_.emplace(Writer{std::move(*fd), io::BufWriter(raw), *size});
  return {};
}

Result<void> Wal::cut_unreadable_tail() {
  const std::uint64_t good = *good_length_;
  auto size = file_size(writer_->fd.get());
  if (!size) return std::unexpected(std::move(size.error()));
  // Only ever shorten: a file that is now shorter than what we read was replaced under us,
  // and extending it would write zeros that read as a corrupt record.
  if (*size > good) {
    while (::ftruncate(writer_->fd.get(), static_cast<off_t>(good)) != 0) {
      if (errno != EINTR) return fail_errno();
    }
    writer_->end = good;
  } else {
    writer_->end = *size;
  }
  good_length_.reset();
  return {};
}

Result<void> Wal::append(const WalEntry& entry) {
  // The whole record is built in memory first: op, length (patched below), payload, then
  // the checksum, so the file receives it in one buffered sequence.
  std::vector<std::uint8_t> record;
  // Room for everything but a long metadata text, so a typical record is built without
  // reallocating.
  std::size_t vector_floats = 0;
  if (const auto* insert = std::get_if<WalEntry::Insert>(&entry.op)) {
    vector_floats = insert->vector.size();
  } else if (const auto* update = std::get_if<WalEntry::Update>(&entry.op)) {
    vector_floats = update->vector ? update->vector->size() : 0;
  }
  record.reserve(256 + entry.id().size() + vector_floats * sizeof(float));
  record.push_back(entry.op_code());
  io::put_u32(record, 0);
  auto encoded =
      std::visit([&record](const auto& e) { return write_payload(record, e); }, entry.op);
  if (!encoded) return encoded;
  const std::size_t payload_size = record.size() - kHeaderSize;
  if (payload_size > kMaxU32) return too_large();
  const auto n = static_cast<std::uint32_t>(payload_size);
  std::memcpy(record.data() + 1, &n, 4);
  io::put_u32(record, checksum(record[0], record.data() + kHeaderSize, payload_size));

  if (!writer_) {
    if (auto r = open_writer(); !r) return r;
  }
  if (good_length_) {
    if (auto r = cut_unreadable_tail(); !r) return r;
  }

  auto written = writer_->out.write(record.data(), record.size());
  if (written) written = writer_->out.flush();
  if (!written) {
    // Part of the record may have reached the file. Later records written behind it would
    // be unreachable, so cut it off now, or before the next append if that fails too.
    good_length_ = writer_->end;
    (void)cut_unreadable_tail();
    return written;
  }
  writer_->end += record.size();
  return {};
}

Result<std::vector<WalEntry>> Wal::read_all() {
  good_length_.reset();
  std::vector<WalEntry> entries;
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) return entries;

  auto fd = io::open_file(path_, O_RDONLY);
  if (!fd) return std::unexpected(std::move(fd.error()));
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(std::move(size.error()));
  if (*size == 0) return entries;

  FileReader in(fd->get());
  std::uint64_t good_end = 0;  // end of the last record whose checksum matched
  std::vector<std::byte> payload;
  for (;;) {
    std::uint8_t header[kHeaderSize];
    auto got = in.read_exact(header, kHeaderSize);
    if (!got) return std::unexpected(std::move(got.error()));
    if (!*got) break;
    std::uint32_t n;
    std::memcpy(&n, header + 1, 4);
    // A length reaching past the end of the file is a torn record. Stop here rather than
    // allocate what a damaged length field claims.
    const std::uint64_t left = *size - std::min(*size, good_end + kHeaderSize);
    if (std::uint64_t{n} + kChecksumSize > left) break;

    payload.resize(n);
    got = in.read_exact(payload.data(), n);
    if (!got) return std::unexpected(std::move(got.error()));
    if (!*got) break;
    std::uint32_t stored;
    got = in.read_exact(&stored, kChecksumSize);
    if (!got) return std::unexpected(std::move(got.error()));
    if (!*got) break;
    // A damaged length makes everything after it untrustworthy, so a mismatch ends the log
    // rather than skipping one record.
    if (checksum(header[0], payload.data(), n) != stored) break;

    good_end += kHeaderSize + n + kChecksumSize;
    if (auto entry = decode(header[0], payload)) entries.push_back(std::move(*entry));
  }
  if (good_end < *size) good_length_ = good_end;
  return entries;
}

Result<void> Wal::reset() {
  writer_.reset();  // every append flushed its record, so nothing is left in the buffer
  good_length_.reset();
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return fail_errno();
  return {};
}

Result<LogScan> scan_log(const std::filesystem::path& path,
                         const std::function<void(std::uint64_t, WalEntry&&)>& on_entry) {
  LogScan scan;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return scan;
  auto fd = io::open_file(path, O_RDONLY);
  if (!fd) return std::unexpected(std::move(fd.error()));
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(std::move(size.error()));
  scan.size = *size;

  // The same steps as read_all, recording where and why it stops.
  FileReader in(fd->get());
  std::uint64_t at = 0;
  std::vector<std::byte> payload;
  while (at < *size) {
    std::uint8_t header[kHeaderSize];
    auto got = in.read_exact(header, kHeaderSize);
    if (!got) return std::unexpected(std::move(got.error()));
    std::uint32_t n = 0;
    if (*got) std::memcpy(&n, header + 1, 4);
    if (!*got || std::uint64_t{n} + kChecksumSize > *size - std::min(*size, at + kHeaderSize)) {
      scan.stop = LogScan::Stop::Torn;
      break;
    }
    payload.resize(n);
    got = in.read_exact(payload.data(), n);
    if (!got) return std::unexpected(std::move(got.error()));
    std::uint32_t stored = 0;
    if (*got) got = in.read_exact(&stored, kChecksumSize);
    if (!got) return std::unexpected(std::move(got.error()));
    if (!*got) {  // the file shrank under us
      scan.stop = LogScan::Stop::Torn;
      break;
    }
    if (checksum(header[0], payload.data(), n) != stored) {
      scan.stop = LogScan::Stop::Checksum;
      break;
    }
    ++scan.records;
    if (auto entry = decode(header[0], payload)) {
      if (on_entry) on_entry(at, std::move(*entry));
    } else {
      scan.undecodable.push_back(at);
    }
    at += kHeaderSize + n + kChecksumSize;
  }
  scan.stopped_at = scan.stop == LogScan::Stop::End ? *size : at;
  return scan;
}

}  // namespace quarn_core::wal
