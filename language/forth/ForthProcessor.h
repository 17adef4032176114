// The Forth processor: a Forth system with 64-bit cells on the language
// processor interface. It owns a 128 KiB data space, a data stack and a
// return stack of 256 cells each, and a dictionary of `Definition`s whose
// handlers are member functions. Colon definitions are threaded code: runs of
// cells in the data space holding execution tokens (the addresses of
// `Definition`s), literals after "(lit)" and byte offsets after "(branch)" and
// "(zbranch)". The inner interpreter nests on the host call stack.
//
// Rules every handler keeps:
//  1. Depth and room checks come first, so a failing word leaves the stacks
//     as they were. Every failure is an AbortException whose text starts with
//     the word's upper-case name (a program-made word uses its own name).
//  2. An address taken from a cell is used only through bytesAt / cellAt /
//     textAt, which accept it only when the whole range lies in memory the
//     processor owns or handed out (data space, stacks, its text buffers, the
//     program arguments, STATE, >IN, BASE, live "allocate" blocks, the
//     texts kept by holdText and the definitions' names); else
//     "<WORD>: invalid address".
//  3. A file id is used only through fileAt, which accepts only streams this
//     processor opened and has not closed; else "<WORD>: not a valid file ID".
//  4. An execution token is used only through definitionAt, which accepts only
//     addresses of this processor's live definitions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "PrintingProcessor.h"

namespace VekLanguage {

class ForthProcessor;

// One stack cell; addresses are stored as plain integers.
using Cell = int64;
// What executing a word does; called on the definition's owner.
using ForthHandler = void (ForthProcessor::*)();

// Every Forth error: the message names the failing word first.
class AbortException : public std::runtime_error {
public:
    explicit AbortException(const std::string& message) : std::runtime_error(message) {}
};

// Definition flags; both are toggled, never simply set.
constexpr int FlagHidden = 2;
constexpr int FlagImmediate = 4;

// One dictionary entry. Its address is the word's execution token (xt);
// the size is a power of two so that checking a token is cheap.
struct alignas(128) Definition {
    ForthHandler handler;   // what executing the word does
    Cell code;              // threaded code (colon word) or does-code; HERE at creation
    Cell body;              // data field address; HERE at creation
    int flags;              // FlagHidden | FlagImmediate
    std::string name;       // as written when defined; may be empty
    ForthProcessor* owner;  // the processor that made it
};

// A row of a word table: lower-case name and handler; a table ends with a
// row whose name is null.
struct KernelWord {
    const char* name;
    ForthHandler handler;
};

// A printing callback in the shape of a row callback (context, count,
// texts), which nothing in the system calls: it ignores the context and
// writes count and then the first text to standard output, with no
// separator, and returns 0. Without texts only count is written.
int forthPrintCallback(void* context, int count, char** texts);

class ForthProcessor : public PrintingProcessor {
public:
    static constexpr Cell CellSize = 8;                  // bytes per cell
    static constexpr Cell DataSpaceSize = 131072;        // bytes of data space
    static constexpr int StackCells = 256;               // cells per stack
    static constexpr size_t MaxDefinitions = 16384;      // dictionary capacity

    ForthProcessor();
    // Writes text to standard output (no newline) while constructing.
    explicit ForthProcessor(const std::string& text);
    ~ForthProcessor() override;

    // The processor operations stay undefined here: subclasses give them.
    void process() override = 0;
    bool run(int64 maxSteps) override = 0;
    void init(const std::string& program) override = 0;
    void setInput(const std::string& program) override = 0;

    // Entry point: keeps the arguments, resets, runs MAIN. 0, or -1 after
    // printing "forth: <message>" to standard error.
    int main(int argc, char** argv);
    // Empty stacks and data space, fresh kernel and bootstrap dictionary.
    void reset();
    // Fresh dictionary; stacks, data space and HERE stay.
    void reloadDictionary();
    void loadBootstrap();

