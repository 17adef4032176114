// Session ids of protected bases. Two process-wide pools hand out ids: the
// write-process pool (writer ids 0, 1, 2, ...) and the read-process pool
// (reader ids from 1 000 000 000 up), so one id never names both a writer
// and a reader. Freed ids are handed out again before new ones, so an id
// alone does not tell who opened it: each session also records its owner,
// a token of the run that opened it (0: no run), which is never reused.
#pragma once
#include <list>
#include <map>
#include <string>

#include "kernel/VekTypes.h"

namespace VekBase {

// One live session id and the base it belongs to.
struct Process {
  int64 id = -1;     // the session id
  std::string base;  // write file name of the base that owns it
  u64 owner = 0;     // token of the run that opened it, 0 for none
};

class VEKProcessPool {
 public:
  static constexpr int64 FIRST_WRITER_ID = 0;
  static constexpr int64 FIRST_READER_ID = 1000000000;

  explicit VEKProcessPool(int64 firstId);
  ~VEKProcessPool();
  VEKProcessPool(const VEKProcessPool&) = delete;
  VEKProcessPool& operator=(const VEKProcessPool&) = delete;

  // The two process-wide pools, created on first use.
  static VEKProcessPool* readPool();
  static VEKProcessPool* writePool();
  // Clears both static pointers, frees the pools' maps and lists and
  // deletes the pools (program exit).
  static void destroyPools();

  int64 acquire(const std::string& base, u64 owner = 0);
  void release(int64 id);
  bool isLive(int64 id) const { return processes.count(id) != 0; }
  // The owner of the live id; 0 when it has none or is not live.
  u64 ownerOf(int64 id) const;

  std::map<int64, Process*> processes;  // live ids
  std::list<int64> freedIds;            // ids to hand out again

 private:
  int64 nextId;                             // first id never handed out
  static VEKProcessPool* readInstance;      // the read-process pool
  static VEKProcessPool* writeInstance;     // the write-process pool
};

}  // namespace VekBase
