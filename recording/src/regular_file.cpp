#include "regular_file.hpp"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel::record {

std::FILE* open_regular_file(const std::string& path, std::string& error) {
#ifdef _WIN32
  // No FIFOs in the Windows file system: a named pipe is not reached by a path.
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) error = "cannot open " + path + ": " + std::strerror(errno);
  return file;
#else
  // O_NONBLOCK: the open returns at once whatever lies at the name; the check
  // below then refuses anything but a regular file before a read could wait.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    error = path + " is not a regular file (a directory, FIFO or device is not read)";
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    ::close(fd);
  }
  return file;
#endif
}

std::optional<std::uint64_t> open_file_size(std::FILE* file) {
#ifdef _WIN32
  struct _stat64 status {};
  if (_fstat64(_fileno(file), &status) != 0 || status.st_size < 0) return std::nullopt;
#else
  struct stat status {};
  if (::fstat(::fileno(file), &status) != 0 || status.st_size < 0) return std::nullopt;
#endif
  return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace varnel::record
