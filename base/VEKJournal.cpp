// The rollback journal of a stream (see VEKJournal.h for its layout and rules).
#include "base/VEKJournal.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "base/VEKBytes.h"
#include "kernel/VekUtil.h"

namespace VekBase {

namespace {

const char kMagic[8] = {'V', 'E', 'K', 'J', 'R', 'N', 'L', '1'};
const char kEndMagic[8] = {'V', 'E', 'K', 'J', 'E', 'N', 'D', '1'};
constexpr int kHeaderSize = 20;
constexpr int kRecordHeader = 16;
constexpr int kTrailerSize = 40;

// FNV-1a over a record's header fields and bytes: a record that a power
// loss left half written fails it and ends the journal there.
u32 checksum(const u8* bytes, size_t length, u32 hash = VekKernel::Fnv1aBasis) {
  return VekKernel::fnv1a(bytes, length, hash);
}

u32 recordChecksum(const u8* record, size_t dataLength) {
  return checksum(record + kRecordHeader, dataLength, checksum(record, 12));
}

// The trailer's chain: a record folded in by its header, whose checksum
// already covers its bytes.
u32 chainRecord(u32 chain, const u8* record) { return checksum(record, kRecordHeader, chain); }

std::string encodeTrailer(int64 records, int64 recordBytes, int64 sealedSize, u32 chain) {
  std::string trailer(kEndMagic, sizeof kEndMagic);
  appendLE(trailer, static_cast<u64>(records), 8);
  appendLE(trailer, static_cast<u64>(recordBytes), 8);
  appendLE(trailer, static_cast<u64>(sealedSize), 8);
  appendLE(trailer, chain, 4);
  appendLE(trailer, checksum(reinterpret_cast<const u8*>(trailer.data()), trailer.size()), 4);
  return trailer;
}

// Rule 5: a trailer that ends the file exactly, agrees with the records
// read before it, and verifies itself makes the journal whole.
bool trailerCloses(const u8* at, int64 remaining, int64 records, int64 recordBytes, u32 chain,
                   int64* sealedSize) {
  if (remaining != kTrailerSize) return false;
  const int64 size = static_cast<int64>(getLE(at + 24, 8));
  std::string expected = encodeTrailer(records, recordBytes, size, chain);
  if (std::memcmp(at, expected.data(), kTrailerSize) != 0) return false;
  *sealedSize = size;
  return true;
}

}  // namespace

std::function<void()> VEKJournal::writeHook;

VEKJournal::VEKJournal(VEKStream& journalled, const std::string& name)
    : target(journalled), out(journalled.newStream()), journalName(name), startSize(journalled.size()) {
  out->open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  std::string header(kMagic, sizeof kMagic);
  appendLE(header, static_cast<u64>(startSize), 8);
  chain = checksum(reinterpret_cast<const u8*>(header.data()), 16);
  appendLE(header, chain, 4);
  out->zwrite(header.data(), static_cast<int64>(header.size()));
}

VEKJournal::~VEKJournal() {
  if (out && out->isOpen()) out->close();
}

void VEKJournal::saveOriginal(int64 offset, int64 length) {
  if (writeHook) writeHook();
  if (length <= 0) return;
  if (sealed) throw std::runtime_error("Journal: a change after sealing " + journalName);
  int64 first = offset / BLOCK;
  int64 last = (offset + length - 1) / BLOCK;
  std::string record;
  for (int64 block = first; block <= last && block * BLOCK < startSize; ++block) {
    if (!savedBlocks.insert(block).second) continue;
    int64 size = std::min(BLOCK, startSize - block * BLOCK);
    record.assign(kRecordHeader + size, '\0');
    u8* bytes = reinterpret_cast<u8*>(&record[0]);
    putLE(bytes, static_cast<u64>(block * BLOCK), 8);
    putLE(bytes + 8, static_cast<u64>(size), 4);
    if (target.readAt(block * BLOCK, bytes + kRecordHeader, size) != size)
      throw std::runtime_error("Journal: short read of " + target.name());
    putLE(bytes + 12, recordChecksum(bytes, static_cast<size_t>(size)), 4);
    out->zwrite(record.data(), static_cast<int64>(record.size()));
    unsynced = true;
    ++records;
    recordBytes += static_cast<int64>(record.size());
    chain = chainRecord(chain, bytes);
  }
}

void VEKJournal::seal() {
  std::string trailer = encodeTrailer(records, recordBytes, target.size(), chain);
  out->zwrite(trailer.data(), static_cast<int64>(trailer.size()));
  sealed = true;
  unsynced = true;
  sync();
}

void VEKJournal::sync() {
  if (!unsynced && directorySynced) return;
  out->sync();
  unsynced = false;
  if (!directorySynced) out->syncDirectory(journalName);
  directorySynced = true;
}

bool mayHoldJournal(const VEKStream& like, const std::string& name) {
  return leadingBytes(like, name, kMagic) != VEKLeading::Other;
}

bool isJournalFile(const VEKStream& like, const std::string& name) {
  return leadingBytes(like, name, kMagic) == VEKLeading::Magic;
}

VEKJournalImage readJournal(const VEKStream& like, const std::string& name) {
  VEKJournalImage image;
  std::unique_ptr<VEKStream> in(like.newStream());
  if (in->access(name.c_str(), 0) != 0) return image;
  in->open(name.c_str(), O_RDONLY, 0600);
  int64 total = in->size();
  std::string bytes(static_cast<size_t>(total), '\0');
  if (total > 0 && in->readAt(0, &bytes[0], total) != total) return image;
  in->close();
  const u8* at = reinterpret_cast<const u8*>(bytes.data());
  if (total < kHeaderSize || std::memcmp(at, kMagic, sizeof kMagic) != 0 || getLE(at + 16, 4) != checksum(at, 16))
    return image;
  image.valid = true;
  image.originalSize = static_cast<int64>(getLE(at + 8, 8));
  u32 chain = static_cast<u32>(getLE(at + 16, 4));
  int64 pos = kHeaderSize;
  while (pos + kRecordHeader <= total) {
    if (std::memcmp(at + pos, kEndMagic, sizeof kEndMagic) == 0) break;  // the trailer (rule 3)
    int64 offset = static_cast<int64>(getLE(at + pos, 8));
    int64 size = static_cast<int64>(getLE(at + pos + 8, 4));
    if (pos + kRecordHeader + size > total || getLE(at + pos + 12, 4) != recordChecksum(at + pos, size))
      return image;  // cut short by a crash: never whole
    image.regions.emplace_back(offset, bytes.substr(static_cast<size_t>(pos + kRecordHeader), size));
    chain = chainRecord(chain, at + pos);
    pos += kRecordHeader + size;
  }
  image.whole = trailerCloses(at + pos, total - pos, static_cast<int64>(image.regions.size()), pos - kHeaderSize,
                              chain, &image.sealedSize);
  return image;
}

void rollbackJournal(VEKStream& target, const VEKJournalImage& image) {
  // Journalled writes only ever grow the stream, and a rollback cuts it
  // back to no less than the original size: a shorter target is not the
  // file this journal was made for (it was deleted and created anew), and
  // writing old pages into it would corrupt it.
  if (target.size() < image.originalSize) return;
  for (const auto& region : image.regions) {
    target.seek(region.first, 0);
    target.zwrite(region.second.data(), static_cast<int64>(region.second.size()));
  }
  target.truncate(image.originalSize);
}

void copyJournalled(VEKStream& from, VEKStream& to, const VEKJournalImage& image) {
  std::string bytes;
  auto copy = [&](int64 offset, int64 length) {
    bytes.resize(static_cast<size_t>(length));
    int64 got = from.readAt(offset, &bytes[0], length);
    if (got <= 0) return;
    to.seek(offset, 0);
    to.zwrite(bytes.data(), got);
  };
  int64 newSize = from.size();
  for (const auto& region : image.regions)
    copy(region.first, static_cast<int64>(region.second.size()));
  for (int64 offset = image.originalSize; offset < newSize; offset += VEKJournal::BLOCK)
    copy(offset, std::min(VEKJournal::BLOCK, newSize - offset));
  to.truncate(newSize);
}

}  // namespace VekBase
