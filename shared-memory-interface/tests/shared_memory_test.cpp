// The named region across real processes: the program starts copies of itself
// with "--child ROLE ARGS..." (see run_child) and judges them by exit code and
// by what they leave in shared regions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "logging/logging.hpp"
#include "shared_memory_interface/shared_memory.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

using shared_memory_interface::shared_memory::SharedMemory;

// The record the tests keep in their regions.
struct Probe {
  std::uint64_t words[16];
};
struct Big {
  std::uint8_t bytes[1 << 20];
};

using ProbeMemory = SharedMemory<Probe>;

constexpr std::uint32_t kSize = 64 * 1024;
constexpr std::uint64_t kPattern = 0x5641524e454c2131;  // written by whoever sets a region up
constexpr std::uint64_t kReply = 0x4f50454e45522121;    // written back by a child
constexpr auto kPatience = std::chrono::seconds(60);   // bounds every wait, never judged

// Words of a control region through which parent and children coordinate.
enum ControlWord { kReady = 0, kArrived = 1, kGo = 2, kHolding = 3 };

std::uint64_t load(Probe* probe, int word) {
  return std::atomic_ref<std::uint64_t>(probe->words[word]).load();
}
void store(Probe* probe, int word, std::uint64_t value) {
  std::atomic_ref<std::uint64_t>(probe->words[word]).store(value);
}
void increment(Probe* probe, int word) {
  std::atomic_ref<std::uint64_t>(probe->words[word]).fetch_add(1);
}

bool wait_until(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int process_id() {
#ifdef _WIN32
  return static_cast<int>(GetCurrentProcessId());
#else
  return static_cast<int>(getpid());
#endif
}

// Unique per test and per run, so parallel runs never meet.
std::string unique_name(const char* what) {
  static int counter = 0;
  return std::string("varnel_test_") + what + "_" + std::to_string(process_id()) + "_" +
         std::to_string(++counter);
}

bool all_zero(const void* data, std::size_t size) {
  static const std::vector<unsigned char> zeros(1 << 16);
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t at = 0; at < size; at += zeros.size()) {
    if (std::memcmp(bytes + at, zeros.data(), std::min(zeros.size(), size - at)) != 0) return false;
  }
  return true;
}

// ---------------------------------------------------------------- log capture

struct LoggedMessage {
  logging::Level level;
  std::string target;
  std::string text;
  bool operator==(const LoggedMessage&) const = default;
};

void PrintTo(const LoggedMessage& message, std::ostream* out) {
  *out << logging::to_string(message.level) << " " << message.target << " \"" << message.text
       << "\"";
}

class CapturingLogger final : public logging::Logger {
 public:
  explicit CapturingLogger(logging::LevelFilter level) {
    logging::set_logger(this);
    logging::set_max_level(level);
  }
  ~CapturingLogger() override {
    logging::set_max_level(logging::LevelFilter::Off);
    logging::set_logger(nullptr);
  }
  bool enabled(logging::Level, std::string_view) const override { return true; }
  void log(const logging::Record& record) override {
    std::lock_guard lock(mutex_);
    messages_.push_back({record.level, std::string(record.target), std::string(record.text)});
  }
  void flush() override {}
  std::vector<LoggedMessage> messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::vector<LoggedMessage> messages_;
};

constexpr const char* kInterface = "shared_memory_interface::memory_interface";
constexpr const char* kOwner = "shared_memory_interface::shared_memory";

LoggedMessage initialized(const std::string& name) {
  return {logging::Level::Info, kOwner, "[Shared memory]: Region " + name + " initialized!"};
}
LoggedMessage initialization_failed(const std::string& name) {
  return {logging::Level::Error, kOwner,
          "[Shared memory]: Region " + name + " initialization failed!"};
}
LoggedMessage not_created(std::uint32_t code) {
  return {logging::Level::Error, kInterface,
          "[Shared memory]: Region cannot be created: " + std::to_string(code)};
}
[[maybe_unused]] LoggedMessage not_mapped(std::uint32_t code) {
  return {logging::Level::Error, kInterface,
          "[Shared memory]: File view cannot be mapped: " + std::to_string(code)};
}

