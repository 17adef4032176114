// The process-wide pools of protected-base session ids.
#include "base/VEKProcessPool.h"

namespace VekBase {

VEKProcessPool* VEKProcessPool::readInstance = nullptr;
VEKProcessPool* VEKProcessPool::writeInstance = nullptr;

VEKProcessPool::VEKProcessPool(int64 firstId) : nextId(firstId) {}

VEKProcessPool::~VEKProcessPool() {
  for (auto& process : processes) delete process.second;
  processes.clear();
  freedIds.clear();
}

VEKProcessPool* VEKProcessPool::readPool() {
  if (!readInstance) readInstance = new VEKProcessPool(FIRST_READER_ID);
  return readInstance;
}

VEKProcessPool* VEKProcessPool::writePool() {
  if (!writeInstance) writeInstance = new VEKProcessPool(FIRST_WRITER_ID);
  return writeInstance;
}

void VEKProcessPool::destroyPools() {
  VEKProcessPool* read = readPool();
  readInstance = nullptr;
  delete read;
  VEKProcessPool* write = writePool();
  writeInstance = nullptr;
  delete write;
}

int64 VEKProcessPool::acquire(const std::string& base, u64 owner) {
  int64 id;
  if (!freedIds.empty()) {
    id = freedIds.front();
    freedIds.pop_front();
  } else {
    id = nextId++;
  }
  Process* process = new Process();
  process->id = id;
  process->base = base;
  process->owner = owner;
  processes[id] = process;
  return id;
}

u64 VEKProcessPool::ownerOf(int64 id) const {
  auto found = processes.find(id);
  return found == processes.end() ? 0 : found->second->owner;
}

void VEKProcessPool::release(int64 id) {
  auto found = processes.find(id);
  if (found == processes.end()) return;
  delete found->second;
  processes.erase(found);
  freedIds.push_back(id);
}

}  // namespace VekBase