    // Dictionary.
    Definition* addDefinition(const std::string& name, ForthHandler handler);
    Definition* find(const char* name, size_t length) const;
    void registerKernel();
    // Registers a table ended by a null name; immediate toggles the flag.
    void registerTable(const KernelWord* table, bool immediate);
    // Runs xt's handler on its owner with xt as the current definition.
    void execute(Definition* xt) {
        Definition* saved = currentDefinition;
        currentDefinition = xt;
        (xt->owner->*(xt->handler))();
        currentDefinition = saved;
    }
    // The newest definition (null when the dictionary is empty).
    Definition* latestDefinition() const { return count ? &definitions[count - 1] : nullptr; }
    // The definition whose xt the cell holds, or null.
    Definition* definitionAt(Cell xt) const {
        u64 offset = static_cast<u64>(xt) - reinterpret_cast<uintptr_t>(definitions);
        if (offset >= count * sizeof(Definition) || offset % sizeof(Definition) != 0) return nullptr;
        return &definitions[offset / sizeof(Definition)];
    }
    // The word being executed (process-wide, saved around every execution).
    static Definition* currentDefinition;

    // Depth and bounds checks; name starts the message.
    void needCells(int64 n, const char* name) const {
        if (n > sp || n < 0) fail(name, ": stack underflow");
    }
    void roomCells(int64 n, const char* name) const {
        if (n > StackCells - sp) fail(name, ": stack overflow");
    }
    void needReturnCells(int64 n, const char* name) const {
        if (n > rp) fail(name, ": return stack underflow");
    }
    void roomReturnCells(int64 n, const char* name) const {
        if (n > StackCells - rp) fail(name, ": return stack overflow");
    }
    void checkHere(const char* name) const;
    void roomBytes(int64 n, const char* name) const;
    void checkAligned(Cell address, const char* name) const {
        if (address % CellSize != 0) fail(name, ": unaligned address");
    }
    [[noreturn]] static void fail(const char* name, const char* suffix);

    // Stack primitives; they do not check (call the checks first).
    void push(Cell x) { dataStack[sp++] = x; }
    Cell pop() { return dataStack[--sp]; }
    Cell& top() { return dataStack[sp - 1]; }
    Cell& under(int i) { return dataStack[sp - 1 - i]; }  // 0 is the top
    int depth() const { return sp; }
    void rpush(Cell x) { returnStack[rp++] = x; }
    Cell rpop() { return returnStack[--rp]; }
    int returnDepth() const { return rp; }

    // Owned memory (rule 2). length 0 is accepted anywhere and gives a
    // pointer that must not be read.
    u8* bytesAt(Cell address, Cell length, const char* name);
    // An aligned cell (alignment checked first, as "@" and "!" do).
    u8* cellAt(Cell address, const char* name);
    // The NUL-terminated text at address, which must end inside owned memory.
    std::string textAt(Cell address, const char* name);
    // Keeps a copy of text (with a NUL after it) owned by the processor and
    // returns its address; the newest HeldTexts copies stay valid.
    Cell holdText(const std::string& text);
    // holdText, then pushes address and length (room for two cells checked).
    void pushText(const std::string& text, const char* name);
    // A stream this processor opened and has not closed (rule 3).
    // The message suffix names the failure (include-file has its own).
    std::fstream* fileAt(Cell id, const char* name,
                         const char* suffix = ": not a valid file ID") const;

    // Compiles one cell at HERE (checks under ",").
    void compile(Cell x);
    // Makes the next blank-delimited input word a new definition that pushes
    // its body; "CREATE: could not parse name" when there is none.
    Definition* createFromInput();
    // Runs text as the source (what "evaluate" does after its checks).
    void evaluate(const std::string& text);
    // The outer interpreter over the current source from >IN.
    void interpret();
    // Converts digits of BASE from the left of text while there are any (an
    // optional leading "-" with more after it negates, when allowSign);
    // returns how many bytes were taken. The accumulator wraps.
    static size_t convertNumber(u64& number, const u8* text, size_t length, bool allowSign);
    // Writes n in BASE (8, 10, 16; else decimal); unsigned when asked.
    static std::string formatNumber(Cell n, bool asUnsigned);

