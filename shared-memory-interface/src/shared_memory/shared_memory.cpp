#include "shared_memory_interface/shared_memory.hpp"

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "logging/logging.hpp"

namespace shared_memory_interface {
namespace shared_memory {

void report_initialization(const std::string& name, bool succeeded) {
  if (succeeded) {
    VARNEL_LOG_INFO(kSharedMemoryTarget, "[Shared memory]: Region " << name << " initialized!");
  } else {
    VARNEL_LOG_ERROR(kSharedMemoryTarget,
                     "[Shared memory]: Region " << name << " initialization failed!");
  }
}

}  // namespace shared_memory

// A region the platform has just created reads as zero bytes on every platform
// we run on (a fresh paging-file section, a freshly reserved POSIX shm object),
// so the record is not zero-filled again: that would touch half a gigabyte.
shared_memory::KnowledgeGraphMemory* initialize_shared_memory(const std::string& name,
                                                              std::uint32_t size) {
  auto* memory = new shared_memory::KnowledgeGraphMemory(name, size);
  if (!memory->initialize()) {
    delete memory;
    return nullptr;
  }
  return memory;
}

void release_shared_memory(shared_memory::KnowledgeGraphMemory* memory) {
  if (memory == nullptr) return;
  memory->release();
  delete memory;
}

}  // namespace shared_memory_interface
