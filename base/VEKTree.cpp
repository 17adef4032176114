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

// Unsigned byte order of (level, key); a key sorts before its extensions.
int compareKey(u64 parentA, const std::string& keyA, u64 parentB, const std::string& keyB) {
  if (parentA != parentB) return parentA < parentB ? -1 : 1;
  size_t common = std::min(keyA.size(), keyB.size());
  int order = common ? std::memcmp(keyA.data(), keyB.data(), common) : 0;
  if (order != 0) return order;
  return keyA.size() < keyB.size() ? -1 : keyA.size() > keyB.size() ? 1 : 0;
}

int compareEntry(const VEKEntry& entry, u64 parent, const std::string& key) {
  return compareKey(entry.parent, entry.key, parent, key);
}

// The same order for entry index of n, deciding on the dense search keys
// whenever they differ.
inline int compareAt(const VEKNode& n, size_t index, u64 parent, u64 prefix, const std::string& key) {
  const VEKSearchKey& probe = n.search[index];
  if (probe.parent != parent) return probe.parent < parent ? -1 : 1;
  if (probe.prefix != prefix) return probe.prefix < prefix ? -1 : 1;
  return compareKey(parent, n.entries[index].key, parent, key);
}

// Index where the byte sizes of entries[0, index) first reach half the node.
size_t splitIndex(const std::vector<VEKEntry>& entries, size_t total, bool leaf, size_t (*size)(const VEKEntry&, bool)) {
  size_t sum = 16, index = 0;
  while (index + 1 < entries.size() && sum + size(entries[index], leaf) <= total / 2) sum += size(entries[index++], leaf);
  return std::max<size_t>(index, 1);
}

}  // namespace

void VEKTree::damaged(u64 page) const {
  throw std::runtime_error("#5 Ptr=" + std::to_string(static_cast<long long>(page)));
}

size_t VEKTree::entryBytes(const VEKEntry& entry, bool leaf) {
  return 24 + std::min<size_t>(entry.key.size(), INLINE_KEY) + (leaf ? 0 : 4);
}

// Recomputes a node's encoded size and its search keys after bulk changes.
void VEKTree::recount(VEKNode& n) {
  n.bytes = 16;
  n.search.clear();
  for (const VEKEntry& entry : n.entries) {
    n.bytes += entryBytes(entry, n.leaf);
    n.search.push_back(VEKSearchKey{entry.parent, entry.prefix});
  }
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
    size_t low = 0, high = n.entries.size();
    while (low < high) {
      size_t middle = (low + high) / 2;
      if (compareAt(n, middle, parent, prefix, key) <= 0) low = middle + 1;
      else high = middle;
    }
    if (path) path->push_back(Step{page, static_cast<u32>(low)});
    page = n.children[low];
  }
}

size_t VEKTree::searchLeaf(const VEKNode& leaf, u64 parent, const std::string& key, u64 prefix, bool* equal) {
  size_t low = 0, high = leaf.entries.size();
  while (low < high) {
    size_t middle = (low + high) / 2;
    if (compareAt(leaf, middle, parent, prefix, key) < 0) low = middle + 1;
    else high = middle;
  }
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
  std::vector<Step> path;
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
  VEKEntry entry;
  entry.parent = parent;
  entry.id = *id;
  entry.key = key;
  entry.prefix = prefix;
  leaf.bytes += entryBytes(entry, true);
  leaf.search.insert(leaf.search.begin() + static_cast<long>(index), VEKSearchKey{parent, prefix});
  leaf.entries.insert(leaf.entries.begin() + static_cast<long>(index), std::move(entry));
  touch(page);
  ++changes;
  if (leaf.bytes > PAGE) splitLeaf(page, path);
  return true;
}

