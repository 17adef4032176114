// The database cursor. VEKCursorBase opens (or creates) one base on a file
// or memory stream and moves over its tree of levels: each level is an
// ordered set of keys (unsigned byte order, a prefix before its longer
// keys), and every key may own a sub-level. A symbol's data is its key.
// VEKCursor is the same cursor with each operation checked against the
// read or write permission first.
//
// The root level holds the reserved keys "DSQP", "VEK" (home), "VEKPoints",
// "access" (users) and "index" (word index); a new cursor stands on the home
// level at its first key, and pages see only what lies below home.
//
// A failed move or find leaves the cursor where it was. Keys are 1 byte to
// 16 MiB long. Failures of the
// storage (a damaged or foreign file, an I/O error) are thrown as
// std::runtime_error.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/VEKStream.h"
#include "kernel/VekTypes.h"

namespace VekBase {

class VEKTree;
struct VEKBaseStamp;
struct VEKPos;

// Stream kinds of the constructor's flags.
enum : u32 { VEK_STREAM_MEMORY = 2, VEK_STREAM_FILE = 4 };

// Deletes the stream called path of that kind (VEK_STREAM_MEMORY or
// VEK_STREAM_FILE) only when it holds a base; 0 when it was deleted, else -1
// (nothing is touched: a memory base never deletes a file on disk).
int removeBaseFile(const std::string& path, u32 mode);
// True when the file at path begins as a base file does.
bool holdsBaseFile(const std::string& path);

// Bases named "memory_..." or "temp_..." live in memory only, wherever they
// are opened from (pages, the sort mode).
inline bool isMemoryBaseName(const std::string& name) {
  return name.rfind("memory_", 0) == 0 || name.rfind("temp_", 0) == 0;
}
// The stream kind a base of that name is opened with.
inline u32 streamKindFor(const std::string& name) {
  return isMemoryBaseName(name) ? VEK_STREAM_MEMORY : VEK_STREAM_FILE;
}

// A place in the tree that survives other cursors' moves: the keys from the
// root down to the owner of the cursor's level, and the current key.
struct VEKPosition {
  std::vector<std::string> levelPath;  // keys from the root to the level's owner
  bool hasCurrent = false;             // false: empty position on that level
  std::string key;                     // current key when hasCurrent
};

class VEKCursorBase : public VEKObject {
 public:
  static constexpr u64 MAX_KEY = 1 << 24;  // longest key (and so data) accepted


  // Opens or creates fileName: flags 2 on a memory stream, 4 on a file
  // stream. Throws std::runtime_error when the base cannot be opened.
  VEKCursorBase(const char* fileName, u32 flags);
  ~VEKCursorBase() override;
  VEKCursorBase(const VEKCursorBase&) = delete;
  VEKCursorBase& operator=(const VEKCursorBase&) = delete;

  // Base life.
  virtual void open(const char* fileName);
  virtual void close();          // writes pending changes, closes the stream
  virtual void discard();        // closes the stream, dropping pending changes
  virtual void flush();          // writes pending changes to the stream
  bool isOpen() const { return tree != nullptr; }
  VEKStream* stream() const { return baseStream.get(); }
  const std::string& fileName() const { return baseName; }
  // True when this open made the base (formatted an empty file).
  bool created() const;
  // What the base file says about itself (VEKTree.h); a new stamp is
  // written with the next flush.
  const VEKBaseStamp& stamp() const;
  void setStamp(const VEKBaseStamp& stamp);

  // Symbols.
  virtual bool putSymbol(const std::string& key);
  virtual bool putSymbolData(const void* data, u64 size, u16 type);
  virtual bool replaceSymbol(const std::string& key);
  virtual bool replaceSymbolData(const void* data, u64 size, u16 type);
  virtual bool deleteSymbol();
  virtual int64 readData(void* buffer, u64 size);
  virtual std::string readString();
  virtual int64 dataLength();

  // Finding on the current level.
  virtual bool findSymbol(const std::string& key);
  virtual bool findSymbolOrNext(const std::string& key);
  virtual bool findSymbolOrPrev(const std::string& key);
  virtual bool existsSymbol(const std::string& key);
  virtual int searchSymbol(const std::string& key);

  // Moving.
  virtual bool goFirst();
  virtual bool goLast();
  virtual bool goNextKey();
  virtual bool goPrevKey(u8 strict = 0);
  virtual bool goChild();
  virtual bool goParent();
  virtual bool goSubLevel();
  virtual bool goPr();
  virtual bool goNx();
  virtual bool goUp();
  virtual bool goDn();
  virtual void goHome();
  virtual int64 getChildCount();
  virtual int64 getSymbolCount();

  // Paths as packed string lists (separator "\").
  virtual std::string getStringList(bool fromHome);
  virtual bool findStringList(const std::string& list, bool fromHome);
  virtual bool setStringList(const std::string& list, bool fromHome);
  virtual std::string readStringAtList(const std::string& list, bool fromHome);
  virtual bool existsStringList(const std::string& list, bool fromHome);
  virtual bool moveStringList(const std::string& from, const std::string& to);

  // Saved positions (used by protected bases to move readers).
  virtual VEKPosition savePosition();
  virtual bool restorePosition(const VEKPosition& position);

  // Permissions.
  virtual void lockWrite();
  virtual void unlockWrite();
  virtual void lockRead();
  virtual void unlockRead();
  bool canRead() const { return readAllowed; }
  bool canWrite() const { return writeAllowed; }
  bool isAdmin() const { return adminAllowed; }