#ifdef _WIN32
constexpr std::uint32_t kInvalidName = ERROR_INVALID_NAME;
constexpr std::uint32_t kNotFound = ERROR_FILE_NOT_FOUND;
constexpr std::uint32_t kTooSmall = ERROR_BAD_LENGTH;
#else
constexpr std::uint32_t kInvalidName = EINVAL;
constexpr std::uint32_t kNotFound = ENOENT;
constexpr std::uint32_t kTooSmall = EMSGSIZE;
#endif

void expect_not_set_up(const ProbeMemory& memory) {
  EXPECT_FALSE(memory.is_initialized());
  EXPECT_FALSE(memory.already_exists());
  EXPECT_EQ(memory.get_data_ref(), nullptr);
}

// ---------------------------------------------------------------- child processes

class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
#ifdef _WIN32
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(exe) + L"\" --child";
    for (const auto& arg : args) line += L" " + std::wstring(arg.begin(), arg.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(exe, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info)) {
      CloseHandle(info.hThread);
      process_ = info.hProcess;
    }
#else
    std::vector<std::string> all{"/proc/self/exe", "--child"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
#endif
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child(Child&& other) noexcept { *this = std::move(other); }
  Child& operator=(Child&& other) noexcept {
#ifdef _WIN32
    std::swap(process_, other.process_);
#else
    std::swap(pid_, other.pid_);
#endif
    return *this;
  }
  ~Child() {
    if (started()) {
      kill();
      wait();
    }
  }

  bool started() const {
#ifdef _WIN32
    return process_ != nullptr;
#else
    return pid_ > 0;
#endif
  }

  // The exit code, or -1 when the child did not exit normally.
  int wait() {
    int code = -1;
#ifdef _WIN32
    if (process_ == nullptr) return code;
    WaitForSingleObject(process_, INFINITE);
    DWORD exit_code = 0;
    if (GetExitCodeProcess(process_, &exit_code)) code = static_cast<int>(exit_code);
    CloseHandle(process_);
    process_ = nullptr;
#else
    if (pid_ <= 0) return code;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) code = WEXITSTATUS(status);
    pid_ = -1;
#endif
    return code;
  }

  // Ends the child abruptly, as a crash would (SIGKILL / TerminateProcess).
  void kill() {
#ifdef _WIN32
    if (process_ != nullptr) TerminateProcess(process_, 137);
#else
    if (pid_ > 0) ::kill(pid_, SIGKILL);
#endif
  }

 private:
#ifdef _WIN32
  HANDLE process_ = nullptr;
#else
  pid_t pid_ = -1;
#endif
};

int run_to_end(const std::vector<std::string>& args) { return Child(args).wait(); }

// Exit codes of the children.
enum ChildCode {
  kPassed = 0,
  kNotSetUp = 2,
  kWrongExistence = 3,
  kWrongBytes = 4,
  kTimedOut = 5,
  kCreator = 10,
  kOpener = 11,
};

// Opens an existing region, checks the pattern and writes the reply.
int child_open(const std::string& name) {
  ProbeMemory memory(name, kSize);
  if (!memory.initialize()) return kNotSetUp;
  if (!memory.already_exists()) return kWrongExistence;
  if (load(memory.get_data_ref(), 0) != kPattern) return kWrongBytes;
  store(memory.get_data_ref(), 1, kReply);
  return kPassed;
}

int child_read(const std::string& name) {
  ProbeMemory memory(name, kSize);
  if (!memory.initialize_read_only()) return kNotSetUp;
  return load(memory.get_data_ref(), 0) == kPattern ? kPassed : kWrongBytes;
}

// Creates a region, writes to it and leaves.
int child_create_and_leave(const std::string& name) {
  ProbeMemory memory(name, kSize);
  if (!memory.initialize()) return kNotSetUp;
  if (memory.already_exists()) return kWrongExistence;
  store(memory.get_data_ref(), 0, kPattern);
  return kPassed;
}

// Creates a region, writes to it, says so through the control region and waits
// to be killed.
int child_hold(const std::string& name, const std::string& control_name) {
  ProbeMemory memory(name, kSize);
  ProbeMemory control(control_name, kSize);
  if (!memory.initialize() || !control.initialize()) return kNotSetUp;
  if (memory.already_exists() || !control.already_exists()) return kWrongExistence;
  store(memory.get_data_ref(), 0, kPattern);
  store(control.get_data_ref(), kReady, 1);
  std::this_thread::sleep_for(kPatience);
  return kTimedOut;
}

