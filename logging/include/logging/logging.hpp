// The logging facade: levels, a process-wide maximum level and one installed
// logger. The library itself never installs a logger and never raises the level,
// so by default nothing is formatted and nothing is printed.
//
// Thread rules: set_logger and set_max_level may be called from any thread at
// any time; the logger itself must be safe to call from several threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace logging {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// A level filter: Off admits nothing, Trace admits everything.
enum class LevelFilter : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

std::string_view to_string(Level level);
std::string_view to_string(LevelFilter filter);

// One admitted message. The views are valid only during Logger::log.
struct Record {
  Level level;
  std::string_view target;
  std::string_view text;
  std::string_view module_path;
  std::string_view file;
  std::uint32_t line;
};

class Logger {
 public:
  virtual ~Logger() = default;
  virtual bool enabled(Level level, std::string_view target) const = 0;
  virtual void log(const Record& record) = 0;
  virtual void flush() = 0;
};

// Installs `logger` (not owned; it must outlive its installation). nullptr
// restores the default logger, which discards everything.
void set_logger(Logger* logger);
Logger& logger();

void set_max_level(LevelFilter filter);
LevelFilter max_level();

// The cheap test made before any formatting.
inline bool level_admitted(Level level) {
  return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(max_level());
}

namespace detail {
void dispatch(Level level, std::string_view target, std::string_view text, const char* file,
              std::uint32_t line);
}  // namespace detail

}  // namespace logging

// VARNEL_LOG(level, target, a << b << c): formats with a string stream only when
// the maximum level admits `level`.
#define VARNEL_LOG(level, target, message)                                                \
  do {                                                                                    \
    if (::logging::level_admitted(level)) {                                               \
      std::ostringstream varnel_log_stream_;                                              \
      varnel_log_stream_ << message;                                                      \
      ::logging::detail::dispatch(level, target, varnel_log_stream_.str(), __FILE__,      \
                                  static_cast<std::uint32_t>(__LINE__));                  \
    }                                                                                     \
  } while (false)

#define VARNEL_LOG_ERROR(target, message) VARNEL_LOG(::logging::Level::Error, target, message)
#define VARNEL_LOG_WARN(target, message) VARNEL_LOG(::logging::Level::Warn, target, message)
#define VARNEL_LOG_INFO(target, message) VARNEL_LOG(::logging::Level::Info, target, message)
#define VARNEL_LOG_DEBUG(target, message) VARNEL_LOG(::logging::Level::Debug, target, message)
#define VARNEL_LOG_TRACE(target, message) VARNEL_LOG(::logging::Level::Trace, target, message)