    // Process-wide values shared by every processor.
    static Cell base;        // BASE, initially 10
    static bool quitGuard;   // set when "quit" first starts

    // Kernel handlers (interpreter and compiler).
    void wordInterpret();
    void wordQuit();
    void wordEvaluate();
    void wordIncludeFile();
    void wordCreate();
    void wordColon();
    void wordNoname();
    void wordSemicolon();
    void wordDoes();
    void wordImmediate();
    void wordHidden();
    void wordLatest();
    void wordLit();
    void wordBranch();
    void wordZbranch();
    void wordDoesRuntime();
    void wordExit();
    void wordSemiRuntime();
    void wordExecute();
    void wordFind();
    void wordWord();
    void wordParse();
    void wordState();
    void wordSee();
    void wordWords();
    void wordRefill();
    void wordSource();
    void wordToIn();
    void wordPrompt();
    // Behaviours of program-made words.
    void runColon();
    void runCreated();
    void runDoes();

    // Kernel handlers (stacks, arithmetic, memory, numbers, console).
    void wordDrop();
    void wordPick();
    void wordRoll();
    void wordDepth();
    void wordToR();
    void wordRFrom();
    void wordRFetch();
    void wordDotS();
    void wordDotRS();
    void wordPlus();
    void wordMinus();
    void wordStar();
    void wordSlash();
    void wordSlashMod();
    void wordAnd();
    void wordOr();
    void wordXor();
    void wordLshift();
    void wordRshift();
    void wordEquals();
    void wordLess();
    void wordULess();
    void wordFetch();
    void wordStore();
    void wordCFetch();
    void wordCStore();
    void wordHere();
    void wordAllot();
    void wordAlign();
    void wordAligned();
    void wordCells();
    void wordUnused();
    void wordCount();
    void wordCmove();
    void wordCmoveUp();
    void wordFill();
    void wordCompare();
    void wordAllocate();
    void wordFree();
    void wordResize();
    void wordToBody();
    void wordXtToName();
    void wordBase();
    void wordToUnum();
    void wordToNum();
    void wordBl();
    void wordEmit();
    void wordType();
    void wordCr();
    void wordDot();
    void wordUDot();
    void wordDotR();
    void wordKey();
    void wordAbort();
    void wordAbortMessage();
    void wordBye();
    void wordMs();

    // Kernel handlers (files and system).
    void wordReadOnly();
    void wordWriteOnly();
    void wordReadWrite();
    void wordBin();
    void wordOpenFile();
    void wordCreateFile();
    void wordCloseFile();
    void wordReadFile();
    void wordReadLine();
    void wordReadChar();
    void wordWriteFile();
    void wordWriteLine();
    void wordWriteChar();
    void wordFlushFile();
    void wordDeleteFile();
    void wordRenameFile();
    void wordSystem();
    void wordSystemResult();
    void wordArgCount();
    void wordArg();
    void wordTimeDate();
    void wordUtcTimeDate();
    void wordAccept();

