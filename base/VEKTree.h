// The base file: a header page and fixed-size pages holding one B+tree of
// symbols ordered by (level id, key). Every symbol has a unique id, which is
// the level id of its own sub-level, so a level of any size inserts and
// finds in logarithmic time and moving a symbol moves its whole sub-tree.
//
// File layout (pages of 4096 bytes, integers little-endian):
//   page 0  header: "VEKBASE1", page size (u32), root page (u32), page
//           count (u32), first free page (u32), next id (u64), home id
//           (u64), FNV-1a checksum of the preceding 40 bytes (u32)
//   pages   type (u8: 1 leaf, 2 inner, 3 overflow, 4 free), 0, entry count
//           (u16), next (u32), previous (u32), first child (u32), then:
//     leaf  entries: level id (u64), id (u64), key length (u32), overflow
//           page (u32), the first min(length, 256) key bytes
//     inner entries as in a leaf, each followed by its right child (u32)
//     overflow  the key bytes past the first 256, chained through next
//     free  chained through next
// Rules:
//  1. Pages are read once and kept decoded in memory; changes stay in memory
//     until flush, which writes every changed page, then the header.
//  2. flush first lets a journalled stream save the original bytes of every
//     page it will overwrite and makes that journal durable, then writes.
//  3. A leaf is never empty except an empty root; separators in inner pages
//     are lower bounds of their right child.
//  4. Everything read from the file is checked (types, counts, page numbers,
//     increasing keys along leaf links) and a violation is thrown as
//     std::runtime_error, never followed.
#pragma once
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/VEKStream.h"
#include "kernel/VekTypes.h"

namespace VekBase {

// One symbol (in a leaf) or one separator (in an inner page).
struct VEKEntry {
  u64 parent = 0;   // id of the level the key belongs to
  u64 id = 0;       // the symbol's own id (its sub-level); 0 in separators
  std::string key;  // the whole key
  u64 prefix = 0;   // first 8 key bytes, big-endian, zero-padded (fast compare)
  u32 overflow = 0; // first overflow page of a long key once written, else 0
};

// The first eight bytes of key as a big-endian number, so that comparing
// prefixes orders keys as their bytes do (equal prefixes need a full compare).
inline u64 keyPrefix(const std::string& key) {
  u64 prefix = 0;
  size_t n = key.size() < 8 ? key.size() : 8;
  for (size_t i = 0; i < 8; ++i) prefix = (prefix << 8) | (i < n ? static_cast<unsigned char>(key[i]) : 0u);
  return prefix;
}

// The part of an entry that binary searches read, kept densely apart from
// the entries so a search touches few cache lines.
struct VEKSearchKey {
  u64 parent;  // the entry's level id
  u64 prefix;  // the entry's key prefix
};

// A decoded page of the tree.
struct VEKNode {
  bool leaf = true;               // leaf or inner page
  bool dirty = false;             // changed since the last flush
  u32 next = 0, prev = 0;         // leaf siblings (0: none)
  std::vector<VEKEntry> entries;  // sorted entries
  std::vector<VEKSearchKey> search;  // parent and prefix of each entry, same order
  std::vector<u32> children;      // inner: entries.size() + 1 child pages
  size_t bytes = 0;               // encoded size
};

// A place in the tree: a leaf page and an entry index (leaf 0: nowhere).
struct VEKPos {
  u32 leaf = 0;   // leaf page
  u32 index = 0;  // entry within it
  bool valid() const { return leaf != 0; }
};

class VEKTree {
 public:
  static constexpr u32 PAGE = 4096;       // page size
  static constexpr u32 INLINE_KEY = 256;  // key bytes kept inside a page entry

  // Opens the base in stream, or formats an empty stream. Throws
  // "Can't open the VEKBase file: <name>" for anything that is not a base.
  explicit VEKTree(VEKStream& stream);
  ~VEKTree();
  VEKTree(const VEKTree&) = delete;
  VEKTree& operator=(const VEKTree&) = delete;

  bool formatted() const { return created; }
  u64 home() const { return homeId; }
  void setHome(u64 id);
  u64 newId();
  u64 version() const { return changes; }

  bool find(u64 parent, const std::string& key, u64* id);
  // Inserts (parent, key) with *id (a new id when *id is 0) and returns
  // true; when the key exists, stores its id in *id and returns false.
  bool insert(u64 parent, const std::string& key, u64* id);
  // Removes (parent, key); false when it does not exist.
  bool erase(u64 parent, const std::string& key);

  VEKPos lowerBound(u64 parent, const std::string& key);  // first >= (parent, key)
  VEKPos upperBound(u64 parent, const std::string& key);  // first > (parent, key)
  VEKPos lastBefore(u64 parent, const std::string& key);  // last < (parent, key)
  const VEKEntry& at(VEKPos pos);
  bool next(VEKPos& pos);
  bool prev(VEKPos& pos);

  // Writes every changed page and the header (rule 2).
  void flush();

 private:
  struct Step {
    u32 page;   // inner page on the way down
    u32 child;  // index of the child taken
  };

  VEKNode& node(u32 page);
  VEKNode& load(u32 page);
  void touch(u32 page);
  u32 takePage();
  u32 allocPage();
  void freePage(u32 page);
  void freeChain(u32 first);
  u32 descend(u64 parent, const std::string& key, u64 prefix, std::vector<Step>* path);
  size_t searchLeaf(const VEKNode& leaf, u64 parent, const std::string& key, u64 prefix, bool* equal);
  void splitLeaf(u32 page, std::vector<Step>& path);
  void insertSeparator(std::vector<Step>& path, VEKEntry separator, u32 right);
  void splitInner(u32 page, std::vector<Step>& path);
  void removeLeaf(u32 page, std::vector<Step>& path);
  static size_t entryBytes(const VEKEntry& entry, bool leaf);
  void recount(VEKNode& n);
  [[noreturn]] void damaged(u64 page) const;

  void readHeader();
  void format();
  std::string encodeHeader() const;
  std::string encodeNode(VEKNode& n, std::vector<std::pair<u32, std::string>>& out);
  u32 writeOverflow(const std::string& rest, std::vector<std::pair<u32, std::string>>& out);
  void decodeNode(u32 page, const std::string& bytes, VEKNode& n);
  std::string readOverflow(u32 first, size_t length);
  std::string readPage(u32 page);
  void loadFreeList(u32 head);

  VEKStream& stream;                            // the base's bytes
  bool created = false;                         // formatted by this open
  u32 rootPage = 1;                             // root of the tree
  u32 pageCount = 2;                            // pages in the file, header included
  u64 nextId = 1;                               // next symbol id
  u64 homeId = 0;                               // id of the home symbol
  u64 changes = 0;                              // bumped on every insert/erase
  bool headerDirty = false;                     // header changed since flush
  std::vector<std::unique_ptr<VEKNode>> nodes;  // decoded pages by number
  std::vector<u32> dirtyPages;                  // pages to write at flush
  std::vector<u32> freeStack;                   // free pages, top at the back
  std::set<u32> dirtyFree;                      // freed since flush
};

}  // namespace VekBase
