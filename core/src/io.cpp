#include "quarn_core/io.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>

namespace quarn_core::io {

using error::fail;
using error::fail_errno;
using error::IoError;

namespace {

std::atomic<FaultHook> fault_hook{nullptr};

// The errno a test asks this operation to fail with, or 0.
int injected(FileOp op, const char* path) {
  const FaultHook hook = fault_hook.load(std::memory_order_acquire);
  return hook == nullptr ? 0 : hook(op, path);
}

}  // namespace

void set_fault_hook(FaultHook hook) { fault_hook.store(hook, std::memory_order_release); }

Result<void> rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (const int e = injected(FileOp::Rename, from.c_str())) return fail(IoError::from_errno(e));
  while (::rename(from.c_str(), to.c_str()) != 0) {
    if (errno != EINTR) return fail_errno();
  }
  return {};
}

Result<void> unlink_path(const std::filesystem::path& path, bool missing_ok) {
  if (const int e = injected(FileOp::Unlink, path.c_str())) return fail(IoError::from_errno(e));
  while (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT && missing_ok) return {};
    if (errno != EINTR) return fail_errno();
  }
  return {};
}

Result<void> truncate_fd(int fd, std::uint64_t length) {
  if (const int e = injected(FileOp::Truncate, "")) return fail(IoError::from_errno(e));
  while (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return fail_errno();
  }
  return {};
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<UniqueFd> open_file(const std::filesystem::path& path, int flags, unsigned mode) {
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return fail_errno();
  }
}

Result<void> write_all(int fd, const void* data, std::size_t size) {
  if (size == 0) return {};
  if (const int e = injected(FileOp::Write, "")) return fail(IoError::from_errno(e));
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_errno();
    }
    if (n == 0) return fail(IoError::write_zero());
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

Result<void> pwrite_all(int fd, const void* data, std::size_t size, std::uint64_t offset) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_errno();
    }
    if (n == 0) return fail(IoError::write_zero());
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

std::uint32_t crc32_of(std::span<const std::byte> bytes, std::uint32_t crc) {
  return static_cast<std::uint32_t>(
      ::crc32_z(crc, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

Result<std::vector<std::byte>> read_file(const std::filesystem::path& path) {
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return std::unexpected(std::move(fd.error()));
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return fail_errno();
  std::vector<std::byte> data;
  data.reserve(static_cast<std::size_t>(st.st_size));
  std::byte chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd->get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_errno();
    }
    if (n == 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  return data;
}

Result<void> sync_fd(int fd) {
  if (const int e = injected(FileOp::Sync, "")) return fail(IoError::from_errno(e));
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return fail_errno();
  }
  return {};
}

Result<void> sync_directory(const std::filesystem::path& dir) {
  auto fd = open_file(dir, O_RDONLY | O_DIRECTORY);
  if (!fd) return std::unexpected(std::move(fd.error()));
  return sync_fd(fd->get());
}

MappedRegion& MappedRegion::operator=(MappedRegion&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void MappedRegion::reset() {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

Result<MappedRegion> MappedRegion::map(int fd, std::size_t size) {
  MappedRegion region;
  if (size == 0) return region;
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return fail_errno();
  region.data_ = p;
  region.size_ = size;
  return region;
}

Result<MappedRegion> map_file(const std::filesystem::path& path) {
  auto fd = open_file(path, O_RDONLY | O_CLOEXEC);
  if (!fd) return std::unexpected(std::move(fd.error()));
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return fail_errno();
  return MappedRegion::map(fd->get(), static_cast<std::size_t>(st.st_size));
}

Result<void> BufWriter::write(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::byte*>(data);
  if (buf_.size() + size <= kCapacity) {
    buf_.insert(buf_.end(), p, p + size);
    return {};
  }
  if (auto r = flush(); !r) return r;
  // Large writes go straight through rather than being chopped into buffer-sized pieces.
  if (size >= kCapacity) return write_all(fd_, p, size);
  buf_.insert(buf_.end(), p, p + size);
  return {};
}

Result<void> BufWriter::flush() {
  if (buf_.empty()) return {};
  auto r = write_all(fd_, buf_.data(), buf_.size());
  buf_.clear();
  return r;
}

Result<std::uint8_t> ByteCursor::read_u8() {
  if (remaining() < 1) return fail(IoError::unexpected_eof());
  return static_cast<std::uint8_t>(data_[pos_++]);
}

Result<std::uint32_t> ByteCursor::read_u32() {
  if (remaining() < 4) return fail(IoError::unexpected_eof());
  std::uint32_t v;
  std::memcpy(&v, data_.data() + pos_, 4);
  pos_ += 4;
  return v;
}

Result<float> ByteCursor::read_f32() {
  if (remaining() < 4) return fail(IoError::unexpected_eof());
  float v;
  std::memcpy(&v, data_.data() + pos_, 4);
  pos_ += 4;
  return v;
}

Result<std::span<const std::byte>> ByteCursor::read_bytes(std::size_t n) {
  if (remaining() < n) return fail(IoError::unexpected_eof());
  auto view = data_.subspan(pos_, n);
  pos_ += n;
  return view;
}

Result<std::vector<float>> ByteCursor::read_floats(std::size_t n) {
  if (n > remaining() / 4) return fail(IoError::unexpected_eof());
  std::vector<float> out(n);
  if (n > 0) std::memcpy(out.data(), data_.data() + pos_, n * 4);
  pos_ += n * 4;
  return out;
}

std::optional<std::string> utf8_error(std::span<const std::byte> bytes) {
  const std::size_t n = bytes.size();
  auto at = [&](std::size_t i) { return static_cast<unsigned>(bytes[i]); };
  std::size_t i = 0;
  while (i < n) {
    const unsigned lead = at(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t width;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      width = 3;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      width = 4;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      return "invalid utf-8 sequence of 1 bytes from index " + std::to_string(i);
    }
    std::size_t good = 1;  // bytes of this sequence that are valid so far
    for (; good < width; ++good) {
      if (i + good >= n) {
        return "incomplete utf-8 byte sequence from index " + std::to_string(i);
      }
      const unsigned c = at(i + good);
      const bool ok = good == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
      if (!ok) {
        return "invalid utf-8 sequence of " + std::to_string(good) + " bytes from index " +
               std::to_string(i);
      }
    }
    i += width;
  }
  return std::nullopt;
}

}  // namespace quarn_core::io