// Waits for the start signal, sets the region up together with its siblings
// and holds it until all of them hold it.
int child_race(const std::string& name, const std::string& control_name, std::uint64_t count) {
  ProbeMemory control(control_name, kSize);
  if (!control.initialize()) return kNotSetUp;
  Probe* signals = control.get_data_ref();
  increment(signals, kArrived);
  if (!wait_until([&] { return load(signals, kGo) != 0; })) return kTimedOut;
  ProbeMemory memory(name, kSize);
  if (!memory.initialize()) return kNotSetUp;
  increment(signals, kHolding);
  if (!wait_until([&] { return load(signals, kHolding) == count; })) return kTimedOut;
  return memory.already_exists() ? kOpener : kCreator;
}

// Sets the region up and releases it again and again while the parent holds it.
int child_churn(const std::string& name, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    ProbeMemory memory(name, kSize);
    if (!memory.initialize()) return kNotSetUp;
    if (!memory.already_exists()) return kWrongExistence;
    if (load(memory.get_data_ref(), 0) != kPattern) return kWrongBytes;
  }
  return kPassed;
}

#ifndef _WIN32
// Runs inside a mount namespace whose /dev/shm is an 8 MiB tmpfs.
int child_small_tmpfs(const std::string& name) {
  CapturingLogger logger(logging::LevelFilter::Info);
  SharedMemory<Big> too_big(name, 16u << 20);
  if (too_big.initialize()) return kWrongExistence;
  if (too_big.get_data_ref() != nullptr || too_big.is_initialized()) return kWrongBytes;
  const std::vector<LoggedMessage> expected{not_created(ENOSPC), initialization_failed(name)};
  if (logger.messages() != expected) return kWrongBytes;
  // Nothing of the failed attempt is left behind: the name can be created anew.
  SharedMemory<Big> fits(name, 4u << 20);
  if (!fits.initialize()) return kNotSetUp;
  if (fits.already_exists()) return kWrongExistence;
  return all_zero(fits.get_data_ref(), sizeof(Big)) ? kPassed : kWrongBytes;
}
#endif

int run_child(int argc, char** argv) {
  const std::string role = argv[0];
  const std::string name = argc > 1 ? argv[1] : "";
  if (role == "open") return child_open(name);
  if (role == "read") return child_read(name);
  if (role == "create-and-leave") return child_create_and_leave(name);
  if (role == "hold" && argc > 2) return child_hold(name, argv[2]);
  if (role == "race" && argc > 3) return child_race(name, argv[2], std::stoull(argv[3]));
  if (role == "churn" && argc > 2) return child_churn(name, std::stoi(argv[2]));
#ifndef _WIN32
  if (role == "small-tmpfs") return child_small_tmpfs(name);
#endif
  return 99;
}

// ---------------------------------------------------------------- tests

TEST(SharedRegion, CreatorAndOpenerInAnotherProcessShareTheBytes) {
  const std::string name = unique_name("share");
  ProbeMemory creator(name, kSize);
  ASSERT_TRUE(creator.initialize());
  EXPECT_FALSE(creator.already_exists());
  EXPECT_GE(creator.view_size(), kSize);
  EXPECT_TRUE(all_zero(creator.get_data_ref(), kSize));
  store(creator.get_data_ref(), 0, kPattern);

  EXPECT_EQ(run_to_end({"open", name}), kPassed);
  EXPECT_EQ(load(creator.get_data_ref(), 1), kReply);
  EXPECT_EQ(run_to_end({"read", name}), kPassed);
}

TEST(SharedRegion, TwoHandlesInOneProcessAreTwoHolders) {
  const std::string name = unique_name("handles");
  ProbeMemory first(name, kSize);
  ProbeMemory second(name, kSize);
  ASSERT_TRUE(first.initialize());
  ASSERT_TRUE(second.initialize());
  EXPECT_FALSE(first.already_exists());
  EXPECT_TRUE(second.already_exists());
  store(first.get_data_ref(), 0, kPattern);
  EXPECT_EQ(load(second.get_data_ref(), 0), kPattern);

  first.release();
  expect_not_set_up(first);
  ASSERT_TRUE(first.initialize());  // the second handle kept the region alive
  EXPECT_TRUE(first.already_exists());
  EXPECT_EQ(load(first.get_data_ref(), 0), kPattern);

  first.release();
  second.release();
  ASSERT_TRUE(first.initialize());
  EXPECT_FALSE(first.already_exists());
  EXPECT_TRUE(all_zero(first.get_data_ref(), kSize));
}