    // Extension handlers, reached by no kernel table: bases, connections,
    // digests, base64, files, formatting.
    void extBaseOpen();             // "~~+"
    void extBaseRemove();           // "~~-"
    void extBaseClose();            // "~~vx"
    void extBaseOpenWrite();        // "~~v"
    void forgetOwnWriter(int64 id);  // drops the ownWriters entry of id
    void extBaseOpenRead();         // "~~^"
    void extBaseCloseProcess();     // "~~."
    void extBaseDelete();           // "~~x"
    void extPutSymbol();            // "~~+."
    void extReplaceSymbol();        // "~~/."
    void extFindSymbol();           // "~~>."
    void extSearchSymbol();         // "~~>?"
    void extFindSymbolOrNext();     // "~~>(?"
    void extFindSymbolOrPrev();     // "~~>)?"
    void extExistsSymbol();         // "~~?."
    void extGetStringList();        // "~~*...)?"
    void extDeleteSymbol();         // "~~-."
    void extReadString();           // "~~^."
    void extDataLength();           // "~~(.)"
    void extGoChild();              // "~~>v"
    void extGoParent();             // "~~>^"
    void extGoFirst();              // "~~>(."
    void extGoLast();               // "~~>)."
    void extGoNextKey();            // "~~>+."
    void extGoPrevKey();            // "~~>-."
    void extGoPr();                 // "~~>-@"
    void extGoNx();                 // "~~>+@"
    void extGoUp();                 // "~~>^@"
    void extGoDn();                 // "~~>v@"
    void extLockWrite();            // "~~#v"
    void extUnlockWrite();          // "~~$v"
    void extLockRead();             // "~~#^"
    void extUnlockRead();           // "~~$^"
    void extChildCount();           // "~~^n"
    void extSymbolCount();          // "~~^N"
    void extFindStringList();       // "~~>...)?"
    void extReadStringAtList();     // "~~^...)?"
    void extExistsStringList();     // "~~?..."
    void extSetStringList();        // "~~+..."
    void extMoveStringList();       // "~~>./."
    void extAddToIndex();           // "AddToIndex"
    void extSearchInIndex();        // "SearchInIndex"
    void extRemoveFromIndex();      // "RemoveFromIndex"
    void extAddUser();              // "~~u+"
    void extChangePassword();       // "~~u/"
    void extDeleteUser();           // "~~u-"
    void extPackList();             // "~~///..."
    void extUnpackList();           // "~~...///"
    void extConnectionAcquire();    // "~+"
    void extConnectionRelease();    // "~-"
    void extConnectionRequest();    // "~>"
    void extMd5();                  // "MD5"
    void extSha1();                 // "SHA1"
    void extSha256();               // "SHA256"
    void extBase64LoadBinary();     // "base64LoadBinary"
    void extBase64SaveBinary();     // "base64SaveBinary"
    void extOutBase64Decode();      // "outBase64Decode"
    void extOutLoadBinary();        // "outLoadBinary"
    void extGetFileTime();          // "getFileTime"
    void extGetFileSize();          // "getFileSize"
    void extGetTime();              // "getTime"
    void extBuffersGetState();      // "BuffersGetState"
    void extNewUid();               // "^UID"
    void extRegEx();                // "RegEx"
    void extFmtl();                 // "fmtl"
    void extRefmtl();               // "refmtl"
    void extFmtd();                 // "fmtd"
    void extFmtTime();              // "fmtTime"
    void extRand();                 // "rand"
    void extAppend();               // "append"
    void extLShiftBits();           // "lShiftBits"
    void extRShiftBits();           // "rShiftBits"
    void extCountBits();            // "countBits"

    // The word tables: 106 kernel rows and the 3 immediate rows.
    static const KernelWord kernelWords[];
    static const KernelWord immediateWords[];
    // The bootstrap dictionary: Forth source lines evaluated at every reset.
    static const char* const bootstrapLines[];
    static const size_t bootstrapLineCount;