  // Word index.
  virtual void addToIndex(const std::string& text, const std::string& second);
  virtual void removeFromIndex();
  virtual std::string searchInIndex(const std::string& query, const std::string& second, int64 limit);

  // Users and rights ("read", "write", "admin").
  virtual bool addUser(const std::string& user, const std::string& pass, const std::string& right);
  virtual bool changePassword(const std::string& user, const std::string& pass,
                              const std::string& newUser, const std::string& newPass);
  virtual bool deleteUser(const std::string& user, const std::string& pass);
  virtual bool login(const std::string& user, const std::string& pass, const std::string& right);

 protected:
  // One step of the path from the root: a key and the id of its sub-level.
  struct Frame {
    std::string key;  // key of the owner symbol
    u64 id;           // id of the level it owns
  };

  VEKTree& base();
  void rollbackInterruptedFlush();
  void startOwnJournal();
  u64 levelId() const;
  bool atHomeLevel() const;
  bool enterPath(const std::vector<std::string>& keys, bool fromHome, bool create,
                 std::vector<Frame>* frames, u64* lastId);
  void standOn(std::string_view key, u64 id);
  void standEmpty();
  // The key and id at pos when it holds an item of level; false otherwise.
  bool itemOfLevel(const VEKPos& pos, u64 level, std::string* key, u64* id);
  bool firstOf(u64 level, std::string* key, u64* id);
  bool lastOf(u64 level, std::string* key, u64* id);
  bool nextAfter(u64 level, const std::string& key, std::string* nextKey, u64* id);
  bool prevBefore(u64 level, const std::string& key, std::string* prevKey, u64* id);
  void deleteSubtree(u64 id);
  int64 countLevel(u64 level);
  u64 rootChild(const std::string& key, bool create);
  std::vector<std::string> childKeys(u64 level);
  bool userRecord(const std::string& user, u64* id, std::string* digest, std::string* right);
  u64 indexBranch(const std::string& branch, bool create);

  std::string baseName;                 // file or memory name of the base
  u32 streamFlags;                      // VEK_STREAM_MEMORY or VEK_STREAM_FILE
  std::unique_ptr<VEKStream> baseStream;  // the open stream
  std::unique_ptr<VEKTree> tree;        // the base's tree, null when closed
  bool ownJournal = false;              // this cursor journals its file itself (see flush)
  std::vector<Frame> frames;            // owners from the root to the level
  bool hasCurrent = false;              // false: empty position
  std::string currentKey;               // key of the current symbol
  u64 currentId = 0;                    // sub-level id of the current symbol
  bool readAllowed = true;              // read permission
  bool writeAllowed = true;             // write permission
  bool adminAllowed = true;             // admin permission
};

// The cursor with permission checks: read operations throw
// "Error: VEK Base read denied." and write operations
// "Error: VEK Base write denied." while that permission is off.
class VEKCursor : public VEKCursorBase {
 public:
  VEKCursor(const char* fileName, u32 flags);

  bool putSymbol(const std::string& key) override;
  bool putSymbolData(const void* data, u64 size, u16 type) override;
  bool replaceSymbol(const std::string& key) override;
  bool replaceSymbolData(const void* data, u64 size, u16 type) override;
  bool deleteSymbol() override;
  int64 readData(void* buffer, u64 size) override;
  std::string readString() override;
  int64 dataLength() override;
  bool findSymbol(const std::string& key) override;
  bool findSymbolOrNext(const std::string& key) override;
  bool findSymbolOrPrev(const std::string& key) override;
  bool existsSymbol(const std::string& key) override;
  int searchSymbol(const std::string& key) override;
  bool goFirst() override;
  bool goLast() override;
  bool goNextKey() override;
  bool goPrevKey(u8 strict = 0) override;
  bool goChild() override;
  bool goParent() override;
  bool goSubLevel() override;
  bool goPr() override;
  bool goNx() override;
  bool goUp() override;
  bool goDn() override;
  int64 getChildCount() override;
  int64 getSymbolCount() override;
  std::string getStringList(bool fromHome) override;
  bool findStringList(const std::string& list, bool fromHome) override;
  bool setStringList(const std::string& list, bool fromHome) override;
  std::string readStringAtList(const std::string& list, bool fromHome) override;
  bool existsStringList(const std::string& list, bool fromHome) override;
  bool moveStringList(const std::string& from, const std::string& to) override;
  void addToIndex(const std::string& text, const std::string& second) override;
  void removeFromIndex() override;
  std::string searchInIndex(const std::string& query, const std::string& second, int64 limit) override;
  bool addUser(const std::string& user, const std::string& pass, const std::string& right) override;
  bool changePassword(const std::string& user, const std::string& pass,
                      const std::string& newUser, const std::string& newPass) override;
  bool deleteUser(const std::string& user, const std::string& pass) override;

 private:
  void checkRead() const;
  void checkWrite() const;
};

// Packs text split at separator into a string list: per item eight
// upper-case hex digits of its length in UTF-8 code points, then the item.
// An empty text gives an empty list.
std::string packStringList(const std::string& text, const std::string& separator);
// The items of a packed list joined with separator.
std::string unpackStringList(const std::string& separator, const std::string& packed);
// The items of a packed list (a malformed tail is ignored).
std::vector<std::string> splitStringList(const std::string& packed);
// Packs items into a string list.
std::string joinStringList(const std::vector<std::string>& items);

}  // namespace VekBase
