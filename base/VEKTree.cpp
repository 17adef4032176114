// The B+tree of symbols over (level id, key): search, insertion with page
// splits, removal of emptied leaves, and ordered movement along the leaves.
// Page reading, writing and allocation are in VEKTreePages.cpp.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "base/VEKTree.h"

namespace VekBase {

namespace {

constexpr int kMaxDepth = 64;  // far beyond any real tree: a deeper one is damaged

// Eight key bytes as a big-endian number, so that comparing the numbers
// orders the bytes as unsigned bytes.
inline u64 bigEndianWord(const char* bytes) {
  u64 word;
  std::memcpy(&word, bytes, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  word = __builtin_bswap64(word);
#endif
  return word;
}

// Bytes [from, from+8) of key as a big-endian number, zero padded.
inline u64 keyWord(std::string_view key, size_t from) {
  char bytes[8] = {0};
  if (key.size() > from) std::memcpy(bytes, key.data() + from, std::min<size_t>(8, key.size() - from));
  return bigEndianWord(bytes);
}

template <typename T>
inline int order(T a, T b) { return a < b ? -1 : a > b ? 1 : 0; }

// Order of entry index of n against probe, in unsigned byte order of the
// keys (a key before its extensions) within a level. The zero-padded head
// words decide unless they are equal; then two keys longer than the head
// compare their tails, and otherwise the shorter key comes first.
inline int compareAt(const VEKNode& n, size_t index, const VEKProbe& probe) {
  const VEKSlot& slot = n.slots[index];
  if (slot.parent != probe.parent) return order(slot.parent, probe.parent);
  u64 word = bigEndianWord(slot.head);
  if (word != probe.high) return order(word, probe.high);
  word = bigEndianWord(slot.head + 8);
  if (word != probe.low) return order(word, probe.low);
  if (slot.length > VEKSlot::HEAD && probe.key.size() > VEKSlot::HEAD) {
    size_t common = std::min<size_t>(slot.length, probe.key.size()) - VEKSlot::HEAD;
    int tail = std::memcmp(n.arena.data() + slot.offset + VEKSlot::HEAD, probe.key.data() + VEKSlot::HEAD, common);
    if (tail != 0) return tail;
  }
  return order<size_t>(slot.length, probe.key.size());
}

// The entries between which the first entry not below the probe must lie:
// a group whose first slot is below the probe on the fence words holds or
// precedes the answer, a group whose first slot is above it follows it.
inline void fenceRange(const VEKNode& n, const VEKProbe& probe, size_t* first, size_t* last) {
  // The fences are sorted, so counting the ones below (and not above) the
  // probe finds the range without a branch that mispredicts.
  size_t below = 0, above = 0;
  for (size_t g = 0, count = n.fenceCount; g < count; ++g) {
    const VEKFence& fence = n.fences[g];
    bool less = fence.parent < probe.parent || (fence.parent == probe.parent && fence.high < probe.high);
    bool notMore = fence.parent < probe.parent || (fence.parent == probe.parent && fence.high <= probe.high);
    below += less;
    above += notMore;
  }
  *first = below > 0 ? (below - 1) * VEKNode::GROUP : 0;
  *last = std::min(n.size(), above * VEKNode::GROUP);
  for (size_t line = *first * sizeof(VEKSlot); line < *last * sizeof(VEKSlot); line += 64)
    __builtin_prefetch(reinterpret_cast<const char*>(n.slots.data()) + line);
}

// The first entry of n not below the probe (upper: not at or below it).
size_t boundIn(const VEKNode& n, const VEKProbe& probe, bool upper) {
  size_t first, last;
  fenceRange(n, probe, &first, &last);
  size_t length = last - first;
  while (length > 0) {
    size_t half = length / 2;
    int cmp = compareAt(n, first + half, probe);
    bool right = upper ? cmp <= 0 : cmp < 0;  // chosen without a branch: its outcome is random
    first = right ? first + half + 1 : first;
    length = right ? length - half - 1 : half;
  }
  return first;
}

// Index where the encoded sizes of the first entries first reach half the
// node. When the entry that overfilled it came last (keys arriving in
// order), the node splits just before its last entries instead, so the
// left node stays full: the next keys go right of it too.
size_t splitIndex(const VEKNode& n, bool atEnd) {
  if (atEnd && n.size() >= 3) return n.size() - (n.leaf ? 1 : 2);
  size_t sum = 16, index = 0;
  while (index + 1 < n.size() && sum + n.entrySize(index) <= n.bytes / 2) sum += n.entrySize(index++);
  return std::max<size_t>(index, 1);
}

// A node is split when its encoding outgrows the page or its slot table is full.
bool overfull(const VEKNode& n) { return n.bytes > VEKTree::PAGE || n.size() >= VEKNode::MAX_ENTRIES; }

// Starts fetching the node's header and first fences together, which the
// search reads next, so their cache misses overlap.
inline void prefetchNode(const VEKNode* n) {
  const char* at = reinterpret_cast<const char*>(n);
  for (int line = 0; line < 5; ++line) __builtin_prefetch(at + 64 * line);
}

}  // namespace

VEKProbe::VEKProbe(u64 level, std::string_view bytes)
    : parent(level), high(keyWord(bytes, 0)), low(keyWord(bytes, 8)), key(bytes) {}

void VEKNode::insertEntry(size_t i, u64 parent, u64 id, std::string_view key, u32 overflow) {
  if (slots.size() >= MAX_ENTRIES) throw std::runtime_error("#5 Ptr=0");  // a page never holds so many
  VEKSlot slot;
  slot.parent = parent;
  std::memset(slot.head, 0, sizeof slot.head);
  std::memcpy(slot.head, key.data(), std::min<size_t>(key.size(), VEKSlot::HEAD));
  slot.id = id;
  slot.length = static_cast<u32>(key.size());
  slot.offset = 0;
  if (key.size() > VEKSlot::HEAD) {
    char page[4];
    std::memcpy(page, &overflow, 4);
    arena.append(page, 4);
    slot.offset = static_cast<u32>(arena.size());
    arena.append(key.data(), key.size());
  }
  // A few slots at a time, not twice as many: nearly every cached node
  // gets an entry or two, and doubling would leave half the cache empty.
  if (slots.size() == slots.capacity()) slots.reserve(slots.size() + GROWTH);
  slots.insert(slots.begin() + static_cast<long>(i), slot);
  refence(i);
}

void VEKNode::eraseEntry(size_t i) {
  if (slots[i].length > VEKSlot::HEAD) deadBytes += 4 + slots[i].length;
  slots.erase(slots.begin() + static_cast<long>(i));
  refence(i);
  if (deadBytes > 4096 && deadBytes * 2 > arena.size()) {
    std::string packed;
    packed.reserve(arena.size() - deadBytes);
    for (VEKSlot& slot : slots) {
      if (slot.length <= VEKSlot::HEAD) continue;
      packed.append(arena, slot.offset - 4, 4 + slot.length);
      slot.offset = static_cast<u32>(packed.size() - slot.length);
    }
    arena.swap(packed);
    deadBytes = 0;
  }
}

void VEKNode::refence(size_t i) {
  for (size_t group = i / GROUP; group * GROUP < slots.size(); ++group)
    fences[group] = VEKFence{slots[group * GROUP].parent, bigEndianWord(slots[group * GROUP].head)};
  fenceCount = static_cast<u16>((slots.size() + GROUP - 1) / GROUP);
}

void VEKNode::moveTail(size_t from, VEKNode& other) {
  for (size_t i = from; i < size(); ++i) other.insertEntry(other.size(), slots[i].parent, slots[i].id, keyAt(i), overflowAt(i));
  while (size() > from) eraseEntry(size() - 1);
}

VEKSeparator VEKNode::separatorAt(size_t i) const {
  VEKSeparator separator;
  separator.parent = slots[i].parent;
  separator.key = std::string(keyAt(i));
  separator.overflow = overflowAt(i);
  return separator;
}

u32 VEKNode::overflowAt(size_t i) const {
  if (slots[i].length <= VEKSlot::HEAD) return 0;
  u32 page;
  std::memcpy(&page, arena.data() + slots[i].offset - 4, 4);
  return page;
}

void VEKNode::setOverflow(size_t i, u32 page) {
  if (slots[i].length > VEKSlot::HEAD) std::memcpy(&arena[slots[i].offset - 4], &page, 4);
}

void VEKTree::damaged(u64 page) const {
  throw std::runtime_error("#5 Ptr=" + std::to_string(static_cast<long long>(page)));
}

void VEKTree::recount(VEKNode& n) {
  n.bytes = 16;
  for (size_t i = 0; i < n.size(); ++i) n.bytes += n.entrySize(i);
}

// Inserting or erasing entry i changes the encoded size of entry i + 1 too,
// whose key is stored as what it adds to its predecessor's.
void VEKTree::putEntry(VEKNode& n, size_t i, u64 parent, u64 id, std::string_view key, u32 overflow) {
  size_t before = i < n.size() ? n.entrySize(i) : 0;
  n.insertEntry(i, parent, id, key, overflow);
  n.bytes += n.entrySize(i) + (i + 1 < n.size() ? n.entrySize(i + 1) : 0) - before;
}

void VEKTree::dropEntry(VEKNode& n, size_t i) {
  n.bytes -= n.entrySize(i) + (i + 1 < n.size() ? n.entrySize(i + 1) : 0);
  n.eraseEntry(i);
  if (i < n.size()) n.bytes += n.entrySize(i);
}

// Marks a changed page for the next flush and counts its memory anew.
void VEKTree::touch(u32 page) {
  VEKNode& n = node(page);
  recharge(n);
  if (n.dirty) return;
  n.dirty = true;
  ++dirtyCount;
}

VEKNode& VEKTree::node(u32 page) {
  if (page == 0 || page >= pageCount) damaged(page);
  VEKNode* n = nodes[page].get();
  if (!n) return load(page);
  n->used = true;
  return *n;
}

u64 VEKTree::newId() {
  headerDirty = true;
  return nextId++;
}

void VEKTree::setHome(u64 id) {
  homeId = id;
  headerDirty = true;
}

// Walks from the root to the leaf that holds (parent, key) or where it
// belongs, noting each inner page and child index in path.
u32 VEKTree::descend(const VEKProbe& probe, std::vector<Step>* path) {
  VEKNode* n = &node(rootPage);
  for (int depth = 0;; ++depth) {
    if (depth > kMaxDepth) damaged(n->page);
    if (n->leaf) return n->page;
    size_t low = boundIn(*n, probe, true);
    if (path) path->push_back(Step{n->page, static_cast<u32>(low)});
    n = &node(n->children[low].page);
    prefetchNode(n);
  }
}

size_t VEKTree::searchLeaf(const VEKNode& leaf, const VEKProbe& probe, bool* equal) {
  size_t low = boundIn(leaf, probe, false);
  *equal = low < leaf.size() && compareAt(leaf, low, probe) == 0;
  return low;
}

bool VEKTree::find(u64 parent, std::string_view key, u64* id) {
  trim();
  VEKProbe probe(parent, key);
  VEKNode& leaf = node(descend(probe, nullptr));
  bool equal;
  size_t index = searchLeaf(leaf, probe, &equal);
  if (equal && id) *id = leaf.idAt(index);
  return equal;
}

// Trims the page cache, then finds the leaf place of key among parent's
// keys; the descent is left in scratchPath (reused: no allocation per call)
// for a split or a removal that follows.
VEKTree::LeafPlace VEKTree::placeForChange(u64 parent, std::string_view key) {
  trim();
  scratchPath.clear();
  VEKProbe probe(parent, key);
  LeafPlace place;
  place.page = descend(probe, &scratchPath);
  place.index = searchLeaf(node(place.page), probe, &place.equal);
  return place;
}

bool VEKTree::insert(u64 parent, std::string_view key, u64* id) {
  auto [page, index, equal] = placeForChange(parent, key);
  std::vector<Step>& path = scratchPath;
  VEKNode& leaf = node(page);
  if (equal) {
    *id = leaf.idAt(index);
    return false;
  }
  if (*id == 0) *id = newId();
  putEntry(leaf, index, parent, *id, key, 0);
  touch(page);
  ++changes;
  if (overfull(leaf)) splitLeaf(page, path, index + 1 == leaf.size());
  return true;
}

void VEKTree::splitLeaf(u32 page, std::vector<Step>& path, bool atEnd) {
  u32 rightPage = allocPage();
  VEKNode& left = node(page);
  VEKNode& right = node(rightPage);
  right.leaf = true;
  left.moveTail(splitIndex(left, atEnd), right);
  right.next = left.next;
  right.prev = page;
  if (left.next) {
    node(left.next).prev = rightPage;
    touch(left.next);
  }
  left.next = rightPage;
  recount(left);
  recount(right);
  touch(page);
  touch(rightPage);
  VEKSeparator separator = right.separatorAt(0);
  separator.overflow = 0;  // the separator gets its own chain when written
  insertSeparator(path, std::move(separator), rightPage);
}

// Puts separator and its right child into the parent on path (a new root
// when the split page was the root), splitting upwards as needed.
void VEKTree::insertSeparator(std::vector<Step>& path, VEKSeparator separator, u32 right) {
  if (path.empty()) {
    u32 newRoot = allocPage();
    VEKNode& root = node(newRoot);
    root.leaf = false;
    root.children = {rootPage, right};
    root.insertEntry(0, separator.parent, 0, separator.key, separator.overflow);
    recount(root);
    touch(newRoot);
    rootPage = newRoot;
    headerDirty = true;
    return;
  }
  Step step = path.back();
  path.pop_back();
  VEKNode& parent = node(step.page);
  putEntry(parent, step.child, separator.parent, 0, separator.key, separator.overflow);
  parent.children.insert(parent.children.begin() + step.child + 1, right);
  touch(step.page);
  if (overfull(parent)) splitInner(step.page, path, step.child + 1 == parent.size());
}

void VEKTree::splitInner(u32 page, std::vector<Step>& path, bool atEnd) {
  u32 rightPage = allocPage();
  VEKNode& left = node(page);
  VEKNode& right = node(rightPage);
  size_t middle = splitIndex(left, atEnd);
  right.leaf = false;
  VEKSeparator separator = left.separatorAt(middle);  // moves up with its chain
  left.moveTail(middle + 1, right);
  left.eraseEntry(middle);
  right.children.assign(left.children.begin() + static_cast<long>(middle) + 1, left.children.end());
  left.children.resize(middle + 1);
  recount(left);
  recount(right);
  touch(page);
  touch(rightPage);
  insertSeparator(path, std::move(separator), rightPage);
}

bool VEKTree::erase(u64 parent, std::string_view key) {
  auto [page, index, equal] = placeForChange(parent, key);
  std::vector<Step>& path = scratchPath;
  VEKNode& leaf = node(page);
  if (!equal) return false;
  freeChain(leaf.overflowAt(index));
  dropEntry(leaf, index);
  touch(page);
  ++changes;
  if (leaf.size() == 0 && page != rootPage) removeLeaf(page, path);
  return true;
}

// Unlinks an emptied leaf, removes it from its parents (a parent left
// without children goes too) and shortens a root with a single child.
void VEKTree::removeLeaf(u32 page, std::vector<Step>& path) {
  VEKNode& leaf = node(page);
  if (leaf.prev) {
    node(leaf.prev).next = leaf.next;
    touch(leaf.prev);
  }
  if (leaf.next) {
    node(leaf.next).prev = leaf.prev;
    touch(leaf.next);
  }
  freePage(page);
  while (!path.empty()) {
    Step step = path.back();
    path.pop_back();
    VEKNode& parent = node(step.page);
    parent.children.erase(parent.children.begin() + step.child);
    if (parent.size() > 0) {
      size_t separator = step.child > 0 ? step.child - 1 : 0;
      freeChain(parent.overflowAt(separator));
      parent.eraseEntry(separator);
    }
    recount(parent);
    touch(step.page);
    if (!parent.children.empty()) break;
    freePage(step.page);
    if (step.page == rootPage) {  // the whole tree emptied
      rootPage = allocPage();
      headerDirty = true;
      return;
    }
  }
  while (!node(rootPage).leaf && node(rootPage).children.size() == 1) {
    u32 old = rootPage;
    rootPage = node(old).children[0].page;
    freePage(old);
    headerDirty = true;
  }
}

VEKPos VEKTree::lowerBound(u64 parent, std::string_view key) {
  trim();
  VEKProbe probe(parent, key);
  u32 page = descend(probe, nullptr);
  VEKNode& leaf = node(page);
  bool equal;
  size_t index = searchLeaf(leaf, probe, &equal);
  if (index < leaf.size()) return VEKPos{page, static_cast<u32>(index)};
  if (leaf.size() == 0) return VEKPos{};
  VEKPos pos{page, static_cast<u32>(index - 1)};
  return advance(pos) ? pos : VEKPos{};
}

VEKPos VEKTree::upperBound(u64 parent, std::string_view key) {
  VEKPos pos = lowerBound(parent, key);
  if (!pos.valid()) return pos;
  VEKNode& leaf = node(pos.leaf);
  if (compareAt(leaf, pos.index, VEKProbe(parent, key)) == 0 && !advance(pos)) return VEKPos{};
  return pos;
}

VEKPos VEKTree::lastBefore(u64 parent, std::string_view key) {
  VEKPos pos = lowerBound(parent, key);
  if (pos.valid()) return retreat(pos) ? pos : VEKPos{};
  u32 page = rootPage;
  for (int depth = 0; !node(page).leaf; ++depth) {
    if (depth > kMaxDepth) damaged(page);
    page = node(page).children.back().page;
  }
  VEKNode& leaf = node(page);
  if (leaf.size() == 0) return VEKPos{};
  return VEKPos{page, static_cast<u32>(leaf.size() - 1)};
}

VEKItem VEKTree::at(VEKPos pos) {
  trim();
  VEKNode& leaf = node(pos.leaf);
  if (!leaf.leaf || pos.index >= leaf.size()) damaged(pos.leaf);
  return VEKItem{leaf.parentAt(pos.index), leaf.idAt(pos.index), std::string(leaf.keyAt(pos.index))};
}

u64 VEKTree::parentAt(VEKPos pos) {
  trim();
  VEKNode& leaf = node(pos.leaf);
  if (!leaf.leaf || pos.index >= leaf.size()) damaged(pos.leaf);
  return leaf.parentAt(pos.index);
}

bool VEKTree::next(VEKPos& pos) {
  trim();
  return advance(pos);
}

bool VEKTree::prev(VEKPos& pos) {
  trim();
  return retreat(pos);
}

// Leaf links are followed only towards strictly greater (or smaller) keys,
// so a damaged link can never make a walk loop.
bool VEKTree::advance(VEKPos& pos) {
  VEKNode& leaf = node(pos.leaf);
  if (pos.index + 1 < leaf.size()) {
    ++pos.index;
    return true;
  }
  if (!leaf.next) return false;
  VEKNode& following = node(leaf.next);
  size_t last = leaf.size() - 1;
  if (!following.leaf || following.size() == 0 || compareAt(following, 0, VEKProbe(leaf.parentAt(last), leaf.keyAt(last))) <= 0)
    damaged(leaf.next);
  pos = VEKPos{leaf.next, 0};
  return true;
}

bool VEKTree::retreat(VEKPos& pos) {
  VEKNode& leaf = node(pos.leaf);
  if (pos.index > 0) {
    --pos.index;
    return true;
  }
  if (!leaf.prev) return false;
  VEKNode& before = node(leaf.prev);
  if (!before.leaf || before.size() == 0 || compareAt(before, before.size() - 1, VEKProbe(leaf.parentAt(0), leaf.keyAt(0))) >= 0)
    damaged(leaf.prev);
  pos = VEKPos{leaf.prev, static_cast<u32>(before.size() - 1)};
  return true;
}

}  // namespace VekBase
