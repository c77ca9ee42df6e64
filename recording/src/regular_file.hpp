// Opening a file to read that another user may have planted something else at:
// a FIFO under the name would block the open (and every read) until someone
// writes into it, and a device never ends. Only a regular file is read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace varnel::record {

// The file at `path` opened for binary reading, or null with `error` saying why
// ("cannot open PATH: reason", or that PATH is not a regular file). Never blocks
// on what lies at the name. The caller closes it (std::fclose).
std::FILE* open_regular_file(const std::string& path, std::string& error);

// The size of the open file in bytes, or nothing when it cannot be told. Asked of
// the file itself, not of its name, which may point elsewhere by now.
std::optional<std::uint64_t> open_file_size(std::FILE* file);

}  // namespace varnel::record