TEST(SharedRegion, EndsWithItsLastHolderProcess) {
  const std::string name = unique_name("ends");
  ASSERT_EQ(run_to_end({"create-and-leave", name}), kPassed);
  ProbeMemory memory(name, kSize);
  ASSERT_TRUE(memory.initialize());
  EXPECT_FALSE(memory.already_exists());
  EXPECT_TRUE(all_zero(memory.get_data_ref(), kSize));
}

TEST(SharedRegion, KilledHolderDoesNotKeepTheRegionAlive) {
  const std::string name = unique_name("killed");
  ProbeMemory control(unique_name("control"), kSize);
  ASSERT_TRUE(control.initialize());
  Child holder({"hold", name, control.name()});
  ASSERT_TRUE(holder.started());
  ASSERT_TRUE(wait_until([&] { return load(control.get_data_ref(), kReady) != 0; }));
  holder.kill();
  holder.wait();

  ProbeMemory memory(name, kSize);
  ASSERT_TRUE(memory.initialize());
  EXPECT_FALSE(memory.already_exists());
  EXPECT_TRUE(all_zero(memory.get_data_ref(), kSize));
}

TEST(SharedRegion, ConcurrentSetUpsHaveExactlyOneCreator) {
#ifdef _WIN32
  constexpr int kRounds = 1;  // a Wine process takes about a second to start
#else
  constexpr int kRounds = 4;
#endif
  constexpr int kProcesses = 8;
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = unique_name("race");
    ProbeMemory control(unique_name("control"), kSize);
    ASSERT_TRUE(control.initialize());
    std::vector<Child> children;
    for (int i = 0; i < kProcesses; ++i) {
      children.emplace_back(std::vector<std::string>{"race", name, control.name(),
                                                     std::to_string(kProcesses)});
    }
    ASSERT_TRUE(wait_until([&] { return load(control.get_data_ref(), kArrived) == kProcesses; }));
    store(control.get_data_ref(), kGo, 1);
    int creators = 0;
    int openers = 0;
    for (auto& child : children) {
      const int code = child.wait();
      creators += code == kCreator;
      openers += code == kOpener;
    }
    EXPECT_EQ(creators, 1) << "round " << round;
    EXPECT_EQ(openers, kProcesses - 1) << "round " << round;
  }
}

TEST(SharedRegion, ChurningHoldersNeverLoseALivingRegion) {
  const std::string name = unique_name("churn");
  ProbeMemory keeper(name, kSize);
  ASSERT_TRUE(keeper.initialize());
  store(keeper.get_data_ref(), 0, kPattern);
  std::vector<Child> children;
  for (int i = 0; i < 4; ++i) children.emplace_back(std::vector<std::string>{"churn", name, "200"});
  for (auto& child : children) EXPECT_EQ(child.wait(), kPassed);
  EXPECT_EQ(load(keeper.get_data_ref(), 0), kPattern);

  keeper.release();
  ASSERT_TRUE(keeper.initialize());
  EXPECT_FALSE(keeper.already_exists());
}

TEST(SharedRegion, ReaderSeesTheWritersBytesAndHoldsTheRegion) {
  const std::string name = unique_name("reader");
  ProbeMemory writer(name, kSize);
  ASSERT_TRUE(writer.initialize());
  store(writer.get_data_ref(), 0, kPattern);
  ProbeMemory reader(name, kSize);
  ASSERT_TRUE(reader.initialize_read_only());
  EXPECT_TRUE(reader.already_exists());
  EXPECT_TRUE(reader.is_read_only());
  EXPECT_EQ(load(reader.get_data_ref(), 0), kPattern);

  reader.zero_data();  // a read-only view is never written
  EXPECT_EQ(load(reader.get_data_ref(), 0), kPattern);

  writer.release();  // the reader alone keeps the region alive
  ASSERT_TRUE(writer.initialize());
  EXPECT_TRUE(writer.already_exists());
  EXPECT_EQ(load(writer.get_data_ref(), 0), kPattern);
  writer.zero_data();
  EXPECT_EQ(load(reader.get_data_ref(), 0), 0u);
}

