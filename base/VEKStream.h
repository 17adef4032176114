// Byte streams of the database engine: the common interface VEKStream, the
// file stream VEKStreamFile (reads and writes through the process-wide
// file-buffer cache) and the memory stream VEKStreamMem (bytes kept in a
// process-wide store under the stream's name, so a memory base opened again
// by name in the same process finds its data).
//
// All memory streams together hold at most a process-wide limit of bytes
// (unbounded until set): a write, truncation or reserve that would need
// more is refused with std::runtime_error and leaves the stream as it was.
//
// A stream can journal itself (StartSaveWrite): from then on, before any
// write or truncation changes a region for the first time, the region's
// original bytes are appended to a journal stream of the same kind, so the
// change can be rolled back or the changed regions copied elsewhere.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "kernel/VekTypes.h"

namespace VekBase {

class VEKJournal;
class VEKFileBuffer;
struct VEKMemFile;

// Base class of the streams, cursors and bases: a virtual destructor only.
class VEKObject {
 public:
  virtual ~VEKObject();
};

// The byte-stream interface. Failures are thrown as std::runtime_error.
class VEKStream : public VEKObject {
 public:
  VEKStream();
  ~VEKStream() override;
  VEKStream(const VEKStream&) = delete;
  VEKStream& operator=(const VEKStream&) = delete;

  virtual bool isOpen() = 0;
  // Opens name with open(2) flags and permission mode; throws
  // "Unable to open file: '<name>' !" when it cannot.
  virtual void open(const char* name, int flags, int mode) = 0;
  virtual void close() = 0;
  virtual int64 tell() = 0;
  // lseek-like: whence is SEEK_SET, SEEK_CUR or SEEK_END; the new position.
  virtual int64 seek(int64 offset, int whence) = 0;
  // Writes all bytes at the position and advances it, or throws.
  virtual void zwrite(const void* data, int64 length) = 0;
  // Reads exactly length bytes or throws; 0 when the stream is not open.
  virtual int64 zread(void* buffer, int64 length) = 0;
  // access(2)-like test of a name of this stream's kind: 0 when it exists.
  virtual int access(const char* name, int mode) = 0;
  // Deletes a name of this stream's kind: 0 on success.
  virtual int remove(const char* name) = 0;
  virtual bool eof() = 0;
  virtual void truncate(int64 newSize) = 0;
  virtual int64 size() = 0;
  // Makes sure the open stream can later grow to newSize without being
  // refused for want of room, throwing when it cannot: a memory stream
  // takes its blocks now, leaving its size and bytes as they are; a file
  // takes its disk blocks (and, on a file system that cannot do that
  // alone, grows to newSize with zeros).
  virtual void reserve(int64 /*newSize*/) {}
  // Starts journalling this open stream into journalName (created afresh).
  virtual void StartSaveWrite(const std::string& journalName);
  // Stops journalling and closes the journal (the journal file stays).
  virtual void EndSaveWrite();

  // Renames a name of this stream's kind: 0 on success.
  virtual int rename(const char* from, const char* to) = 0;
  // Makes written bytes durable (fsync for files; nothing for memory).
  virtual void sync() = 0;
  // Makes the directory entries of name durable (nothing for memory).
  virtual void syncDirectory(const std::string& name) = 0;
  // Reads up to length bytes at offset without moving the position; the
  // bytes read (fewer at the end). Throws on an I/O error.
  virtual int64 readAt(int64 offset, void* buffer, int64 length) = 0;
  // readAt for a reader that keeps its own cache of what it reads (the
  // tree's pages): a file stream reads the file itself and leaves the
  // file-buffer cache alone, which gains nothing from a second copy.
  virtual int64 readUncached(int64 offset, void* buffer, int64 length) { return readAt(offset, buffer, length); }
  // A new closed stream of the same kind (file or memory).
  virtual VEKStream* newStream() const = 0;
  // The name the stream was opened with.
  const std::string& name() const { return streamName; }
  // The journal while StartSaveWrite is in force, else null.
  VEKJournal* journal() const { return activeJournal.get(); }
  // While journalling: saves the original bytes of [offset, offset+length)
  // that are not saved yet. Every write and truncation calls it first.
  void saveOriginal(int64 offset, int64 length);

