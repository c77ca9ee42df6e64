#include "snapshot_file.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <span>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "regular_file.hpp"

namespace varnel::inspect {
namespace {

namespace kg = knowledge_graph::graph;

#ifdef _WIN32
int open_exclusive(const std::string& path) {
  return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
}  // namespace
bool write_all(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
    const int written = ::_write(fd, bytes, chunk);
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}
namespace {
bool sync_and_close(int fd) { return ::_close(fd) == 0; }
int open_no_follow(const std::string& path) {
  return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}
#else
// O_EXCL never opens an existing name, a planted link included; O_NOFOLLOW says
// so twice.
int open_exclusive(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}
}  // namespace
bool write_all(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}
namespace {
bool sync_and_close(int fd) {
  const bool synced = ::fsync(fd) == 0;
  return ::close(fd) == 0 && synced;
}
// O_NOFOLLOW refuses a link at the name (ELOOP); O_NONBLOCK keeps a FIFO there
// from blocking the open, and the descriptor is checked to be a regular file.
int open_no_follow(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  if (::fcntl(fd, F_SETFL, 0) != 0 || ::ftruncate(fd, 0) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}
#endif
}  // namespace

int create_temporary(const std::string& name, std::string& temporary) {
  const std::filesystem::path path(name);
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x", random(), random());
    // Built by appending: GCC 12 takes `"." + std::string` for an overlapping
    // copy (a false -Wrestrict in optimised builds).
    std::string leaf = ".";
    leaf.append(path.filename().string()).append(suffix).append(".partial");
    const std::filesystem::path candidate = path.parent_path() / leaf;
    temporary = candidate.string();
    const int fd = open_exclusive(temporary);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool close_output_file(int fd) { return sync_and_close(fd); }

std::optional<std::string> planted_link_error(const std::string& path) {
  std::error_code ignored;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, ignored))) return std::nullopt;
  return path + " is a symbolic link: it is not written through; remove the link or name another file";
}

int open_output_file(const std::string& path, std::string& error) {
  if (auto refused = planted_link_error(path)) {
    error = "cannot write " + *refused;
    return -1;
  }
  const int fd = open_no_follow(path);
  if (fd >= 0) return fd;
  if (errno == ELOOP)  // a link planted since the look above
    error = "cannot write " + planted_link_error(path).value_or(path + " (a symbolic link)");
  else if (errno == EINVAL)
    error = "cannot write " + path + ": it is no regular file (a folder, FIFO or device?); name a file";
  else
    error = "cannot write " + path + ": " + std::strerror(errno) + " (check the folder and its permissions)";
  return -1;
}

bool take_snapshot(const kg::KnowledgeGraph& graph, Snapshot& out, std::string& error) {
  auto image = kg::take_snapshot_image(graph, error);
  if (!image) return false;
  out = std::move(*image);
  return true;
}

bool write_snapshot_file(const Snapshot& snapshot, const std::string& path, std::string& error) {
  const kg::SnapshotHeader header = kg::snapshot_header(snapshot);
  const std::vector<std::byte> payload = kg::snapshot_payload(snapshot);
  std::string temporary;
  const int fd = create_temporary(path, temporary);
  if (fd < 0) {
    error = "cannot write " + path + ": cannot create a temporary file beside it (" +
            std::strerror(errno) + "; folder missing or read-only?)";
    return false;
  }
  const bool written = write_all(fd, &header, sizeof(header)) && write_all(fd, payload.data(), payload.size());
  const int write_error = errno;
  if (!sync_and_close(fd) || !written) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    error = "cannot write " + path + " (" + std::strerror(write_error) + "; disk full?)";
    return false;
  }
  std::error_code failed;
  std::filesystem::rename(temporary, path, failed);
  if (failed) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    error = "cannot write " + path + ": " + failed.message();
    return false;
  }
  return true;
}

bool parse_snapshot(const unsigned char* data, std::size_t size, const std::string& name,
                    Snapshot& snapshot, std::string& error) {
  auto image = kg::parse_snapshot_bytes(std::as_bytes(std::span(data, size)), error);
  if (!image) {
    error = name + ": " + error;
    return false;
  }
  snapshot = std::move(*image);
  return true;
}

bool read_snapshot_file(const std::string& path, Snapshot& snapshot, std::string& error) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(record::open_regular_file(path, error), &std::fclose);
  if (!in) return false;
  const auto refuse = [&](const std::string& why) {
    error = path + ": " + why;
    return false;
  };
  kg::SnapshotHeader header{};
  if (std::fread(&header, sizeof header, 1, in.get()) != 1)
    return refuse("not a varnel snapshot file (no \"VARNELKG\" header)");
  const std::optional<std::uint64_t> end = record::open_file_size(in.get());
  if (!end) return refuse("read error");
  // The header is checked against the file's size before the payload is allocated.
  if (auto problem = kg::snapshot_header_error(header, *end)) return refuse(*problem);
  std::vector<std::byte> payload(header.payload_size);
  if (!payload.empty() && std::fread(payload.data(), 1, payload.size(), in.get()) != payload.size())
    return refuse("read error");
  std::string problem;
  auto image = kg::parse_snapshot_payload(header, payload, problem);
  if (!image) return refuse(problem);
  snapshot = std::move(*image);
  return true;
}

bool install_snapshot(const Snapshot& snapshot, kg::KnowledgeGraph& graph, std::string& error) {
  const kg::InstallResult result = kg::install_snapshot_image(graph, snapshot);
  if (result.status == kg::InstallStatus::Installed) return true;
  error = "the snapshot was not loaded: " + result.reason;
  return false;
}

}  // namespace varnel::inspect