TEST(SharedRegion, ReadOnlyAttachToAMissingRegionFails) {
  CapturingLogger logger(logging::LevelFilter::Info);
  const std::string name = unique_name("missing");
  ProbeMemory reader(name, kSize);
  EXPECT_FALSE(reader.initialize_read_only());
  expect_not_set_up(reader);
  EXPECT_EQ(logger.messages(),
            (std::vector<LoggedMessage>{not_created(kNotFound), initialization_failed(name)}));

  // Attaching never creates: the name is still free for a creator afterwards.
  ProbeMemory creator(name, kSize);
  ASSERT_TRUE(creator.initialize());
  EXPECT_FALSE(creator.already_exists());
}

TEST(SharedRegion, RegionTooSmallForTheRecordIsRefused) {
  const std::string name = unique_name("small");
  ProbeMemory small(name, kSize);
  ASSERT_TRUE(small.initialize());
  store(small.get_data_ref(), 0, kPattern);

  CapturingLogger logger(logging::LevelFilter::Info);
  SharedMemory<Big> big(name, sizeof(Big));  // the region keeps its creator's size
  EXPECT_FALSE(big.initialize());
  EXPECT_FALSE(big.is_initialized());
  EXPECT_EQ(big.get_data_ref(), nullptr);
  EXPECT_EQ(big.refusal(), shared_memory_interface::memory_interface::Refusal::TooSmall);
  EXPECT_NE(big.failure_text().find(std::to_string(kSize) + " bytes"),
            std::string::npos)
      << big.failure_text();
  EXPECT_EQ(logger.messages(),
            (std::vector<LoggedMessage>{not_created(kTooSmall), initialization_failed(name)}));
  EXPECT_EQ(load(small.get_data_ref(), 0), kPattern);

  small.release();  // the refused attempt holds nothing
  ASSERT_TRUE(small.initialize());
  EXPECT_FALSE(small.already_exists());
}

TEST(SharedRegionLog, SuccessIsReportedAtInfoLevel) {
  const std::string name = unique_name("log");
  {
    CapturingLogger logger(logging::LevelFilter::Info);
    ProbeMemory memory(name, kSize);
    ASSERT_TRUE(memory.initialize());
    EXPECT_EQ(logger.messages(), std::vector<LoggedMessage>{initialized(name)});
  }
  {
    CapturingLogger logger(logging::LevelFilter::Error);
    ProbeMemory memory(name, kSize);
    ASSERT_TRUE(memory.initialize());
    EXPECT_TRUE(logger.messages().empty());
  }
}

TEST(SharedRegionLog, UnusableNamesAreRefused) {
  CapturingLogger logger(logging::LevelFilter::Info);
  const std::string embedded_zero("varnel\0test", 11);
  for (const std::string& name : {embedded_zero, std::string()}) {
    ProbeMemory memory(name, kSize);
    EXPECT_FALSE(memory.initialize());
    expect_not_set_up(memory);
  }
  EXPECT_EQ(logger.messages(),
            (std::vector<LoggedMessage>{not_created(kInvalidName),
                                        initialization_failed(embedded_zero),
                                        not_created(kInvalidName), initialization_failed("")}));
}

TEST(SharedRegionLog, NothingIsLoggedByDefault) {
  CapturingLogger logger(logging::LevelFilter::Off);
  ProbeMemory memory(std::string("bad\0name", 8), kSize);
  EXPECT_FALSE(memory.initialize());
  EXPECT_TRUE(logger.messages().empty());
}

