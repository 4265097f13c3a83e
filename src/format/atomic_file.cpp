#include "format/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace velmora {

namespace {

std::atomic<unsigned long> g_temp_counter{0};

int fsync_retrying(int fd) {
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

void replace_file_atomically(const std::string& path, const std::function<void(ByteSink&)>& write) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty()) throw SystemCallError(EISDIR, "open");

  // A hidden name beside the target, unique to this process and call.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = (dir == "/" ? "/" : dir + "/") + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(g_temp_counter.fetch_add(1));
    do {
      fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno != EEXIST) throw SystemCallError(errno, "open");
  }
  if (fd < 0) throw SystemCallError(EEXIST, "open");

  try {
    UniqueFd file(fd);
    FdSink sink(file.get());
    write(sink);
    if (fsync_retrying(file.get()) != 0) throw SystemCallError(errno, "fsync");
    file.close();
    if (::rename(temp.c_str(), path.c_str()) != 0) throw SystemCallError(errno, "rename");
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }

#ifdef VELMORA_TEST_HOOKS
  if (std::getenv("VELMORA_FORCE_DIRECTORY_SYNC_FAILURE") != nullptr) throw DirectorySyncError(EIO);
#endif
  int dir_fd;
  do {
    dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (dir_fd < 0 && errno == EINTR);
  if (dir_fd < 0) throw DirectorySyncError(errno);
  try {
    UniqueFd directory(dir_fd);
    if (fsync_retrying(directory.get()) != 0) throw DirectorySyncError(errno);
    directory.close();
  } catch (const DirectorySyncError&) {
    throw;
  } catch (const SystemCallError& error) {
    throw DirectorySyncError(error.error_number());
  }
}

}  // namespace velmora
