// The process-wide file-buffer cache: per file a VEKFileBuffer holding
// cached blocks ("items") of the file, and the pool VEKFileBuffers of such
// files, found by device and inode (so two spellings of one path share an
// entry). File streams read through it and write through it.
//
// Rules the cache keeps:
//  1. Write-through: a write reaches the file before the cache is updated, so
//     the cache never makes a write less durable than a direct write.
//  2. An entry is found by name only while it is in the pool; removing the
//     file (removeFile) or clearing the pool marks the entry dropped, and a
//     stream that still holds a dropped entry stops using it (direct I/O).
//  3. An entry no stream holds is checked against the file's identity
//     (device, inode, size, modification time) when a stream takes it again;
//     a file changed behind the cache's back loses its cached items.
//  4. bufferMaxItems 0 turns buffering off, MaxItems 0 turns pooling off
//     (streams then read and write their descriptor directly).
#pragma once
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kernel/VekTypes.h"

namespace VekBase {

// Cached blocks of one file.
class VEKFileBuffer {
 public:
  explicit VEKFileBuffer(const std::string& fileName);

  // Copies [offset, offset+length) into out, reading missing blocks through
  // fd; returns the bytes copied (fewer at the end of the file).
  int64 read(int fd, int64 offset, void* out, int64 length);
  // Updates the cached copies of blocks that [offset, offset+length) touches
  // (after the bytes were written to the file).
  void written(int64 offset, const void* data, int64 length);
  void clear();

  bool dropped = false;        // no longer in the pool: holders must not use it
  int holders = 0;             // open streams using this entry
  std::string name;            // file name the entry caches
  u64 lastUse = 0;             // freshness stamp of the last access
  // Identity of the file when the last holder let go.
  u64 device = 0, inode = 0;
  int64 knownSize = -1, mtimeNs = 0;
  size_t itemCount() const { return items.size(); }

 private:
  struct Item {
    std::vector<u8> bytes;                // the block's bytes (shorter at end of file)
    std::list<int64>::iterator recency;   // its place in the recency list
  };
  Item* load(int fd, int64 block);
  void evict();
  void forget(int64 block);

  int64 itemSize;                         // bytes per item, fixed at creation
  std::unordered_map<int64, Item> items;  // block number -> cached block
  // Block numbers of the items, most recently used first: a hit moves its
  // block to the front and eviction takes from the back, both in constant
  // time however many items are cached.
  std::list<int64> recency;
  std::map<int64, bool> partialItems;     // cached blocks shorter than itemSize
};

// The pool of cached files.
class VEKFileBuffers {
 public:
  static int64 bufferMaxItems;       // cached items per file, 0 = no buffering
  static int64 bufferMaxItemSize;    // bytes per cached item
  static int64 MaxItems;             // files kept in the pool, 0 = no pooling
  static float bufferFlushDivider;   // items dropped at once = max/divider + 1
  static float filesFlushDivider;    // files dropped at once = max/divider + 1

  // The entry for fd's file (opened as name), or null when caching is off.
  std::shared_ptr<VEKFileBuffer> acquire(const std::string& name, int fd);
  // A stream lets go of its entry (fd still open).
  void release(const std::shared_ptr<VEKFileBuffer>& entry, int fd);
  // Drops the entry of the file at path (it is being removed or replaced).
  void drop(const std::string& path);
  // Drops every entry.
  void clear();
  u64 tick() { return ++freshness; }
  size_t fileCount() const { return files.size(); }

  // {"bi":..,"bid":..,"bis":..,"bf":..,"bfd":..,"files":..,"freshness":..}
  static std::string statusJson();

 private:
  void evictFiles();

  typedef std::pair<u64, u64> FileId;                          // device, inode
  std::map<FileId, std::shared_ptr<VEKFileBuffer>> files;      // the pool
  u64 freshness = 0;                                           // access counter
};

// The process-wide cache.
extern VEKFileBuffers vekFileBuffers;

}  // namespace VekBase
