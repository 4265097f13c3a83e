#include "format/byte_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/invariant.h"

namespace velmora {

void FdSink::write(const void* data, std::size_t len) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (len > 0) {
    const ssize_t done = ::write(fd_, p, len);
    if (done < 0) {
      if (errno == EINTR) continue;
      throw SystemCallError(errno, "write");
    }
    p += done;
    len -= static_cast<std::size_t>(done);
  }
}

void MemorySink::write(const void* data, std::size_t len) {
  VELMORA_CHECK(len <= left_, "serialised index is longer than its computed size");
  if (len > 0) std::memcpy(data_, data, len);
  data_ += len;
  left_ -= len;
}

FdSource::FdSource(int fd) : fd_(fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) throw SystemCallError(errno, "fstat");
  if (!S_ISREG(st.st_mode)) throw SystemCallError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "open");
  size_ = static_cast<std::uint64_t>(st.st_size);
}

void FdSource::read(void* out, std::size_t len) {
  auto* p = static_cast<std::uint8_t*>(out);
  while (len > 0) {
    const ssize_t done = ::read(fd_, p, len);
    if (done < 0) {
      if (errno == EINTR) continue;
      throw SystemCallError(errno, "read");
    }
    if (done == 0) throw FormatError("the file ended early (it was truncated while being read)");
    p += done;
    len -= static_cast<std::size_t>(done);
  }
}

void MemorySource::read(void* out, std::size_t len) {
  if (len > size_ - offset_) throw FormatError("the data ended early");
  if (len > 0) std::memcpy(out, data_ + offset_, len);
  offset_ += len;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

void UniqueFd::close() {
  const int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) throw SystemCallError(errno, "close");
}

int open_for_reading(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw SystemCallError(errno, "open");
  return fd;
}

}  // namespace velmora