#ifdef _WIN32
// A mapping object of that name that exists but cannot be viewed for writing:
// one over a file opened for reading only.
TEST(SharedRegionLog, UnmappableViewIsReportedAndClosed) {
  const std::string name = unique_name("unmappable");
  const std::wstring wide(name.begin(), name.end());
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  HANDLE file = CreateFileW(exe, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE read_only = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, wide.c_str());
  ASSERT_NE(read_only, nullptr);
  CapturingLogger logger(logging::LevelFilter::Info);
  ProbeMemory memory(name, kSize);
  EXPECT_FALSE(memory.initialize());
  expect_not_set_up(memory);
  EXPECT_EQ(logger.messages(), (std::vector<LoggedMessage>{not_mapped(ERROR_ACCESS_DENIED),
                                                           initialization_failed(name)}));
  CloseHandle(read_only);
  CloseHandle(file);
}
#else
// A region object that exists, is held, but has no bytes: refused before it is
// mapped, so that no read can run past the object's end.
TEST(SharedRegionLog, EmptyRegionObjectIsRefusedBeforeMapping) {
  const std::string name = unique_name("unmappable");
  const std::string object = "/" + name;
  const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_SH), 0);
  CapturingLogger logger(logging::LevelFilter::Info);
  ProbeMemory memory(name, kSize);
  EXPECT_FALSE(memory.initialize());
  expect_not_set_up(memory);
  EXPECT_FALSE(memory.initialize_read_only());
  EXPECT_EQ(memory.refusal(), shared_memory_interface::memory_interface::Refusal::TooSmall);
  EXPECT_EQ(logger.messages(),
            (std::vector<LoggedMessage>{not_created(kTooSmall), initialization_failed(name),
                                        not_created(kTooSmall), initialization_failed(name)}));
  close(fd);
  shm_unlink(object.c_str());
  shm_unlink((object + ".lock").c_str());
}

bool shm_object_exists(const std::string& object) {
  const int fd = shm_open(object.c_str(), O_RDONLY, 0);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

TEST(PosixRegion, IsPrivateToItsOwnerAndLeavesNothingBehind) {
  const std::string name = unique_name("posix");
  ProbeMemory memory(name, kSize);
  ASSERT_TRUE(memory.initialize());
  const int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  struct stat status {};
  ASSERT_EQ(fstat(fd, &status), 0);
  close(fd);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(static_cast<std::size_t>(status.st_blocks) * 512, std::size_t{kSize})
      << "the memory is reserved when the region is created";

  memory.release();
  EXPECT_FALSE(shm_object_exists("/" + name));
  EXPECT_FALSE(shm_object_exists("/" + name + ".lock"));
}

using shared_memory_interface::memory_interface::LockWait;
using shared_memory_interface::memory_interface::Refusal;

// Makes shm object `object` as user `uid` (65534: nobody) with `mode`, in a
// forked child, as a hostile local user would.
bool make_object_as(const std::string& object, uid_t uid, mode_t mode, off_t size) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(uid) != 0 || setuid(uid) != 0) _exit(2);
    const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
    if (fd < 0 || fchmod(fd, mode) != 0 || ftruncate(fd, size) != 0) _exit(3);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Set-ups and attaches of `name` are refused for `why`, and nothing is mapped.
void expect_refused(const std::string& name, Refusal why, const std::string& words) {
  ProbeMemory writer(name, kSize);
  EXPECT_FALSE(writer.initialize());
  expect_not_set_up(writer);
  EXPECT_EQ(writer.refusal(), why);
  EXPECT_NE(writer.failure_text().find(words), std::string::npos) << writer.failure_text();
  ProbeMemory reader(name, kSize);
  EXPECT_FALSE(reader.initialize_read_only());
  EXPECT_EQ(reader.refusal(), why);
  EXPECT_NE(reader.failure_text().find(words), std::string::npos) << reader.failure_text();
}

TEST(PosixRegion, ObjectsOfAnotherUserAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to create objects as another user";
  constexpr uid_t kNobody = 65534;
  {  // the lock object planted, open to all
    const std::string name = unique_name("foreign_lock");
    ASSERT_TRUE(make_object_as("/" + name + ".lock", kNobody, 0666, 0));
    expect_refused(name, Refusal::ForeignOwner, "another user (uid 65534)");
    shm_unlink(("/" + name + ".lock").c_str());
  }
  {  // the region itself planted, private to its owner, large enough
    const std::string name = unique_name("foreign_region");
    ASSERT_TRUE(make_object_as("/" + name, kNobody, 0600, kSize));
    expect_refused(name, Refusal::ForeignOwner, "(object /" + name + ")");
    shm_unlink(("/" + name).c_str());
    shm_unlink(("/" + name + ".lock").c_str());
  }
}

TEST(PosixRegion, ObjectsOthersMayOpenAreRefused) {
  const std::string name = unique_name("open_to_others");
  const std::string object = "/" + name;
  const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, 0666), 0);
  ASSERT_EQ(ftruncate(fd, kSize), 0);
  ASSERT_EQ(flock(fd, LOCK_SH), 0);  // a living holder
  expect_refused(name, Refusal::OpenToOthers, "mode 666");
  close(fd);
  shm_unlink(object.c_str());
  shm_unlink((object + ".lock").c_str());
}

