#include "logging/logging.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Captured {
  logging::Level level;
  std::string target;
  std::string text;
};

class CapturingLogger final : public logging::Logger {
 public:
  bool enabled(logging::Level, std::string_view) const override { return true; }
  void log(const logging::Record& r) override {
    records.push_back({r.level, std::string(r.target), std::string(r.text)});
  }
  void flush() override { ++flushes; }
  std::vector<Captured> records;
  int flushes = 0;
};

// Counts how often a message argument was turned into text.
struct FormatProbe {
  int* count;
};
std::ostream& operator<<(std::ostream& out, const FormatProbe& probe) {
  ++*probe.count;
  return out << "probe";
}

class LoggingTest : public ::testing::Test {
 protected:
  void TearDown() override {
    logging::set_logger(nullptr);
    logging::set_max_level(logging::LevelFilter::Off);
  }
  CapturingLogger capture;
};

TEST_F(LoggingTest, StartsOffWithADiscardingLogger) {
  EXPECT_EQ(logging::max_level(), logging::LevelFilter::Off);
  EXPECT_FALSE(logging::level_admitted(logging::Level::Error));
  EXPECT_FALSE(logging::logger().enabled(logging::Level::Error, "any"));
}

TEST_F(LoggingTest, NothingIsFormattedWhileOff) {
  logging::set_logger(&capture);
  int formatted = 0;
  VARNEL_LOG_ERROR("t", FormatProbe{&formatted});
  VARNEL_LOG_TRACE("t", FormatProbe{&formatted});
  EXPECT_EQ(formatted, 0);
  EXPECT_TRUE(capture.records.empty());
}

TEST_F(LoggingTest, MaximumLevelFiltersBeforeFormatting) {
  logging::set_logger(&capture);
  logging::set_max_level(logging::LevelFilter::Info);
  int formatted = 0;
  VARNEL_LOG_ERROR("mod::a", "code " << 183);
  VARNEL_LOG_INFO("mod::b", FormatProbe{&formatted});
  VARNEL_LOG_DEBUG("mod::c", FormatProbe{&formatted});
  ASSERT_EQ(capture.records.size(), 2u);
  EXPECT_EQ(formatted, 1);
  EXPECT_EQ(capture.records[0].level, logging::Level::Error);
  EXPECT_EQ(capture.records[0].target, "mod::a");
  EXPECT_EQ(capture.records[0].text, "code 183");
  EXPECT_EQ(capture.records[1].text, "probe");
}

TEST_F(LoggingTest, UninstallingRestoresTheDiscardingLogger) {
  logging::set_logger(&capture);
  logging::set_max_level(logging::LevelFilter::Trace);
  logging::set_logger(nullptr);
  VARNEL_LOG_ERROR("t", "dropped");
  EXPECT_TRUE(capture.records.empty());
  logging::logger().flush();
  EXPECT_EQ(capture.flushes, 0);
}

TEST(LoggingText, LevelNames) {
  EXPECT_EQ(logging::to_string(logging::LevelFilter::Off), "OFF");
  EXPECT_EQ(logging::to_string(logging::Level::Error), "ERROR");
  EXPECT_EQ(logging::to_string(logging::Level::Warn), "WARN");
  EXPECT_EQ(logging::to_string(logging::Level::Info), "INFO");
  EXPECT_EQ(logging::to_string(logging::Level::Debug), "DEBUG");
  EXPECT_EQ(logging::to_string(logging::Level::Trace), "TRACE");
}

}  // namespace
