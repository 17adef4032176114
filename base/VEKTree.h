// The base file: a header page and fixed-size pages holding one B+tree of
// symbols ordered by (level id, key). Every symbol has a unique id, which is
// the level id of its own sub-level, so a level of any size inserts and
// finds in logarithmic time and moving a symbol moves its whole sub-tree.
//
// File layout (pages of 4096 bytes, integers little-endian, "varint" an
// unsigned number in 7-bit groups, low group first, high bit = more):
//   page 0  header: "VEKBASE1", page size (u32), root page (u32), page
//           count (u32), first free page (u32), next id (u64), home id
//           (u64), FNV-1a checksum of the preceding 40 bytes (u32), format
//           version (u32, FORMAT_VERSION; 0 in files of the first format),
//           FNV-1a checksum of the preceding 48 bytes (u32), then the
//           stamp (VEKBaseStamp, all zeros in files written before it):
//           kind (u32), identity (16 bytes), commits (u64), FNV-1a
//           checksum of these 28 bytes (u32)
//   pages   type (u8: 1 leaf, 2 inner, 3 overflow, 4 free), 0, entry count
//           (u16), next (u32), previous (u32), first child (u32), then:
//     leaf  entries: shared (varint), level step (varint), key length
//           (varint), id (varint), overflow page (u32, only for keys longer
//           than 256 bytes), then the first min(length, 256) key bytes less
//           the shared ones. The level id is the previous entry's plus the
//           step (the first entry's step is its level id); the first
//           shared key bytes are the previous entry's (0 when the level
//           changes), so keys that arrive in order cost little more than
//           what tells them apart.
//     inner entries as in a leaf without the id, each followed by its right
//           child (u32)
//     overflow  bytes used (u32, at offset 8), then the key bytes past the
//           first 256, chained through next
//     free  chained through next
// Rules:
//  1. Pages are decoded into nodes on first use and kept in a cache of
//     pageCacheBytes. When an operation starts with the cache over its
//     budget, the least recently used nodes leave it (CLOCK: a node used
//     since the hand last passed it gets one more round): clean ones are
//     dropped, changed ones are written first (rule 2). Between operations
//     nothing outside the tree holds a node, only page numbers, so a node
//     may go at any operation's start and never during one.
//  2. Every write of tree pages (flush, or changed nodes leaving the cache)
//     first lets a journalled stream save the original bytes of every page
//     it will overwrite and makes that journal durable, then writes. Before
//     the first write of changed nodes ahead of a flush, the spill hook lets
//     the owner start such a journal. flush writes what is still changed,
//     the free pages and the header.
//  3. A leaf is never empty except an empty root; separators in inner pages
//     are lower bounds of their right child.
//  4. Everything read from the file is checked (types, counts, page numbers,
//     key lengths, increasing keys along leaf links, depth on the way down,
//     no link to a free page)
//     and a violation is thrown as std::runtime_error, never followed.
//  5. A node of a freed page is retired, not deleted, until the next
//     operation starts: the operation that freed it may still hold it.
#pragma once
#include <functional>
#include <memory>
#include <memory_resource>
#include <set>
#include <string_view>
#include <string>
#include <vector>

#include "base/VEKStream.h"
#include "kernel/VekTypes.h"