 protected:
  std::string streamName;                      // name given to open
  std::unique_ptr<VEKJournal> activeJournal;   // journal while saving writes
};

// How the stream called name begins, compared with an 8-byte magic (read
// through a stream of like's kind): missing, empty, shorter than the magic
// and the start of it, beginning with it, or anything else.
enum class VEKLeading { Missing, Empty, PartOfMagic, Magic, Other };
VEKLeading leadingBytes(const VEKStream& like, const std::string& name, const char (&magic)[8]);

// A file on disk. Reads and writes go through the process-wide file-buffer
// cache (write-through: every write reaches the file before zwrite returns).
class VEKStreamFile : public VEKStream {
 public:
  VEKStreamFile();
  ~VEKStreamFile() override;

  bool isOpen() override;
  void open(const char* name, int flags, int mode) override;
  void close() override;
  int64 tell() override;
  int64 seek(int64 offset, int whence) override;
  void zwrite(const void* data, int64 length) override;
  int64 zread(void* buffer, int64 length) override;
  int access(const char* name, int mode) override;
  int remove(const char* name) override;
  bool eof() override;
  void truncate(int64 newSize) override;
  int64 size() override;
  void reserve(int64 newSize) override;
  int rename(const char* from, const char* to) override;
  void sync() override;
  void syncDirectory(const std::string& name) override;
  int64 readAt(int64 offset, void* buffer, int64 length) override;
  int64 readUncached(int64 offset, void* buffer, int64 length) override;
  VEKStream* newStream() const override;

  // Drops the cache entry of path (and a memory stream of that name) and
  // deletes the file; 0 on success.
  static int removeFile(const std::string& path);
  // Test hook: called before a file needs room past its size (a write past
  // its end, a reserve) with its name, its size and the end it grows to;
  // a hook that throws plays a full disk.
  static std::function<void(const std::string& name, int64 size, int64 newEnd)> roomHook;
  // Test hook: reserve acts as on a file system without fallocate.
  static bool fallocateUnsupported;

 private:
  bool cached() const;
  void writeAt(int64 offset, const void* data, int64 length);

  int fd = -1;                                  // own descriptor, -1 when closed
  int64 position = 0;                           // read/write position
  bool appendMode = false;                      // opened with O_APPEND
  std::shared_ptr<VEKFileBuffer> buffer;        // cache entry, null when uncached
};

// Bytes in memory, kept in a process-wide store under the stream's name
// until removed or the process ends. The bytes live in blocks of Block
// bytes; a stream holds the blocks that cover its size (and any room it
// reserved), and those blocks are what the process-wide limit counts.
class VEKStreamMem : public VEKStream {
 public:
  VEKStreamMem();
  ~VEKStreamMem() override;

  bool isOpen() override;
  void open(const char* name, int flags, int mode) override;
  void close() override;
  int64 tell() override;
  int64 seek(int64 offset, int whence) override;
  void zwrite(const void* data, int64 length) override;
  int64 zread(void* buffer, int64 length) override;
  int access(const char* name, int mode) override;
  int remove(const char* name) override;
  bool eof() override;
  void truncate(int64 newSize) override;
  int64 size() override;
  void reserve(int64 newSize) override;
  int rename(const char* from, const char* to) override;
  void sync() override;
  void syncDirectory(const std::string& name) override;
  int64 readAt(int64 offset, void* buffer, int64 length) override;
  VEKStream* newStream() const override;

  // Drops the stored bytes of name; 0 when they existed.
  static int removeStored(const std::string& name);

  static constexpr int64 Block = 16 * 1024;  // bytes per block of a memory stream
  // The limit on the bytes all memory streams hold together; negative (the
  // default) for none. Lowering it below what they hold refuses growth
  // until enough is released.
  static void setLimit(int64 bytes);
  // Bytes all memory streams hold now (whole blocks).
  static int64 held();

 private:
  std::shared_ptr<VEKMemFile> file;  // the stored bytes, null when closed
  int64 position = 0;                // read/write position
};

}  // namespace VekBase
