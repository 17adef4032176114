// The B+tree of symbols over (level id, key): search, insertion with page
// splits, removal of emptied leaves, and ordered movement along the leaves.
// Page reading, writing and allocation are in VEKTreePages.cpp.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "base/VEKTree.h"

namespace VekBase {

namespace {

constexpr int kMaxDepth = 64;  // far beyond any real tree: a deeper one is damaged

// Unsigned byte order of keys; a key sorts before its extensions.
int compareBytes(std::string_view a, std::string_view b) {
  size_t common = std::min(a.size(), b.size());
  int order = common ? std::memcmp(a.data(), b.data(), common) : 0;
  if (order != 0) return order;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// Order of entry index of n against (parent, key), deciding on the dense
// search keys whenever they differ.
inline int compareAt(const VEKNode& n, size_t index, u64 parent, u64 prefix, std::string_view key) {
  const VEKSearchKey& probe = n.search[index];
  if (probe.parent != parent) return probe.parent < parent ? -1 : 1;
  if (probe.prefix != prefix) return probe.prefix < prefix ? -1 : 1;
  return compareBytes(n.keyAt(index), key);
}

// The first entry of n not below (parent, key) (upper: not at or below):
// a binary search that fetches both possible next probes ahead, since the
// search is bound by memory latency, not by comparisons.
size_t boundIn(const VEKNode& n, u64 parent, u64 prefix, std::string_view key, bool upper) {
  size_t first = 0, length = n.entries.size();
  const VEKSearchKey* keys = n.search.data();
  while (length > 0) {
    size_t half = length / 2;
    __builtin_prefetch(keys + first + half / 2);
    __builtin_prefetch(keys + first + half + 1 + half / 2);
    int order = compareAt(n, first + half, parent, prefix, key);
    if (upper ? order <= 0 : order < 0) {
      first += half + 1;
      length -= half + 1;
    } else {
      length = half;
    }
  }
  return first;
}

// Index where the encoded sizes of the first entries first reach half the node.
size_t splitIndex(const VEKNode& n, size_t (*size)(size_t, bool)) {
  size_t sum = 16, index = 0;
  while (index + 1 < n.entries.size() && sum + size(n.entries[index].length, n.leaf) <= n.bytes / 2)
    sum += size(n.entries[index++].length, n.leaf);
  return std::max<size_t>(index, 1);
}

}  // namespace

void VEKNode::insertEntry(size_t i, u64 parent, u64 id, std::string_view key, u32 overflow) {
  VEKEntry entry;
  entry.id = id;
  entry.offset = static_cast<u32>(arena.size());
  entry.length = static_cast<u32>(key.size());
  entry.overflow = overflow;
  arena.append(key.data(), key.size());
  entries.insert(entries.begin() + static_cast<long>(i), entry);
  search.insert(search.begin() + static_cast<long>(i), VEKSearchKey{parent, keyPrefix(key.data(), key.size())});
}

void VEKNode::eraseEntry(size_t i) {
  deadBytes += entries[i].length;
  entries.erase(entries.begin() + static_cast<long>(i));
  search.erase(search.begin() + static_cast<long>(i));
  if (deadBytes > 4096 && deadBytes * 2 > arena.size()) {
    std::string packed;
    packed.reserve(arena.size() - deadBytes);
    for (VEKEntry& entry : entries) {
      u32 offset = static_cast<u32>(packed.size());
      packed.append(arena, entry.offset, entry.length);
      entry.offset = offset;
    }
    arena.swap(packed);
    deadBytes = 0;
  }
}

void VEKNode::moveTail(size_t from, VEKNode& other) {
  for (size_t i = from; i < entries.size(); ++i)
    other.insertEntry(other.entries.size(), search[i].parent, entries[i].id, keyAt(i), entries[i].overflow);
  while (entries.size() > from) eraseEntry(entries.size() - 1);
}

VEKSeparator VEKNode::separatorAt(size_t i) const {
  VEKSeparator separator;
  separator.parent = search[i].parent;
  separator.key = std::string(keyAt(i));
  separator.overflow = entries[i].overflow;
  return separator;
}

void VEKTree::damaged(u64 page) const {
  throw std::runtime_error("#5 Ptr=" + std::to_string(static_cast<long long>(page)));
}

size_t VEKTree::entryBytes(size_t keyLength, bool leaf) {
  return 24 + std::min<size_t>(keyLength, INLINE_KEY) + (leaf ? 0 : 4);
}

void VEKTree::recount(VEKNode& n) {
  n.bytes = 16;
  for (const VEKEntry& entry : n.entries) n.bytes += entryBytes(entry.length, n.leaf);
}

void VEKTree::touch(u32 page) {
  VEKNode& n = node(page);
  if (n.dirty) return;
  n.dirty = true;
  dirtyPages.push_back(page);
}

VEKNode& VEKTree::node(u32 page) {
  if (page == 0 || page >= pageCount) damaged(page);
  if (!nodes[page]) return load(page);
  return *nodes[page];
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
u32 VEKTree::descend(u64 parent, const std::string& key, u64 prefix, std::vector<Step>* path) {
  u32 page = rootPage;
  for (int depth = 0;; ++depth) {
    if (depth > kMaxDepth) damaged(page);
    VEKNode& n = node(page);
    if (n.leaf) return page;
    size_t low = boundIn(n, parent, prefix, key, true);
    if (path) path->push_back(Step{page, static_cast<u32>(low)});
    page = n.children[low];
  }
}

size_t VEKTree::searchLeaf(const VEKNode& leaf, u64 parent, const std::string& key, u64 prefix, bool* equal) {
  size_t low = boundIn(leaf, parent, prefix, key, false);
  *equal = low < leaf.entries.size() && compareAt(leaf, low, parent, prefix, key) == 0;
  return low;
}

bool VEKTree::find(u64 parent, const std::string& key, u64* id) {
  u64 prefix = keyPrefix(key);
  VEKNode& leaf = node(descend(parent, key, prefix, nullptr));
  bool equal;
  size_t index = searchLeaf(leaf, parent, key, prefix, &equal);
  if (equal && id) *id = leaf.entries[index].id;
  return equal;
}

bool VEKTree::insert(u64 parent, const std::string& key, u64* id) {
  std::vector<Step>& path = scratchPath;  // reused: no allocation per call
  path.clear();
  u64 prefix = keyPrefix(key);
  u32 page = descend(parent, key, prefix, &path);
  VEKNode& leaf = node(page);
  bool equal;
  size_t index = searchLeaf(leaf, parent, key, prefix, &equal);
  if (equal) {
    *id = leaf.entries[index].id;
    return false;
  }
  if (*id == 0) *id = newId();
  leaf.insertEntry(index, parent, *id, key, 0);
  leaf.bytes += entryBytes(key.size(), true);
  touch(page);
  ++changes;
  if (leaf.bytes > PAGE) splitLeaf(page, path);
  return true;
}

void VEKTree::splitLeaf(u32 page, std::vector<Step>& path) {
  u32 rightPage = allocPage();
  VEKNode& left = node(page);
  VEKNode& right = node(rightPage);
  right.leaf = true;
  left.moveTail(splitIndex(left, entryBytes), right);
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
    rootPage = newRoot;
    headerDirty = true;
    return;
  }
  Step step = path.back();
  path.pop_back();
  VEKNode& parent = node(step.page);
  parent.insertEntry(step.child, separator.parent, 0, separator.key, separator.overflow);
  parent.children.insert(parent.children.begin() + step.child + 1, right);
  parent.bytes += entryBytes(separator.key.size(), false);
  touch(step.page);
  if (parent.bytes > PAGE) splitInner(step.page, path);
}

void VEKTree::splitInner(u32 page, std::vector<Step>& path) {
  u32 rightPage = allocPage();
  VEKNode& left = node(page);
  VEKNode& right = node(rightPage);
  size_t middle = splitIndex(left, entryBytes);
  right.leaf = false;
  VEKSeparator separator = left.separatorAt(middle);  // moves up with its chain
  left.moveTail(middle + 1, right);
  left.eraseEntry(middle);
  right.children.assign(left.children.begin() + static_cast<long>(middle) + 1, left.children.end());
  left.children.resize(middle + 1);
  recount(left);
  recount(right);
  touch(page);
  insertSeparator(path, std::move(separator), rightPage);
}

bool VEKTree::erase(u64 parent, const std::string& key) {
  std::vector<Step>& path = scratchPath;  // reused: no allocation per call
  path.clear();
  u64 prefix = keyPrefix(key);
  u32 page = descend(parent, key, prefix, &path);
  VEKNode& leaf = node(page);
  bool equal;
  size_t index = searchLeaf(leaf, parent, key, prefix, &equal);
  if (!equal) return false;
  freeChain(leaf.entries[index].overflow);
  leaf.bytes -= entryBytes(leaf.entries[index].length, true);
  leaf.eraseEntry(index);
  touch(page);
  ++changes;
  if (leaf.entries.empty() && page != rootPage) removeLeaf(page, path);
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
    if (!parent.entries.empty()) {
      size_t separator = step.child > 0 ? step.child - 1 : 0;
      freeChain(parent.entries[separator].overflow);
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
    rootPage = node(old).children[0];
    freePage(old);
    headerDirty = true;
  }
}

VEKPos VEKTree::lowerBound(u64 parent, const std::string& key) {
  u64 prefix = keyPrefix(key);
  u32 page = descend(parent, key, prefix, nullptr);
  VEKNode& leaf = node(page);
  bool equal;
  size_t index = searchLeaf(leaf, parent, key, prefix, &equal);
  if (index < leaf.entries.size()) return VEKPos{page, static_cast<u32>(index)};
  if (leaf.entries.empty()) return VEKPos{};
  VEKPos pos{page, static_cast<u32>(index - 1)};
  return next(pos) ? pos : VEKPos{};
}

VEKPos VEKTree::upperBound(u64 parent, const std::string& key) {
  VEKPos pos = lowerBound(parent, key);
  if (!pos.valid()) return pos;
  VEKNode& leaf = node(pos.leaf);
  if (compareAt(leaf, pos.index, parent, keyPrefix(key), key) == 0 && !next(pos)) return VEKPos{};
  return pos;
}

VEKPos VEKTree::lastBefore(u64 parent, const std::string& key) {
  VEKPos pos = lowerBound(parent, key);
  if (pos.valid()) return prev(pos) ? pos : VEKPos{};
  u32 page = rootPage;
  for (int depth = 0; !node(page).leaf; ++depth) {
    if (depth > kMaxDepth) damaged(page);
    page = node(page).children.back();
  }
  VEKNode& leaf = node(page);
  if (leaf.entries.empty()) return VEKPos{};
  return VEKPos{page, static_cast<u32>(leaf.entries.size() - 1)};
}

VEKItem VEKTree::at(VEKPos pos) {
  VEKNode& leaf = node(pos.leaf);
  if (!leaf.leaf || pos.index >= leaf.entries.size()) damaged(pos.leaf);
  return VEKItem{leaf.parentAt(pos.index), leaf.entries[pos.index].id, std::string(leaf.keyAt(pos.index))};
}

u64 VEKTree::parentAt(VEKPos pos) {
  VEKNode& leaf = node(pos.leaf);
  if (!leaf.leaf || pos.index >= leaf.entries.size()) damaged(pos.leaf);
  return leaf.parentAt(pos.index);
}

// Leaf links are followed only towards strictly greater (or smaller) keys,
// so a damaged link can never make a walk loop.
bool VEKTree::next(VEKPos& pos) {
  VEKNode& leaf = node(pos.leaf);
  if (pos.index + 1 < leaf.entries.size()) {
    ++pos.index;
    return true;
  }
  if (!leaf.next) return false;
  VEKNode& following = node(leaf.next);
  size_t last = leaf.entries.size() - 1;
  if (!following.leaf || following.entries.empty() ||
      compareAt(following, 0, leaf.parentAt(last), leaf.search[last].prefix, leaf.keyAt(last)) <= 0)
    damaged(leaf.next);
  pos = VEKPos{leaf.next, 0};
  return true;
}

bool VEKTree::prev(VEKPos& pos) {
  VEKNode& leaf = node(pos.leaf);
  if (pos.index > 0) {
    --pos.index;
    return true;
  }
  if (!leaf.prev) return false;
  VEKNode& before = node(leaf.prev);
  if (!before.leaf || before.entries.empty() ||
      compareAt(before, before.entries.size() - 1, leaf.parentAt(0), leaf.search[0].prefix, leaf.keyAt(0)) >= 0)
    damaged(leaf.prev);
  pos = VEKPos{leaf.prev, static_cast<u32>(before.entries.size() - 1)};
  return true;
}

}  // namespace VekBase