namespace VekBase {

// An entry as a search reads it: its level id, its first HEAD key bytes as
// they are (zero padded), its own id and its length, so that a search
// compares keys of up to HEAD bytes without leaving the slot. A longer key
// keeps all its bytes in the node's arena.
struct VEKSlot {
  static constexpr u32 HEAD = 16;  // key bytes kept in the slot
  u64 parent;                      // id of the level the key belongs to
  char head[HEAD];                 // first key bytes, zero padded
  u64 id;                          // leaf: the symbol's own id (its sub-level); inner: 0
  u32 length;                      // key length
  u32 offset;                      // where a long key starts in the arena
};

// The level id and first eight key bytes (as a big-endian number) of every
// GROUP-th slot: a search picks its group from these few cache lines and
// then reads only that group's slots.
struct VEKFence {
  u64 parent;  // level id of the group's first slot
  u64 high;    // its first eight key bytes, big-endian
};

// The key a search looks for, with its head words worked out once.
struct VEKProbe {
  VEKProbe(u64 level, std::string_view bytes);
  u64 parent;            // level id
  u64 high, low;         // key bytes 0-7 and 8-15, big-endian, zero padded
  std::string_view key;  // the whole key
};

// A symbol as the tree hands it out.
struct VEKItem {
  u64 parent;       // level id
  u64 id;           // the symbol's id
  std::string key;  // the key
};

// A key on its way between nodes (a separator), with its overflow chain.
struct VEKSeparator {
  u64 parent = 0;    // level id
  std::string key;   // the key
  u32 overflow = 0;  // its own overflow chain, 0 when not written yet
};

struct VEKNode;

// A child of an inner node: its page.
struct VEKChild {
  VEKChild(u32 number = 0) : page(number) {}  // NOLINT: a page number is a child
  u32 page;                  // the child's page
};

// A decoded page of the tree. Nodes come and go with the page cache, and
// the ordinary allocator reuses their memory best (a pool of size classes
// held more than twice the cache's budget). Slots are trivially copyable
// so inserting shifts plain bytes; long keys are appended to the arena and
// the arena is compacted when more than half of it is dead. The fences sit inside the
// node, right behind its header, so one descent step costs about three
// cache misses: the node with its fences, one group of slots, and (only
// for keys longer than HEAD) the arena.
struct alignas(64) VEKNode {
  static constexpr size_t GROUP = 8;        // slots per fence
  static constexpr size_t MAX_ENTRIES = 256;  // slots of a node: a node that fills them splits
  static constexpr size_t GROWTH = 16;        // slots a full slot table grows by

  bool leaf = true;                  // leaf or inner page
  bool dirty = false;                // changed since the last flush
  u16 fenceCount = 0;                // fences in use
  u32 page = 0;                      // the node's own page
  u32 next = 0, prev = 0;            // leaf siblings (0: none)
  bool used = true;                  // used since the clock hand last passed
  u32 clockIndex = 0;                // place in the tree's clock
  size_t charge = 0;                 // memory counted against the cache budget
  std::pmr::vector<VEKSlot> slots;     // the entries in key order
  std::pmr::vector<VEKChild> children; // inner: slots.size() + 1 child pages
  // The fields above share the node's first cache line with the flags;
  // the fences follow it.
  VEKFence fences[MAX_ENTRIES / GROUP];  // fence of each group of slots
  std::string arena;                 // overflow page and bytes of the keys longer than HEAD
  size_t deadBytes = 0;              // arena bytes no entry uses
  size_t bytes = 0;                  // encoded size

  VEKNode() : slots(std::pmr::new_delete_resource()), children(std::pmr::new_delete_resource()) {}

