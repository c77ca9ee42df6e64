#include "logging/logging.hpp"

namespace logging {
namespace {

class DiscardingLogger final : public Logger {
 public:
  bool enabled(Level, std::string_view) const override { return false; }
  void log(const Record&) override {}
  void flush() override {}
};

DiscardingLogger discarding_logger;
std::atomic<Logger*> installed_logger{&discarding_logger};
std::atomic<LevelFilter> max_level_filter{LevelFilter::Off};

}  // namespace

std::string_view to_string(Level level) {
  return to_string(static_cast<LevelFilter>(level));
}

std::string_view to_string(LevelFilter filter) {
  switch (filter) {
    case LevelFilter::Off: return "OFF";
    case LevelFilter::Error: return "ERROR";
    case LevelFilter::Warn: return "WARN";
    case LevelFilter::Info: return "INFO";
    case LevelFilter::Debug: return "DEBUG";
    case LevelFilter::Trace: return "TRACE";
  }
  return "UNKNOWN";
}

void set_logger(Logger* logger) {
  installed_logger.store(logger != nullptr ? logger : &discarding_logger, std::memory_order_release);
}

Logger& logger() { return *installed_logger.load(std::memory_order_acquire); }

void set_max_level(LevelFilter filter) { max_level_filter.store(filter, std::memory_order_relaxed); }

LevelFilter max_level() { return max_level_filter.load(std::memory_order_relaxed); }

namespace detail {

void dispatch(Level level, std::string_view target, std::string_view text, const char* file,
              std::uint32_t line) {
  Logger& sink = logger();
  if (!sink.enabled(level, target)) return;
  sink.log(Record{level, target, text, target, file, line});
}

}  // namespace detail
}  // namespace logging
