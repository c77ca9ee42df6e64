// SharedMemory<T>: owner of one named region holding one record of type T.
//
// It holds bytes: what T is, and whatever T keeps in the view behind itself,
// is T's business; the layer never looks inside.
//
// Thread rules: a SharedMemory object is used from one thread at a time; the
// region's bytes are shared with every process that maps the same name, and
// coordinating them is the record type's business.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "shared_memory_interface/memory_interface.hpp"

namespace knowledge_graph::graph {
struct KnowledgeGraph;
}

namespace shared_memory_interface::shared_memory {

// Log targets of the two layers.
inline constexpr const char* kSharedMemoryTarget = "shared_memory_interface::shared_memory";
inline constexpr const char* kMemoryInterfaceTarget = "shared_memory_interface::memory_interface";

// Logs "[Shared memory]: Region NAME initialized!" or "... initialization failed!".
void report_initialization(const std::string& name, bool succeeded);

template <class T> class SharedMemory {
 public:
  SharedMemory(std::string name, std::uint32_t size) : name_(std::move(name)), size_(size) {}
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  ~SharedMemory() { release(); }

  // Creates or opens the region and maps it read-write. False on failure, with
  // the record left not set up and failure() telling why. A region too small to
  // hold a whole T (made by someone else with a smaller size, or asked for too
  // small) is a failure too, and so is one that another user could reach, or a
  // set-up lock that another process keeps beyond `wait`.
  bool initialize(const memory_interface::LockWait& wait = {}) {
    return adopt(memory_interface::map_region(name_, size_, wait, sizeof(T)), false);
  }
  // Opens an existing region read-only; never creates one.
  bool initialize_read_only(const memory_interface::LockWait& wait = {}) {
    return adopt(memory_interface::open_region_read_only(name_, wait, sizeof(T)), true);
  }
  // Why the last initialize failed (refusal None after a success).
  memory_interface::Refusal refusal() const { return failure_.refusal; }
  // The last failure in words, with what to do about it.
  std::string failure_text() const { return memory_interface::describe_failure(name_, failure_); }

  T* get_data_ref() const { return data_; }
  bool already_exists() const { return already_exists_; }
  bool is_initialized() const { return initialized_; }
  bool is_read_only() const { return read_only_; }
  const std::string& name() const { return name_; }
  std::uint32_t size() const { return size_; }
  // Bytes actually mapped (an existing region keeps its creator's size).
  std::size_t view_size() const { return view_size_; }
  // Whether the mapped view holds a whole T.
  bool holds_record() const { return initialized_ && view_size_ >= sizeof(T); }
  // Whether a live process holds the region's writer lock (a paused host is
  // alive, a killed one is not); asks the platform on every call, mapped or not.
  memory_interface::WriterProbe probe_writer() const {
    return memory_interface::probe_writer(name_);
  }
  bool writer_alive() const {
    return probe_writer().presence == memory_interface::WriterPresence::Alive;
  }

  void release() {
    if (initialized_) memory_interface::unmap_region(handle_, data_);
    handle_ = nullptr;
    data_ = nullptr;
    view_size_ = 0;
    already_exists_ = false;
    initialized_ = false;
    read_only_ = false;
  }

  // Fills one T with zero bytes, then flushes. Nothing to do on a read-only view.
  void zero_data() {
    if (!initialized_ || read_only_) return;
    std::memset(static_cast<void*>(data_), 0, view_size_ < sizeof(T) ? view_size_ : sizeof(T));
    memory_interface::flush_view(handle_, data_);
  }

 private:
  bool adopt(const memory_interface::MapOutcome& outcome, bool read_only) {
    if (initialized_) release();
    const bool fits = outcome.ok && outcome.region.view_size >= sizeof(T);
    failure_ = outcome;
    failure_.region = {};
    if (outcome.ok && !fits) {
      memory_interface::unmap_region(outcome.region.handle, outcome.region.view);
      failure_.refusal = memory_interface::Refusal::TooSmall;
      failure_.detail = outcome.region.view_size;
    }
    report_initialization(name_, fits);
    if (!fits) return false;
    handle_ = outcome.region.handle;
    data_ = static_cast<T*>(outcome.region.view);
    view_size_ = outcome.region.view_size;
    already_exists_ = outcome.region.already_existed;
    initialized_ = true;
    read_only_ = read_only;
    return true;
  }

  std::string name_;
  memory_interface::Handle handle_ = nullptr;
  T* data_ = nullptr;
  std::uint32_t size_;
  std::size_t view_size_ = 0;
  bool already_exists_ = false;
  bool initialized_ = false;
  bool read_only_ = false;
  memory_interface::MapOutcome failure_;
};

using KnowledgeGraphMemory = SharedMemory<knowledge_graph::graph::KnowledgeGraph>;

}  // namespace shared_memory_interface::shared_memory

namespace shared_memory_interface {

// `new` + `initialize` on the heap. A region the platform has just created already
// reads as zero bytes, so it is not filled again; an existing region is left
// untouched. Null when the set-up fails.
shared_memory::KnowledgeGraphMemory* initialize_shared_memory(const std::string& name,
                                                              std::uint32_t size);
void release_shared_memory(shared_memory::KnowledgeGraphMemory* memory);

}  // namespace shared_memory_interface