  size_t size() const { return slots.size(); }
  std::string_view keyAt(size_t i) const {
    const VEKSlot& slot = slots[i];
    if (slot.length <= VEKSlot::HEAD) return std::string_view(slot.head, slot.length);
    return std::string_view(arena.data() + slot.offset, slot.length);
  }
  u64 parentAt(size_t i) const { return slots[i].parent; }
  u64 idAt(size_t i) const { return slots[i].id; }
  // First overflow page of a long key once written, else 0. It is kept in
  // the arena just before the key's bytes (only keys longer than HEAD can
  // have one).
  u32 overflowAt(size_t i) const;
  void setOverflow(size_t i, u32 page);
  void insertEntry(size_t i, u64 parent, u64 id, std::string_view key, u32 overflow);
  void eraseEntry(size_t i);
  // Moves entries [from, end) to the end of other.
  void moveTail(size_t from, VEKNode& other);
  VEKSeparator separatorAt(size_t i) const;
  // Bytes entry i takes in the encoded page, after entry i - 1.
  size_t entrySize(size_t i) const;
  // Rebuilds the fences of the groups from entry i on.
  void refence(size_t i);
};

// A place in the tree: a leaf page and an entry index (leaf 0: nowhere).
struct VEKPos {
  u32 leaf = 0;   // leaf page
  u32 index = 0;  // entry within it
  bool valid() const { return leaf != 0; }
};

// What a base file says about itself, kept in its header page: what made
// it, which base it belongs to and how many commits it holds. Files written
// before the stamp existed hold zeros there (Kind::None) and get a stamp
// when their owner next writes one.
struct VEKBaseStamp {
  enum Kind : u32 {
    None = 0,      // no stamp (an older file): nothing is known
    PageBase = 1,  // one of the two files of a page's (protected) base
    SortBase = 2,  // a base the command-line sort mode made
  };
  static constexpr size_t IDENTITY = 16;
  u32 kind = None;
  u8 identity[IDENTITY] = {};  // random, made when the base was created
  u64 commits = 0;             // commits of the base this file holds

  bool stamped() const { return kind != None; }
  // Same kind and identity: two files of one base.
  bool sameBase(const VEKBaseStamp& other) const;
  // A new stamp of that kind with a random identity and no commits.
  static VEKBaseStamp fresh(Kind kind);
};

// Reads the stamp from the header page of an open stream (or of the file
// called name); false when it does not hold a base header, or when its
// stamp is damaged.
bool readBaseStamp(VEKStream& stream, VEKBaseStamp* stamp);
bool readBaseStamp(const VEKStream& like, const std::string& name, VEKBaseStamp* stamp);
// The same from the bytes of a header page (as a journal saved them).
bool readBaseStamp(const std::string& headerPage, VEKBaseStamp* stamp);

// True when name may hold a base of this engine: it is missing, empty (a
// creation cut short; no bytes to lose) or begins with the header's magic.
// Any other file is the operator's, and no base is ever made over it.
bool mayHoldBase(const VEKStream& like, const std::string& name);
// True when name begins with the header's magic (the only files that
// deleting a base may remove).
bool isBaseFile(const VEKStream& like, const std::string& name);

class VEKTree {
 public:
  static constexpr u32 PAGE = 4096;       // page size
  static constexpr u32 INLINE_KEY = 256;  // key bytes kept inside a page entry
  static constexpr u32 FORMAT_VERSION = 2;  // of the file layout above; other versions are refused
  static constexpr u32 MAX_KEY_BYTES = 1 << 24;  // longer keys are never written: a page claiming one is damaged
  // Memory the decoded nodes of one tree may hold before the least used
  // ones leave (rule 1): large enough for the inner nodes and the hot
  // leaves of a base of millions of keys, while a process that inserts
  // into or searches such a base stays near 100 MiB in all.
  static constexpr size_t PAGE_CACHE_BYTES = size_t(80) << 20;
  static size_t pageCacheBytes;           // the budget in force (tests make it tiny)
  static constexpr size_t FLUSH_BATCH = 1024;  // pages a flush encodes before it writes them

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
  const VEKBaseStamp& stamp() const { return baseStamp; }
  // Written with the header at the next flush.
  void setStamp(const VEKBaseStamp& stamp);

  bool find(u64 parent, std::string_view key, u64* id);
  // Inserts (parent, key) with *id (a new id when *id is 0) and returns
  // true; when the key exists, stores its id in *id and returns false.
  bool insert(u64 parent, std::string_view key, u64* id);
  // Removes (parent, key); false when it does not exist.
  bool erase(u64 parent, std::string_view key);

  VEKPos lowerBound(u64 parent, std::string_view key);  // first >= (parent, key)
  VEKPos upperBound(u64 parent, std::string_view key);  // first > (parent, key)
  VEKPos lastBefore(u64 parent, std::string_view key);  // last < (parent, key)
  VEKItem at(VEKPos pos);
  u64 parentAt(VEKPos pos);
  bool next(VEKPos& pos);
  bool prev(VEKPos& pos);