    // How many held texts stay valid at once.
    static constexpr size_t HeldTexts = 64;

protected:
    // One owned memory range (rule 2).
    struct Region {
        u64 start;      // first byte
        u64 size;       // bytes
        bool nulAfter;  // a NUL follows the range (std::string storage)
    };
    // The owned range holding address, false when none.
    bool regionOf(u64 address, Region& region) const;
    // Reads and checks the code cell at ip, then advances ip.
    Cell fetchCode(const char* name) {
        u64 offset = static_cast<u64>(ip) - reinterpret_cast<uintptr_t>(dataSpace);
        if (offset > static_cast<u64>(DataSpaceSize - CellSize)) fail(name, ": invalid address");
        Cell x;
        std::memcpy(&x, dataSpace + offset, sizeof x);
        ip += CellSize;
        return x;
    }
    // Refuses to nest deeper when the host stack used since main (or the
    // outermost colon definition) passes the budget: "<name>: nesting too deep".
    void checkHostStack(const char* name) const {
        auto used = static_cast<intptr_t>(stackBase - reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
        if (stackBase != 0 && used > stackBudget) fail(name, ": nesting too deep");
    }
    // The inner interpreter over code (nesting checked against the host
    // stack); word names the running word in messages.
    void runCode(Cell code, const Definition* word);
    // Reads the next word delimited by delim from the source into the word buffer.
    void parseWord(char delim);
    // Reads one line of standard input into the source; false at its end.
    bool refillSource();
    // Writes a colon-style code listing from code up to the "(;)" cell.
    void seeCode(Cell code);
    // The name of the word for messages: a program-made word's own name.
    static const char* nameOf(const Definition* d) { return d->name.c_str(); }
    void clearDictionary();
    void openFileWord(const char* name, bool truncate);
    void timeDate(const char* name, bool utc);
    void wordToNumber(const char* name, bool allowSign);

    alignas(CellSize) u8 dataSpace[DataSpaceSize];  // where HERE allots
    Cell dataStack[StackCells];                   // parameter stack
    Cell returnStack[StackCells];                 // return-stack words only
    int sp = 0;                                   // data-stack depth (top at sp - 1)
    int rp = 0;                                   // return-stack depth
    Definition* definitions;                      // dictionary, oldest first (raw storage)
    size_t count = 0;                             // live definitions
    Cell here = 0;                                // next free byte of the data space
    Cell ip = 0;                                  // next cell of the threaded code
    Definition* litXt = nullptr;                  // "(lit)"
    Definition* doesXt = nullptr;                 // "(does)"
    Definition* exitXt = nullptr;                 // "exit"
    Definition* semiXt = nullptr;                 // "(;)"
    Definition* branchXt = nullptr;               // "(branch)", run in place by the inner interpreter
    Definition* zbranchXt = nullptr;              // "(zbranch)", likewise
    Cell state = 0;                               // 0 interpreting, else compiling
    std::string source;                           // current input line
    Cell toIn = 0;                                // offset of the next unread source byte
    std::string wordBuffer;                       // counted string built by "word"
    std::string parseBuffer;                      // text last returned by "parse"
    int argCount = 0;                             // program arguments ("#args")
    char** argVector = nullptr;                   // program arguments ("arg")
    int systemResult = 0;                         // result of the last "system"
    VekConnectionPool::VEKConnectionPool* connectionPool;  // process-wide pool
    VekBase::VEKBaseRegistry* baseRegistry;       // process-wide base registry
    // A writer "~~v" opened: its commit reaches the base it was opened on,
    // or fails once that writer is gone.
    struct OwnWriter {
        int64 id;          // the writer id
        u64 serial;        // the registry's serial of its base
        std::string base;  // the base name it was opened with
    };
    std::vector<OwnWriter> ownWriters;            // writers opened and not yet ended
    const u64 runToken;                           // owns the sessions this processor opens
    std::unique_ptr<VekClient::VEKClient> pendingClient;  // remote request in progress
    std::map<u64, u64> allocations;               // live "allocate" blocks: address -> size
    std::set<std::fstream*> openFiles;            // streams opened and not closed
    std::deque<std::string> heldTexts;            // holdText copies, newest last
    int nesting = 0;                              // colon definitions being run
    intptr_t stackBudget;                         // host stack bytes nesting may use
    uintptr_t stackBase = 0;                      // host frame of main or the outermost run, 0 before
};

}  // namespace VekLanguage
