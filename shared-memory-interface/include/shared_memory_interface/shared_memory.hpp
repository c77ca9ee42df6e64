// SharedMemory<T>: owner of one named region holding one record of type T.
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
  // the record left not set up.
  bool initialize() { return adopt(memory_interface::map_region(name_, size_)); }
  // Opens an existing region read-only; never creates one.
  bool initialize_read_only() { return adopt(memory_interface::open_region_read_only(name_)); }

  T* get_data_ref() const { return data_; }
  bool already_exists() const { return already_exists_; }
  bool is_initialized() const { return initialized_; }
  const std::string& name() const { return name_; }
  std::uint32_t size() const { return size_; }
  // Bytes actually mapped (an existing region keeps its creator's size).
  std::size_t view_size() const { return view_size_; }
  // Whether the mapped view holds a whole T.
  bool holds_record() const { return initialized_ && view_size_ >= sizeof(T); }

  void release() {
    if (initialized_) memory_interface::unmap_region(handle_, data_);
    handle_ = nullptr;
    data_ = nullptr;
    view_size_ = 0;
    already_exists_ = false;
    initialized_ = false;
  }

  // Fills one T (never more than the view) with zero bytes, then flushes.
  void zero_data() {
    if (!initialized_) return;
    std::memset(static_cast<void*>(data_), 0, view_size_ < sizeof(T) ? view_size_ : sizeof(T));
    memory_interface::flush_view(handle_, data_);
  }

 private:
  bool adopt(const memory_interface::MapOutcome& outcome) {
    if (initialized_) release();
    report_initialization(name_, outcome.ok);
    if (!outcome.ok) return false;
    handle_ = outcome.region.handle;
    data_ = static_cast<T*>(outcome.region.view);
    view_size_ = outcome.region.view_size;
    already_exists_ = outcome.region.already_existed;
    initialized_ = true;
    return true;
  }

  std::string name_;
  memory_interface::Handle handle_ = nullptr;
  T* data_ = nullptr;
  std::uint32_t size_;
  std::size_t view_size_ = 0;
  bool already_exists_ = false;
  bool initialized_ = false;
};

using KnowledgeGraphMemory = SharedMemory<knowledge_graph::graph::KnowledgeGraph>;

}  // namespace shared_memory_interface::shared_memory

namespace shared_memory_interface {

// `new` + `initialize` on the heap; zero-fills the record when the region is new.
// Null when the set-up fails.
shared_memory::KnowledgeGraphMemory* initialize_shared_memory(const std::string& name,
                                                              std::uint32_t size);
void release_shared_memory(shared_memory::KnowledgeGraphMemory* memory);

}  // namespace shared_memory_interface