void VEKTree::splitLeaf(u32 page, std::vector<Step>& path) {
  u32 rightPage = allocPage();
  VEKNode& left = node(page);
  VEKNode& right = node(rightPage);
  size_t middle = splitIndex(left.entries, left.bytes, true, entryBytes);
  right.leaf = true;
  right.entries.assign(std::make_move_iterator(left.entries.begin() + static_cast<long>(middle)),
                       std::make_move_iterator(left.entries.end()));
  left.entries.resize(middle);
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
  VEKEntry separator;
  separator.parent = right.entries[0].parent;
  separator.key = right.entries[0].key;
  separator.prefix = right.entries[0].prefix;
  insertSeparator(path, std::move(separator), rightPage);
}

// Puts separator and its right child into the parent on path (a new root
// when the split page was the root), splitting upwards as needed.
void VEKTree::insertSeparator(std::vector<Step>& path, VEKEntry separator, u32 right) {
  if (path.empty()) {
    u32 newRoot = allocPage();
    VEKNode& root = node(newRoot);
    root.leaf = false;
    root.children = {rootPage, right};
    root.entries.push_back(std::move(separator));
    recount(root);
    rootPage = newRoot;
    headerDirty = true;
    return;
  }
  Step step = path.back();
  path.pop_back();
  VEKNode& parent = node(step.page);
  parent.bytes += entryBytes(separator, false);
  parent.search.insert(parent.search.begin() + step.child, VEKSearchKey{separator.parent, separator.prefix});
  parent.entries.insert(parent.entries.begin() + step.child, std::move(separator));
  parent.children.insert(parent.children.begin() + step.child + 1, right);
  touch(step.page);
  if (parent.bytes > PAGE) splitInner(step.page, path);
}

void VEKTree::splitInner(u32 page, std::vector<Step>& path) {
  u32 rightPage = allocPage();
  VEKNode& left = node(page);
  VEKNode& right = node(rightPage);
  size_t middle = splitIndex(left.entries, left.bytes, false, entryBytes);
  right.leaf = false;
  VEKEntry separator = std::move(left.entries[middle]);
  right.entries.assign(std::make_move_iterator(left.entries.begin() + static_cast<long>(middle) + 1),
                       std::make_move_iterator(left.entries.end()));
  right.children.assign(left.children.begin() + static_cast<long>(middle) + 1, left.children.end());
  left.entries.resize(middle);
  left.children.resize(middle + 1);
  recount(left);
  recount(right);
  touch(page);
  insertSeparator(path, std::move(separator), rightPage);
}

bool VEKTree::erase(u64 parent, const std::string& key) {
  std::vector<Step> path;
  u64 prefix = keyPrefix(key);
  u32 page = descend(parent, key, prefix, &path);
  VEKNode& leaf = node(page);
  bool equal;
  size_t index = searchLeaf(leaf, parent, key, prefix, &equal);
  if (!equal) return false;
  freeChain(leaf.entries[index].overflow);
  leaf.bytes -= entryBytes(leaf.entries[index], true);
  leaf.entries.erase(leaf.entries.begin() + static_cast<long>(index));
  leaf.search.erase(leaf.search.begin() + static_cast<long>(index));
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
      parent.entries.erase(parent.entries.begin() + static_cast<long>(separator));
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
  if (pos.valid() && compareEntry(at(pos), parent, key) == 0 && !next(pos)) return VEKPos{};
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

const VEKEntry& VEKTree::at(VEKPos pos) {
  VEKNode& leaf = node(pos.leaf);
  if (!leaf.leaf || pos.index >= leaf.entries.size()) damaged(pos.leaf);
  return leaf.entries[pos.index];
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
  const VEKEntry& last = leaf.entries.back();
  if (!following.leaf || following.entries.empty() ||
      compareEntry(following.entries.front(), last.parent, last.key) <= 0)
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
  const VEKEntry& first = leaf.entries.front();
  if (!before.leaf || before.entries.empty() || compareEntry(before.entries.back(), first.parent, first.key) >= 0)
    damaged(leaf.prev);
  pos = VEKPos{leaf.prev, static_cast<u32>(before.entries.size() - 1)};
  return true;
}

}  // namespace VekBase