TEST(PosixRegion, KeptSetUpLockEndsTheWaitWithAnError) {
  const std::string name = unique_name("kept_lock");
  const std::string lock_object = "/" + name + ".lock";
  const int fd = shm_open(lock_object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);  // another open file description: another "process"
  CapturingLogger logger(logging::LevelFilter::Info);
  ProbeMemory memory(name, kSize);
  EXPECT_FALSE(memory.initialize(LockWait{std::chrono::milliseconds(200)}));
  expect_not_set_up(memory);
  EXPECT_EQ(memory.refusal(), Refusal::LockTimeout);
  EXPECT_NE(memory.failure_text().find("set-up lock"), std::string::npos) << memory.failure_text();
  EXPECT_FALSE(memory.initialize_read_only(LockWait{std::chrono::milliseconds(50)}));
  EXPECT_EQ(memory.refusal(), Refusal::LockTimeout);
  EXPECT_EQ(logger.messages(),
            (std::vector<LoggedMessage>{not_created(ETIMEDOUT), initialization_failed(name),
                                        not_created(ETIMEDOUT), initialization_failed(name)}));

  // A long wait ends as soon as it is cancelled (as a signal handler would).
  std::atomic<bool> cancel{false};
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancel = true;
  });
  EXPECT_FALSE(memory.initialize(LockWait{std::chrono::hours(1), &cancel}));
  canceller.join();
  EXPECT_EQ(memory.refusal(), Refusal::Interrupted);

  close(fd);  // once the lock is free, the set-up goes through
  ASSERT_TRUE(memory.initialize());
  EXPECT_FALSE(memory.already_exists());
}

std::string own_executable() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

TEST(PosixRegion, TooLittleSharedMemoryFailsAtSetUp) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs on /dev/shm";
  constexpr int kNoNamespace = 77;
  const std::string command =
      "unshare -m sh -c 'mount -t tmpfs -o size=8m tmpfs /dev/shm || exit 77; exec \"$0\" "
      "--child small-tmpfs \"$1\"' '" + own_executable() + "' " + unique_name("tmpfs") +
      " 2>/dev/null";
  const int status = std::system(command.c_str());
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == kNoNamespace || code == 1) {
    GTEST_SKIP() << "cannot mount a small tmpfs on /dev/shm in a mount namespace here";
  }
  EXPECT_EQ(code, kPassed);
}
#endif

// ---------------------------------------------------------------- the graph's region

using knowledge_graph::graph::KnowledgeGraph;
constexpr std::uint32_t kGraphRegionSize = 536'870'912;

TEST(GraphRegion, NewRegionReadsAsZerosAndExistingOneIsLeftAlone) {
  const std::string name = unique_name("graph");
  auto* first = shared_memory_interface::initialize_shared_memory(name, kGraphRegionSize);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(first->already_exists());
  ASSERT_TRUE(first->holds_record());
  EXPECT_TRUE(all_zero(first->get_data_ref(), sizeof(KnowledgeGraph)));

  auto* bytes = reinterpret_cast<unsigned char*>(first->get_data_ref());
  bytes[0] = 1;
  bytes[sizeof(KnowledgeGraph) - 1] = 2;
  auto* second = shared_memory_interface::initialize_shared_memory(name, kGraphRegionSize);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(second->already_exists());
  const auto* seen = reinterpret_cast<const unsigned char*>(second->get_data_ref());
  EXPECT_EQ(seen[0], 1);
  EXPECT_EQ(seen[sizeof(KnowledgeGraph) - 1], 2);
  shared_memory_interface::release_shared_memory(second);
  shared_memory_interface::release_shared_memory(first);
}

TEST(GraphRegion, FailedSetUpReturnsNull) {
  EXPECT_EQ(shared_memory_interface::initialize_shared_memory(std::string("a\0b", 3), kSize),
            nullptr);
  // Too small for the record it is meant to hold.
  EXPECT_EQ(shared_memory_interface::initialize_shared_memory(unique_name("tiny"), kSize),
            nullptr);
  shared_memory_interface::release_shared_memory(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--child") return run_child(argc - 2, argv + 2);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
