// File and byte helpers shared by the on-disk formats: an owned descriptor, an 8192-byte
// buffered writer, and a bounds-checked little-endian cursor over untrusted bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarn_core/error.hpp"

namespace quarn_core::io {

static_assert(std::endian::native == std::endian::little,
              "the file formats are little-endian and written with plain copies");

// Owns one file descriptor; closes it on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset();

 private:
  int fd_ = -1;
};

// The system calls that change files go through these wrappers, so that tests can make any
// one of them fail (see set_fault_hook). Each retries EINTR and returns an Io error.
enum class FileOp { Write, Sync, Rename, Unlink, Truncate };

// Called before every wrapped operation with the operation and its path (empty for writes
// and syncs of a descriptor); a non-zero return is taken as that errno and the operation is
// not performed. For tests only; nullptr (the default) removes the hook. Not thread-safe
// against calls in flight: install it while no other thread does I/O.
using FaultHook = int (*)(FileOp op, const char* path);
void set_fault_hook(FaultHook hook);

// rename(2), unlink(2) (ENOENT is not an error when `missing_ok`), ftruncate(2).
Result<void> rename_path(const std::filesystem::path& from, const std::filesystem::path& to);
Result<void> unlink_path(const std::filesystem::path& path, bool missing_ok = true);
Result<void> truncate_fd(int fd, std::uint64_t length);

// open(2) with EINTR retried; an Io error on failure.
Result<UniqueFd> open_file(const std::filesystem::path& path, int flags, unsigned mode = 0666);

// Writes all of data, retrying short writes and EINTR.
Result<void> write_all(int fd, const void* data, std::size_t size);
// The same at a given offset (pwrite), leaving the descriptor's own offset alone.
Result<void> pwrite_all(int fd, const void* data, std::size_t size, std::uint64_t offset);

// Reads the whole file into memory.
Result<std::vector<std::byte>> read_file(const std::filesystem::path& path);
// CRC-32 (zlib's) of the bytes, continuing from `crc` (0 to start).
std::uint32_t crc32_of(std::span<const std::byte> bytes, std::uint32_t crc = 0);

// fsync of a file or of a directory (so that renames in it are durable).
Result<void> sync_fd(int fd);
Result<void> sync_directory(const std::filesystem::path& dir);

// A read-only shared memory mapping of a whole file; munmap on destruction. Move-only.
// A zero-length file gives an empty region with no mapping.
class MappedRegion {
 public:
  MappedRegion() = default;
  MappedRegion(MappedRegion&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MappedRegion& operator=(MappedRegion&& other) noexcept;
  MappedRegion(const MappedRegion&) = delete;
  MappedRegion& operator=(const MappedRegion&) = delete;
  ~MappedRegion() { reset(); }

  // Maps `size` bytes of fd from offset 0.
  static Result<MappedRegion> map(int fd, std::size_t size);

  std::span<const std::byte> bytes() const { return {static_cast<const std::byte*>(data_), size_}; }
  const void* data() const { return data_; }
  std::size_t size() const { return size_; }
  void reset();

 private:
  void* data_ = nullptr;
  std::size_t size_ = 0;
};

// Maps the whole of a file read-only. For files that are only ever replaced by a rename, never
// changed in place: the mapping keeps the file it was made of.
Result<MappedRegion> map_file(const std::filesystem::path& path);

// Collects writes in an 8192-byte buffer and hands them to the descriptor when it fills
// and on flush(). Does not own the descriptor. Not thread-safe.
class BufWriter {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufWriter(int fd) : fd_(fd) { buf_.reserve(kCapacity); }

  Result<void> write(const void* data, std::size_t size);
  Result<void> write_u8(std::uint8_t v) { return write(&v, 1); }
  Result<void> write_u32(std::uint32_t v) { return write(&v, 4); }
  Result<void> write_f32(float v) { return write(&v, 4); }
  Result<void> write_floats(std::span<const float> v) { return write(v.data(), v.size() * 4); }
  Result<void> flush();

 private:
  int fd_;
  std::vector<std::byte> buf_;
};

// Passes writes through to a BufWriter and keeps the CRC-32 of everything written.
class CrcWriter {
 public:
  explicit CrcWriter(BufWriter& w) : w_(w) {}
  Result<void> write(const void* data, std::size_t size) {
    crc_ = crc32_of({static_cast<const std::byte*>(data), size}, crc_);
    return w_.write(data, size);
  }
  Result<void> u32(std::uint32_t v) { return write(&v, 4); }
  Result<void> u64(std::uint64_t v) { return write(&v, 8); }
  Result<void> string(std::string_view s) {
    if (auto r = u32(static_cast<std::uint32_t>(s.size())); !r) return r;
    return write(s.data(), s.size());
  }
  std::uint32_t crc() const { return crc_; }

 private:
  BufWriter& w_;
  std::uint32_t crc_ = 0;
};

// Reads little-endian values from a byte slice that it advances; every read past the end
// fails with the end-of-data error ("failed to fill whole buffer") and consumes nothing.
class ByteCursor {
 public:
  explicit ByteCursor(std::span<const std::byte> data) : data_(data) {}

  std::size_t remaining() const { return data_.size() - pos_; }
  std::size_t position() const { return pos_; }
  std::span<const std::byte> rest() const { return data_.subspan(pos_); }

  Result<std::uint8_t> read_u8();
  Result<std::uint32_t> read_u32();
  Result<float> read_f32();
  // A view of the next n bytes, valid as long as the underlying data.
  Result<std::span<const std::byte>> read_bytes(std::size_t n);
  // n floats, copied out (the source may be unaligned).
  Result<std::vector<float>> read_floats(std::size_t n);

 private:
  std::span<const std::byte> data_;
  std::size_t pos_ = 0;
};

// Validates UTF-8. Returns nothing for valid text, otherwise the decoding error's text:
// "invalid utf-8 sequence of N bytes from index I" for a bad sequence, or
// "incomplete utf-8 byte sequence from index I" when the data ends inside one.
std::optional<std::string> utf8_error(std::span<const std::byte> bytes);

// Appends little-endian values to a growable byte buffer (payloads built in memory).
inline void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  std::uint8_t b[4];
  std::memcpy(b, &v, 4);
  out.insert(out.end(), b, b + 4);
}
inline void put_bytes(std::vector<std::uint8_t>& out, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  out.insert(out.end(), p, p + size);
}

}  // namespace quarn_core::io