  // Writes every changed page and the header (rule 2).
  void flush();
  // True when flush has something to write.
  bool pending() const { return headerDirty || dirtyCount > 0 || !dirtyFree.empty(); }
  // Called before changed nodes are first written ahead of a flush (rule 2).
  void setSpillHook(std::function<void()> hook) { spillHook = std::move(hook); }

 private:
  struct Step {
    u32 page;   // inner page on the way down
    u32 child;  // index of the child taken
  };

  VEKNode& node(u32 page);
  VEKNode& load(u32 page);
  void touch(u32 page);
  void uncache(VEKNode& n);
  void recharge(VEKNode& n);
  void trim() {
    if (cachedBytes > pageCacheBytes || !retired.empty()) evict();
  }
  void evict();
  void writePages(std::vector<std::pair<u32, std::string>>& out);
  u32 takePage();
  u32 allocPage();
  void freePage(u32 page);
  void freeChain(u32 first);
  u32 descend(const VEKProbe& probe, std::vector<Step>* path);
  bool advance(VEKPos& pos);
  bool retreat(VEKPos& pos);
  size_t searchLeaf(const VEKNode& leaf, const VEKProbe& probe, bool* equal);
  struct LeafPlace {
    u32 page;
    size_t index;
    bool equal;
  };
  LeafPlace placeForChange(u64 parent, std::string_view key);
  void splitLeaf(u32 page, std::vector<Step>& path, bool atEnd);
  void insertSeparator(std::vector<Step>& path, VEKSeparator separator, u32 right);
  void splitInner(u32 page, std::vector<Step>& path, bool atEnd);
  void removeLeaf(u32 page, std::vector<Step>& path);
  void recount(VEKNode& n);
  void putEntry(VEKNode& n, size_t i, u64 parent, u64 id, std::string_view key, u32 overflow);
  void dropEntry(VEKNode& n, size_t i);
  [[noreturn]] void damaged(u64 page) const;

  struct PageReader;
  void readHeader();
  void format();
  std::string encodeHeader() const;
  std::string encodeNode(VEKNode& n, std::vector<std::pair<u32, std::string>>& out);
  u32 writeOverflow(const std::string& rest, std::vector<std::pair<u32, std::string>>& out);
  void decodeNode(u32 page, const std::string& bytes, VEKNode& n);
  std::string readOverflow(u32 first, size_t length);
  std::string readPage(u32 page);
  void loadFreeList(u32 head);

  typedef std::unique_ptr<VEKNode> NodePtr;
  NodePtr makeNode(u32 page);
  VEKNode& cache(u32 page, NodePtr made);

  VEKStream& stream;                            // the base's bytes
  bool created = false;                         // formatted by this open
  u32 rootPage = 1;                             // root of the tree
  u32 pageCount = 2;                            // pages in the file, header included
  u64 nextId = 1;                               // next symbol id
  u64 homeId = 0;                               // id of the home symbol
  u64 changes = 0;                              // bumped on every insert/erase
  bool headerDirty = false;                     // header changed since flush
  VEKBaseStamp baseStamp;                       // what the file says about itself
  std::vector<NodePtr> nodes;                   // decoded pages by number (null: not cached)
  std::vector<u32> clock;                       // cached pages, swept by the hand
  size_t hand = 0;                              // next place of the clock to look at
  size_t cachedBytes = 0;                       // charges of the cached nodes
  std::vector<NodePtr> retired;                 // nodes of freed pages (rule 5)
  std::function<void()> spillHook;              // see setSpillHook
  size_t dirtyCount = 0;                        // changed nodes (all cached)
  std::vector<u32> freeStack;                   // free pages, top at the back
  std::vector<bool> freePages;                  // by page number: in freeStack
  std::set<u32> dirtyFree;                      // freed since flush
  std::vector<Step> scratchPath;                // path of the current insert or erase
};

}  // namespace VekBase
