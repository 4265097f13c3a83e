// Where serialised bytes go and come from: a file descriptor or a block of
// memory. Failed system calls throw SystemCallError; a source that ends
// before the bytes a reader needs throws FormatError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace velmora {

// Bytes that cannot be an index: the binding raises ValueError with the text.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A system call that failed with errno `error_number`: the binding raises
// the matching OSError.
class SystemCallError : public std::runtime_error {
 public:
  SystemCallError(int error_number, const std::string& call) : std::runtime_error(call), error_number_(error_number) {}
  int error_number() const { return error_number_; }

 private:
  int error_number_;
};

// The file was replaced, but flushing its directory to disk failed: the new
// contents are in place, yet the rename itself may not survive a crash.
class DirectorySyncError : public SystemCallError {
 public:
  explicit DirectorySyncError(int error_number) : SystemCallError(error_number, "fsync of the directory") {}
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(const void* data, std::size_t len) = 0;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Total length in bytes.
  virtual std::uint64_t size() const = 0;
  // The next len bytes.
  virtual void read(void* out, std::size_t len) = 0;
};

class FdSink : public ByteSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  void write(const void* data, std::size_t len) override;

 private:
  int fd_;
};

// Writes into a caller's buffer of exactly the length that will be written.
class MemorySink : public ByteSink {
 public:
  MemorySink(std::uint8_t* data, std::size_t capacity) : data_(data), left_(capacity) {}
  void write(const void* data, std::size_t len) override;
  std::size_t left() const { return left_; }

 private:
  std::uint8_t* data_;
  std::size_t left_;
};

class FdSource : public ByteSource {
 public:
  explicit FdSource(int fd);
  std::uint64_t size() const override { return size_; }
  void read(void* out, std::size_t len) override;

 private:
  int fd_;
  std::uint64_t size_;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint64_t size() const override { return size_; }
  void read(void* out, std::size_t len) override;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

// An open file descriptor, closed when the holder goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  int get() const { return fd_; }
  // Closes now, reporting a failure (which may mean lost writes).
  void close();

 private:
  int fd_;
};

// Opens path for reading; throws SystemCallError.
int open_for_reading(const std::string& path);

}  // namespace velmora
