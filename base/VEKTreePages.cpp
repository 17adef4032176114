// The pages of the base file: the header, decoding and encoding of tree
// pages, long keys in overflow chains, the free-page stack, and flush (see
// the layout and rules in VEKTree.h).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <stdexcept>

#include "base/VEKBytes.h"
#include "base/VEKJournal.h"
#include "base/VEKTree.h"
#include "kernel/VekUtil.h"

namespace VekBase {

namespace {

const char kMagic[8] = {'V', 'E', 'K', 'B', 'A', 'S', 'E', '1'};
constexpr size_t kHeaderBytes = 52;
constexpr size_t kStampAt = kHeaderBytes;  // the stamp follows the header's fields
constexpr size_t kStampBytes = 28;         // kind, identity, commits
constexpr size_t kStampEnd = kStampAt + kStampBytes + 4;
constexpr size_t kPageHeader = 16;
constexpr u8 kLeaf = 1, kInner = 2, kOverflow = 3, kFree = 4;

u8* raw(std::string& bytes) { return reinterpret_cast<u8*>(&bytes[0]); }
const u8* raw(const std::string& bytes) { return reinterpret_cast<const u8*>(bytes.data()); }

size_t varintSize(u64 value) {
  size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

size_t putVarint(u8* at, u64 value) {
  size_t size = 0;
  for (; value >= 0x80; value >>= 7) at[size++] = static_cast<u8>(value | 0x80);
  at[size++] = static_cast<u8>(value);
  return size;
}

// How entry i of n is stored after entry i - 1: the key bytes it shares
// with it (within the inline parts, same level only), its level step and
// its inline key bytes.
struct EntryShape {
  size_t shared;       // leading key bytes taken from the previous entry
  u64 step;            // level id less the previous entry's
  size_t inlineBytes;  // key bytes kept in the page
};

EntryShape entryShape(const VEKNode& n, size_t i) {
  std::string_view key = n.keyAt(i);
  EntryShape shape{0, n.parentAt(i), std::min<size_t>(key.size(), VEKTree::INLINE_KEY)};
  if (i == 0) return shape;
  shape.step -= n.parentAt(i - 1);
  if (shape.step != 0) return shape;
  std::string_view before = n.keyAt(i - 1);
  size_t most = std::min<size_t>(shape.inlineBytes, std::min<size_t>(before.size(), VEKTree::INLINE_KEY));
  while (shape.shared < most && before[shape.shared] == key[shape.shared]) ++shape.shared;
  return shape;
}

// Bytes of entry i of n stored with that shape.
size_t shapeSize(const VEKNode& n, size_t i, const EntryShape& shape) {
  size_t length = n.slots[i].length;
  return varintSize(shape.shared) + varintSize(shape.step) + varintSize(length) +
         (n.leaf ? varintSize(n.slots[i].id) : 4) + (length > VEKTree::INLINE_KEY ? 4 : 0) + shape.inlineBytes -
         shape.shared;
}

// The stamp at the header's bytes; false when its checksum does not hold.
// Zeros (a file written before the stamp existed) read as no stamp.
bool decodeStamp(const u8* header, VEKBaseStamp* stamp) {
  const u8* at = header + kStampAt;
  *stamp = VEKBaseStamp();
  if (std::all_of(at, header + kStampEnd, [](u8 byte) { return byte == 0; })) return true;
  if (getLE(at + kStampBytes, 4) != VekKernel::fnv1a(at, kStampBytes)) return false;
  stamp->kind = static_cast<u32>(getLE(at, 4));
  std::memcpy(stamp->identity, at + 4, VEKBaseStamp::IDENTITY);
  stamp->commits = getLE(at + 20, 8);
  return true;
}

void encodeStamp(const VEKBaseStamp& stamp, u8* header) {
  u8* at = header + kStampAt;
  if (!stamp.stamped()) return;  // stays zeros, as older files have it
  putLE(at, stamp.kind, 4);
  std::memcpy(at + 4, stamp.identity, VEKBaseStamp::IDENTITY);
  putLE(at + 20, stamp.commits, 8);
  putLE(at + kStampBytes, VekKernel::fnv1a(at, kStampBytes), 4);
}

// True when header holds a base header whose fields' checksums hold.
bool headerChecks(const u8* header) {
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || getLE(header + 40, 4) != VekKernel::fnv1a(header, 40))
    return false;
  return getLE(header + 44, 4) == 0 || getLE(header + 48, 4) == VekKernel::fnv1a(header, 48);
}

}  // namespace

bool VEKBaseStamp::sameBase(const VEKBaseStamp& other) const {
  return kind == other.kind && std::memcmp(identity, other.identity, IDENTITY) == 0;
}

VEKBaseStamp VEKBaseStamp::fresh(Kind kind) {
  VEKBaseStamp stamp;
  stamp.kind = kind;
  std::random_device random;
  for (size_t i = 0; i < IDENTITY; i += 4) {
    u32 word = random();
    std::memcpy(stamp.identity + i, &word, 4);
  }
  return stamp;
}

bool readBaseStamp(VEKStream& stream, VEKBaseStamp* stamp) {
  u8 header[kStampEnd];
  try {
    if (stream.readUncached(0, header, sizeof header) != static_cast<int64>(sizeof header)) return false;
  } catch (const std::exception&) {
    return false;
  }
  return headerChecks(header) && decodeStamp(header, stamp);
}

bool readBaseStamp(const std::string& headerPage, VEKBaseStamp* stamp) {
  if (headerPage.size() < kStampEnd) return false;
  const u8* header = reinterpret_cast<const u8*>(headerPage.data());
  return headerChecks(header) && decodeStamp(header, stamp);
}

bool readBaseStamp(const VEKStream& like, const std::string& name, VEKBaseStamp* stamp) {
  std::unique_ptr<VEKStream> in(like.newStream());
  if (in->access(name.c_str(), 0) != 0) return false;
  try {
    in->open(name.c_str(), O_RDONLY, 0);
  } catch (const std::exception&) {
    return false;
  }
  return readBaseStamp(*in, stamp);
}

void VEKTree::setStamp(const VEKBaseStamp& stamp) {
  baseStamp = stamp;
  headerDirty = true;
}

// Reads the fields of a page's entries in turn; a field that would end
// past the page is damage.
struct VEKTree::PageReader {
  const u8* at;     // the page
  size_t pos;       // next byte
  u32 page;         // its number, for the error
  const VEKTree* tree;
  void need(size_t count) {
    if (pos + count > PAGE) tree->damaged(page);
  }
  u64 varint() {
    u64 value = 0;
    for (int shift = 0;; shift += 7) {
      need(1);
      u8 byte = at[pos++];
      if (shift == 63 && byte > 1) tree->damaged(page);
      value |= static_cast<u64>(byte & 0x7f) << shift;
      if (!(byte & 0x80)) return value;
    }
  }
  u64 fixed(int count) {
    need(static_cast<size_t>(count));
    u64 value = getLE(at + pos, count);
    pos += static_cast<size_t>(count);
    return value;
  }
  const u8* bytes(size_t count) {
    need(count);
    pos += count;
    return at + pos - count;
  }
};

bool mayHoldBase(const VEKStream& like, const std::string& name) {
  VEKLeading leading = leadingBytes(like, name, kMagic);
  return leading == VEKLeading::Missing || leading == VEKLeading::Empty || leading == VEKLeading::Magic;
}

bool isBaseFile(const VEKStream& like, const std::string& name) {
  return leadingBytes(like, name, kMagic) == VEKLeading::Magic;
}

VEKTree::VEKTree(VEKStream& base) : stream(base) {
  if (stream.size() == 0) format();
  else readHeader();
}

VEKTree::~VEKTree() = default;

size_t VEKTree::pageCacheBytes = VEKTree::PAGE_CACHE_BYTES;

VEKTree::NodePtr VEKTree::makeNode(u32 page) {
  NodePtr made(new VEKNode());
  made->page = page;
  return made;
}

// Puts a node into the cache as page's node, used just now.
VEKNode& VEKTree::cache(u32 page, NodePtr made) {
  VEKNode& n = *made;
  n.used = true;
  n.clockIndex = static_cast<u32>(clock.size());
  n.charge = 0;
  clock.push_back(page);
  nodes[page] = std::move(made);
  recharge(n);
  return n;
}

// Takes a node out of the clock and its memory out of the count; the
// caller then drops or retires it.
void VEKTree::uncache(VEKNode& n) {
  u32 moved = clock.back();
  clock[n.clockIndex] = moved;
  nodes[moved]->clockIndex = n.clockIndex;
  clock.pop_back();
  cachedBytes -= n.charge;
  n.charge = 0;
}

void VEKTree::recharge(VEKNode& n) {
  size_t charge = sizeof(VEKNode) + n.slots.capacity() * sizeof(VEKSlot) +
                  n.children.capacity() * sizeof(VEKChild) + n.arena.capacity();
  cachedBytes += charge - n.charge;
  n.charge = charge;
}

// Rule 1: sweeps the clock until the cached nodes fit in seven eighths of
// the budget (so a full cache does not evict on every operation), writes
// the changed ones among the leaving nodes in one batch and drops them. A
// failed write puts them back, still changed.
void VEKTree::evict() {
  retired.clear();
  if (cachedBytes <= pageCacheBytes) return;
  size_t target = pageCacheBytes - pageCacheBytes / 8;
  std::vector<NodePtr> leaving;
  while (cachedBytes > target && !clock.empty()) {
    if (hand >= clock.size()) hand = 0;
    VEKNode& n = *nodes[clock[hand]];
    if (n.used) {
      n.used = false;
      ++hand;
      continue;
    }
    u32 page = n.page;
    uncache(n);  // the clock's last page takes this place: the hand stays
    leaving.push_back(std::move(nodes[page]));
  }
  std::vector<std::pair<u32, std::string>> out;
  try {
    for (NodePtr& n : leaving) {
      if (!n->dirty) continue;
      std::string bytes = encodeNode(*n, out);
      out.emplace_back(n->page, std::move(bytes));
    }
    if (!out.empty()) {
      if (spillHook) spillHook();
      writePages(out);
    }
  } catch (const std::exception&) {
    for (NodePtr& n : leaving) {
      const u32 page = n->page;  // read before the move empties n
      cache(page, std::move(n));
    }
    throw;
  }
  for (NodePtr& n : leaving) dirtyCount -= n->dirty;
}

void VEKTree::format() {
  created = true;
  rootPage = 1;
  pageCount = 2;
  nodes.resize(pageCount);
  freePages.resize(pageCount);
  recount(cache(1, makeNode(1)));
  touch(1);
  headerDirty = true;
}

void VEKTree::readHeader() {
  std::string header(kStampEnd, '\0');
  auto notBase = [this]() { throw std::runtime_error("Can't open the VEKBase file: " + stream.name()); };
  if (stream.readAt(0, raw(header), kStampEnd) != static_cast<int64>(kStampEnd)) notBase();
  const u8* at = raw(header);
  if (!headerChecks(at)) notBase();
  u32 version = static_cast<u32>(getLE(at + 44, 4));
  if (version != FORMAT_VERSION)
    throw std::runtime_error("Can't open the VEKBase file: " + stream.name() + " (written in format version " +
                             std::to_string(version == 0 ? 1 : version) + ", this program reads version " +
                             std::to_string(FORMAT_VERSION) + " only)");
  if (getLE(at + 8, 4) != PAGE) notBase();
  rootPage = static_cast<u32>(getLE(at + 12, 4));
  pageCount = static_cast<u32>(getLE(at + 16, 4));
  u32 freeHead = static_cast<u32>(getLE(at + 20, 4));
  nextId = getLE(at + 24, 8);
  homeId = getLE(at + 32, 8);
  if (!decodeStamp(at, &baseStamp)) notBase();
  if (pageCount < 2 || rootPage == 0 || rootPage >= pageCount || freeHead >= pageCount ||
      stream.size() < static_cast<int64>(pageCount) * PAGE)
    notBase();
  nodes.resize(pageCount);
  freePages.resize(pageCount);
  loadFreeList(freeHead);
}

std::string VEKTree::encodeHeader() const {
  std::string page(PAGE, '\0');
  u8* at = raw(page);
  std::memcpy(at, kMagic, sizeof kMagic);
  putLE(at + 8, PAGE, 4);
  putLE(at + 12, rootPage, 4);
  putLE(at + 16, pageCount, 4);
  putLE(at + 20, freeStack.empty() ? 0 : freeStack.back(), 4);
  putLE(at + 24, nextId, 8);
  putLE(at + 32, homeId, 8);
  putLE(at + 40, VekKernel::fnv1a(at, 40), 4);
  putLE(at + 44, FORMAT_VERSION, 4);
  putLE(at + 48, VekKernel::fnv1a(at, 48), 4);
  encodeStamp(baseStamp, at);
  return page;
}

std::string VEKTree::readPage(u32 page) {
  if (page == 0 || page >= pageCount) damaged(page);
  std::string bytes(PAGE, '\0');
  if (stream.readUncached(static_cast<int64>(page) * PAGE, raw(bytes), PAGE) != PAGE) damaged(page);
  return bytes;
}

// The free pages form a chain from the header's first free page; the
// stack keeps the first one on top, so pages below the top never change
// their successor and need no rewrite.
void VEKTree::loadFreeList(u32 head) {
  std::vector<u32> chain;
  for (u32 page = head; page != 0;) {
    if (chain.size() >= pageCount) damaged(page);
    std::string bytes = readPage(page);
    if (raw(bytes)[0] != kFree) damaged(page);
    chain.push_back(page);
    page = static_cast<u32>(getLE(raw(bytes) + 4, 4));
  }
  freeStack.assign(chain.rbegin(), chain.rend());
  for (u32 page : chain) freePages[page] = true;
}

// A link to a free page (a leaf freed through one parent while another,
// damaged one still names it) is damage.
VEKNode& VEKTree::load(u32 page) {
  if (freePages[page]) damaged(page);
  NodePtr fresh = makeNode(page);
  decodeNode(page, readPage(page), *fresh);
  return cache(page, std::move(fresh));
}

// Reads an entry's fields (see the layout in VEKTree.h); every step is
// checked against the page's end and the entries must increase.
void VEKTree::decodeNode(u32 page, const std::string& bytes, VEKNode& n) {
  const u8* at = raw(bytes);
  if (at[0] != kLeaf && at[0] != kInner) damaged(page);
  n.leaf = at[0] == kLeaf;
  size_t count = getLE(at + 2, 2);
  if (count >= VEKNode::MAX_ENTRIES) damaged(page);
  n.slots.reserve(count);
  n.next = static_cast<u32>(getLE(at + 4, 4));
  n.prev = static_cast<u32>(getLE(at + 8, 4));
  auto checkPage = [&](u32 link, bool zeroAllowed) {
    if ((link == 0 && !zeroAllowed) || link >= pageCount) damaged(page);
    return link;
  };
  checkPage(n.next, true);
  checkPage(n.prev, true);
  if (!n.leaf) {
    n.children.reserve(count + 1);
    n.children.push_back(checkPage(static_cast<u32>(getLE(at + 12, 4)), false));
  }
  PageReader in{at, kPageHeader, page, this};
  char previous[INLINE_KEY];  // inline bytes of the previous key, then of this one
  size_t previousLength = 0;
  std::string longKey;
  u64 parent = 0;
  for (size_t i = 0; i < count; ++i) {
    u64 shared = in.varint(), step = in.varint(), length = in.varint();
    u64 id = n.leaf ? in.varint() : 0;
    size_t inlineBytes = std::min<size_t>(length, INLINE_KEY);
    if (length == 0 || length > MAX_KEY_BYTES || shared > previousLength || shared > inlineBytes ||
        parent + step < parent || (i == 0 && shared != 0))
      damaged(page);
    parent += step;
    u32 overflow = length > INLINE_KEY ? static_cast<u32>(in.fixed(4)) : 0;
    std::memcpy(previous + shared, in.bytes(inlineBytes - shared), inlineBytes - shared);
    previousLength = inlineBytes;
    std::string_view key(previous, inlineBytes);
    if (length > INLINE_KEY) {
      longKey.assign(key);
      longKey += readOverflow(overflow, length - INLINE_KEY);
      key = longKey;
    }
    if (!n.leaf) n.children.push_back(checkPage(static_cast<u32>(in.fixed(4)), false));
    if (i > 0 && step == 0 && !(n.keyAt(i - 1) < key)) damaged(page);
    n.insertEntry(i, parent, id, key, overflow);
  }
  n.bytes = in.pos;  // what the encoder counts entry by entry
}

std::string VEKTree::readOverflow(u32 first, size_t length) {
  std::string rest;
  for (u32 page = first; rest.size() < length;) {
    std::string bytes = readPage(page);
    const u8* at = raw(bytes);
    size_t used = getLE(at + 8, 4);
    if (at[0] != kOverflow || used == 0 || used > PAGE - kPageHeader || rest.size() + used > length) damaged(page);
    rest.append(bytes, kPageHeader, used);
    page = static_cast<u32>(getLE(at + 4, 4));
  }
  return rest;
}

u32 VEKTree::writeOverflow(const std::string& rest, std::vector<std::pair<u32, std::string>>& out) {
  const size_t chunk = PAGE - kPageHeader;
  std::vector<u32> pages;
  for (size_t done = 0; done < rest.size(); done += chunk) pages.push_back(takePage());
  for (size_t i = 0; i < pages.size(); ++i) {
    std::string bytes(PAGE, '\0');
    size_t used = std::min(chunk, rest.size() - i * chunk);
    raw(bytes)[0] = kOverflow;
    putLE(raw(bytes) + 4, i + 1 < pages.size() ? pages[i + 1] : 0, 4);
    putLE(raw(bytes) + 8, used, 4);
    std::memcpy(raw(bytes) + kPageHeader, rest.data() + i * chunk, used);
    out.emplace_back(pages[i], std::move(bytes));
  }
  return pages.front();
}

void VEKTree::freeChain(u32 first) {
  size_t steps = 0;
  for (u32 page = first; page != 0; ++steps) {
    if (steps >= pageCount) damaged(page);
    std::string bytes = readPage(page);
    if (raw(bytes)[0] != kOverflow) damaged(page);
    freePage(page);
    page = static_cast<u32>(getLE(raw(bytes) + 4, 4));
  }
}

std::string VEKTree::encodeNode(VEKNode& n, std::vector<std::pair<u32, std::string>>& out) {
  std::string bytes(PAGE, '\0');
  u8* at = raw(bytes);
  at[0] = n.leaf ? kLeaf : kInner;
  putLE(at + 2, n.size(), 2);
  putLE(at + 4, n.next, 4);
  putLE(at + 8, n.prev, 4);
  putLE(at + 12, n.leaf ? 0 : n.children[0].page, 4);
  size_t pos = kPageHeader;
  for (size_t i = 0; i < n.size(); ++i) {
    std::string_view key = n.keyAt(i);
    if (key.size() > INLINE_KEY && n.overflowAt(i) == 0)
      n.setOverflow(i, writeOverflow(std::string(key.substr(INLINE_KEY)), out));
    EntryShape shape = entryShape(n, i);
    if (pos + shapeSize(n, i, shape) > PAGE) damaged(n.page);  // the size count is wrong: never write past the page
    pos += putVarint(at + pos, shape.shared);
    pos += putVarint(at + pos, shape.step);
    pos += putVarint(at + pos, key.size());
    if (n.leaf) pos += putVarint(at + pos, n.idAt(i));
    if (key.size() > INLINE_KEY) {
      putLE(at + pos, n.overflowAt(i), 4);
      pos += 4;
    }
    std::memcpy(at + pos, key.data() + shape.shared, shape.inlineBytes - shape.shared);
    pos += shape.inlineBytes - shape.shared;
    if (!n.leaf) {
      putLE(at + pos, n.children[i + 1].page, 4);
      pos += 4;
    }
  }
  return bytes;
}

size_t VEKNode::entrySize(size_t i) const { return shapeSize(*this, i, entryShape(*this, i)); }

u32 VEKTree::takePage() {
  headerDirty = true;
  if (!freeStack.empty()) {
    u32 page = freeStack.back();
    freeStack.pop_back();
    freePages[page] = false;
    dirtyFree.erase(page);
    return page;
  }
  nodes.resize(++pageCount);
  freePages.resize(pageCount);
  return pageCount - 1;
}

u32 VEKTree::allocPage() {
  u32 page = takePage();
  recount(cache(page, makeNode(page)));
  touch(page);
  return page;
}

// Rule 5: the node of a freed page is retired until the next operation.
void VEKTree::freePage(u32 page) {
  if (nodes[page]) {
    uncache(*nodes[page]);
    dirtyCount -= nodes[page]->dirty;
    nodes[page]->dirty = false;
    nodes[page]->page = 0;
    retired.push_back(std::move(nodes[page]));
  }
  freeStack.push_back(page);
  freePages[page] = true;
  dirtyFree.insert(page);
  headerDirty = true;
}

// Writes the changed nodes (all of them are cached: rule 1) in batches of
// FLUSH_BATCH pages, so the encoded pages never take much memory, then the
// free pages and the header (rule 2). Long keys get their overflow pages
// as their node is encoded. A node counts as written once its batch is.
void VEKTree::flush() {
  trim();
  std::vector<std::pair<u32, std::string>> out;
  std::vector<VEKNode*> batch;
  auto writeBatch = [&]() {
    writePages(out);
    out.clear();
    for (VEKNode* n : batch) n->dirty = false;
    dirtyCount -= batch.size();
    batch.clear();
  };
  for (u32 page : clock) {
    VEKNode& n = *nodes[page];
    if (!n.dirty) continue;
    std::string bytes = encodeNode(n, out);
    out.emplace_back(page, std::move(bytes));
    batch.push_back(&n);
    if (batch.size() >= FLUSH_BATCH) writeBatch();
  }
  writeBatch();
  for (size_t i = 0; i < freeStack.size(); ++i) {
    if (!dirtyFree.count(freeStack[i])) continue;
    std::string bytes(PAGE, '\0');
    raw(bytes)[0] = kFree;
    putLE(raw(bytes) + 4, i > 0 ? freeStack[i - 1] : 0, 4);
    out.emplace_back(freeStack[i], std::move(bytes));
  }
  dirtyFree.clear();
  if (out.empty() && !headerDirty) return;
  out.emplace_back(0, encodeHeader());
  headerDirty = false;
  writePages(out);
}

// Lets a journal save the originals of all the pages to be overwritten and
// makes it durable, and only then writes: a crash during the writes is
// undone from a complete journal.
void VEKTree::writePages(std::vector<std::pair<u32, std::string>>& out) {
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  if (stream.journal()) {
    for (const auto& page : out) stream.saveOriginal(static_cast<int64>(page.first) * PAGE, PAGE);
    stream.journal()->sync();
  }
  for (const auto& page : out) {
    stream.seek(static_cast<int64>(page.first) * PAGE, SEEK_SET);
    stream.zwrite(page.second.data(), PAGE);
  }
}

}  // namespace VekBase
