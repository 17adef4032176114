// The template processor: it scans its program from the input queue, keeps
// open calls on a call stack, evaluates each call completed by "]" (a builtin
// word or a user form) and routes the result: an active call's result is read
// again in front of the input, a neutral call's result joins the enclosing
// argument. `run` does this in slices of a step budget (a step is one
// completed call), ended early once sliceMicros have passed, so that the
// server can interleave many pages.
//
// A run's text counts against its own limit (maxTextBytes) and, with the
// text of every other run, against the process-wide text budget
// (TextBudget.h). Text that came from a client (clientText) keeps the
// global forms it makes or changes to itself (LanguageProcessor.h), and
// holds at most a bounded number of bases, sessions, file handles and
// pooled connections, all given back when its run ends.
//
// The builtin words are handlers in the words_*.cpp files (Words.h); each
// takes the processor and the completed call. Arguments are read with
// getArg / getArg2 / getArg3 (which throw "Index (%ld) out of bounds!") or
// with safeArg0 .. safeArg5 / safeArg (empty text when absent).
#pragma once
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Expression.h"
#include "Io.h"
#include "LanguageFileHandle.h"
#include "LanguageProcessor.h"
#include "TTMError.h"
#include "TextBudget.h"

namespace VekLanguage {

class TTMProcessor;

// A builtin word's handler: it takes the processor and the completed call
// (argument 0 is the word's name) and returns the result text.
using TTMHandler = std::string (*)(TTMProcessor& processor, Function* call);

// The builtin word table a processor looks words up in: the table of
// TTMProcessor::builtinList, built once per process and shared by every
// processor. A processor that enters a word of its own gets a private copy
// first, so the shared table never changes.
class BuiltinTable {
public:
    using Map = std::unordered_map<std::string, TTMHandler>;
    Map::const_iterator find(const std::string& name) const { return words().find(name); }
    Map::const_iterator end() const { return words().end(); }
    std::size_t size() const { return words().size(); }
    // The handler entry of name in this processor's own copy.
    TTMHandler& operator[](const std::string& name);

private:
    const Map& words() const { return own ? *own : shared(); }
    static const Map& shared();
    std::unique_ptr<Map> own;  // private copy once a word was entered; else null
};

// requestState when no request is waiting; after an evaluation it means the
// word failed and its call is dropped. Words that store another module's
// result here check that module's values against these (static_assert).
constexpr int64 RequestIdle = -2147483648LL;
// requestState of a call that must be evaluated again in a later turn.
constexpr int64 RequestWaiting = -1;

class TTMProcessor : public LanguageProcessor {
public:
    TTMProcessor();
    explicit TTMProcessor(const std::string& text);
    ~TTMProcessor() override;

    void process() override;
    bool run(int64 maxSteps) override;
    void init(const std::string& program) override;
    void setInput(const std::string& program) override;
    bool isTrace() override { return trace; }

    // The visible form: levels from the current one down to 0 (name, then
    // name + "(0)"), then the global forms (name, then name + "(0)"). The
    // caller may change or move it: for client text a global form is the
    // run's own copy (LanguageProcessor::findFormToChange).
    Form* findForm(const std::string& name);
    // The same form for reading only; never copies (findVisibleForm).
    const Form* readForm(const std::string& name) const { return findVisibleForm(name); }
    // Evaluates one completed call; a failing word becomes TTMError.
    std::string eval(Function* call);
    // Calls a user form: its rest with the segment marks replaced.
    std::string callForm(Function* call);

    void pushExpression(Expression* expression);
    Expression* popExpression();
    // Prints "[" + texts of the stack from the top down, "," between, "]\n".
    void dumpStack();

    // The builtin names in the order init enters them.
    static const std::vector<std::pair<std::string, TTMHandler>>& builtinList();

    // True (and a message on stderr) when the call has fewer than required entries.
    bool checkArgs(Function* call, unsigned required);
    // findForm, reporting a missing form as above; null when missing.
    Form* formOrReport(const std::string& name);
    // readForm, reporting a missing form as above; null when missing.
    const Form* readOrReport(const std::string& name);

    // Ends the sessions that this processor's "~~v" and "~~^" opened and no
    // "~~.", "~~x" or "~~vx" of it ended: a writer that still holds its base
    // is rolled back as by "~~vx", readers are released. The server calls
    // it when it drops a run that did not finish, so that a failed page
    // does not keep a base's writer slot taken until the process ends.
    // Only sessions this run still owns are touched (ids are reused).
    void abandonSessions();
    void rememberSession(const std::string& base, int64 id, bool writer, u64 serial);
    // Forgets the session id (writer and reader ids never coincide).
    void forgetSession(int64 id);
    // Throws "Text too long" for a size above maxTextBytes (the input, one
    // form's text).
    void checkTextSize(std::size_t size) const;
    // Exact bytes of the run's own text that chargeText counts: its level
    // forms, the global forms it created, its output block, its input, the
    // reply of a remote exchange in progress and what it printed.
    std::size_t runTextBytes() const;
    // chargeText for a form definition; counts a global form it creates.
    void chargeForm(const std::string& name, std::size_t size);
    // What a form of that name and text size holds: its text, its name and
    // the entry that keeps it, so that many forms with long names or no
    // text at all count as what they cost.
    static std::size_t formBytes(const std::string& name, std::size_t size) {
        return size + name.size() + FormEntryBytes;
    }
    static constexpr std::size_t FormEntryBytes = 128;

    // ---- state ----
    std::unique_ptr<Io> input;                            // characters still to scan
    std::map<std::string, std::unique_ptr<LanguageFileHandle>> openFiles;  // open file handles by name
    bool trace = false;                                   // set by "cout+", cleared by "cout-"
    bool exitFlag = false;                                // set by "exit"
    VekConnectionPool::VEKConnectionPool* connectionPool = nullptr;  // process-wide pool
    VekBase::VEKBaseRegistry* baseRegistry = nullptr;     // process-wide base registry
    BuiltinTable* builtins = nullptr;                     // word table (builtinTable); set by init
    std::deque<std::unique_ptr<Expression>> callStack;    // open calls, Root at the bottom
    Expression* current = nullptr;                        // top of callStack, null when empty
    bool yieldFlag = true;                                // a word asks to end the turn
    int64 requestState = RequestIdle;                     // RequestWaiting keeps the call pending
    std::unique_ptr<Function> pendingCall;                // call being repeated while waiting
    int64 requestTimeout = 0;                             // seconds a pending call may wait
    std::time_t waitStart = 0;                            // when the pending call began to wait
    std::unique_ptr<VekClient::VEKClient> pendingClient;  // exchange in progress
    // A base session opened by this processor and not yet ended.
    struct OpenSession {
        std::string base;  // base name as the page gave it
        int64 id;          // process id
        bool writer;       // a writer id (else a reader id)
        u64 serial;        // the registry's serial of the base it was opened on
    };
    // For abandonSessions, and for the run's own commits: a writer this run
    // opened commits on the base it was opened on, or fails.
    std::vector<OpenSession> openSessions;
    // The session this run opened as writer id; null when there is none.
    const OpenSession* ownWriter(int64 id) const;
    // Pages and the start-up script only: the shared uses of bases this
    // run's "~~+" took, per spelling (VEKBaseRegistry::spellingOf), oldest
    // first, as (base serial, uses). Its "~~-" and "~~x" give back one of
    // these; only a close with none of its own falls back to the registry's
    // rule. (Client text owns its uses in the registry itself.)
    std::map<std::string, std::vector<std::pair<u64, int64>>> pageOpens;
    // The run's token: unique for the life of the process (unlike the
    // processor's address, which may be reused), it owns the base sessions
    // the run opens: client text uses no other run's ids, and a run that
    // ends gives back only sessions that are still its own.
    const u64 runToken = startRun();
    // Client text only: the bases it holds uses of, given back when the run
    // ends; "~~+" of a new base fails once it holds MaxOpenBases, as opening
    // a file handle under a new name fails once it holds MaxOpenFiles.
    std::set<std::string> ownBases;
    static constexpr std::size_t MaxOpenBases = 64;  // bases one client-text run holds
    static constexpr std::size_t MaxOpenFiles = 64;  // file handles one client-text run holds
    static constexpr std::size_t MaxOpenSessions = 64;  // base sessions one client-text run holds
    static constexpr std::size_t MaxBaseName = 4096;    // longest base name client text may open
    // Client text only: one entry per use of a pooled connection it took
    // with "~+" (host, port). Its "~-" gives back only these, the rest go
    // back when the run ends, and it takes at most MaxOpenConnections uses
    // and none for a host name longer than a host's name may be.
    std::multiset<std::pair<std::string, int>> ownConnections;
    static constexpr std::size_t MaxOpenConnections = 64;
    static constexpr std::size_t MaxHostName = 255;

    // Limits that keep a runaway page from exhausting the process; passing
    // one throws TTMError ("Too many nested calls", "Text too long"). The
    // text limit holds for the input, for each form that a word lengthens,
    // and for all that the open calls have collected together (as
    // Expression::heldBytes counts it), so that deep recursion that leaves
    // long arguments open is stopped as well.
    // The run's own text (its level forms, the global forms it created or,
    // as client text, copied, its output block and its input) counts
    // together against maxTextBytes as well: chargeText throws "Text too
    // long" before a word adds bytes that would take the run past it.
    static constexpr std::size_t MaxCallDepth = 100000;       // default of maxCallDepth
    static constexpr std::size_t MaxTextBytes = 256u << 20;   // default of maxTextBytes
    std::size_t maxCallDepth = MaxCallDepth;                  // open calls at most
    std::size_t maxTextBytes = MaxTextBytes;                  // bytes of the input or of the open calls
    // Counts bytes about to be added against the run's text limit (see
    // above) and against the process-wide text budget (TextBudget.h);
    // throws "Text too long" before either would be passed, nothing counted.
    void chargeText(std::size_t added);
    // Gives back bytes chargeText counted that the run no longer holds (an
    // output block that "out" replaced).
    void releaseText(std::size_t bytes);
    // chargeText for bytes already received into pendingClient's reply
    // (runTextBytes counts that reply): "~>" calls it as the reply grows.
    void chargeReply(std::size_t added);
    // Counts page text printed to the console against the run's text limit
    // (not against the budget: printed text is not held); throws as above.
    void chargeConsole(std::size_t bytes);
    // Prints page text to standard output, counted by chargeConsole.
    void printPageText(const char* text, std::size_t size);
    void printPageText(const std::string& text) { printPageText(text.data(), text.size()); }
    // Bytes this run holds in the process-wide text budget: what it needs
    // and at most budgetSlack of that more, so that not every step that
    // grows its text has to ask the budget.
    std::size_t budgetBytes() const { return budgetHeld; }
    static std::size_t budgetSlack(std::size_t wanted);
    static constexpr std::size_t MinBudgetSlack = 4096;
    // True when a path that page text names must be refused: with
    // confinePaths set, any path that leaves the working directory.
    bool refusesPath(const std::string& path) const;
    // Set for runs of page or request text: the file, binary and base words
    // then accept only paths under the working directory (the operator's
    // start-up script is not limited).
    bool confinePaths = false;
    // When positive, a run call also ends once this many microseconds have
    // passed (after at least one step), so that costly words slow only
    // their own run, not everything that shares the thread.
    int64 sliceMicros = 0;

protected:
    // Notices that repeat page text count as printed page text.
    void printNotice(const std::string& text) override { printPageText(text); }
    // A client run's copy of a global form counts against its text limit.
    void beforeGlobalCopy(const std::string& name, std::size_t bytes) override {
        chargeText(formBytes(name, bytes));
    }
    // A level form replaced or removed gives its bytes back.
    void formReleased(const std::string& name, std::size_t size) override;

private:
    static u64 startRun();
    // At the end of a run of client text: its readers are released, its
    // writer rolled back, its bases and pooled connections given back. A
    // page's or the start-up script's sessions stay for later pages.
    void endRun();
    // Prints "\nError: Unable to find form '<name>' !" as page text.
    void reportMissingForm(const std::string& name);
    // One scanning step; returns the call that "]" completed (popped from
    // the stack, owned by the caller) or null.
    Function* scanStep();
    // Puts a completed call's result where its type says.
    void routeResult(const Function* call, const std::string& result);
    // After a "#": opens an active or neutral call; false when none opens.
    bool openCall();
    // A cleared call object of that kind, reused when one is spare.
    Function* newCall(Function::Kind kind);
    // Deletes a finished call, or keeps it for reuse.
    void recycle(Function* call);
    // Pops the call that "]" completed.
    Function* completeCall();
    // Evaluates pendingCall; on a failure it is deleted before the rethrow.
    std::string evalPending();
    // Routes the pending call's result and releases the call.
    void finishPending(const std::string& result);
    // Evaluates the pending call again (run, while a request waits).
    void resumePending();
    // The scanning loop of run; true when "exit" ends the run.
    bool runSteps(int64 maxSteps);
    // True when sliceMicros is set and the slice ending at sliceEnd (coarse
    // clock microseconds) is spent.
    bool sliceOver(int64 sliceEnd) const;
    // Prints the trace dump when tracing; true.
    bool finishRun();
    void deletePendingCall();
    void printTrace();
    // Replaces the marks of parameter n in text by argument; false when the
    // text holds none. Throws "Text too long" when the result would be.
    bool replaceParameter(std::string& text, std::size_t n, const std::string& argument) const;
    // checkTextSize of all that the open calls hold together; also holds
    // the calls' bytes in the text budget. After every step: two
    // comparisons while the calls stay within heldRoom and the run's limit.
    void checkHeldSize() {
        const std::size_t calls = callBytes();
        if (calls > heldRoom || calls > maxTextBytes) callsPastRoom();
    }
    // checkHeldSize once the calls passed heldRoom or the run's limit.
    void callsPastRoom();
    // pendingCall = call, with pendingBytes.
    void setPendingCall(Function* call);

    static constexpr std::size_t MaxSpareCalls = 64;  // kept finished call objects per kind
    static constexpr std::size_t SpareArgBytes = 4096;  // longest argument storage a spare keeps
    std::vector<std::unique_ptr<Function>> spareActive;   // finished Active calls kept for reuse
    std::vector<std::unique_ptr<Function>> spareNeutral;  // finished Neutral calls kept for reuse
    std::size_t heldBelow = 0;                        // heldBytes of the open calls beneath current
    std::size_t pendingBytes = 0;                     // heldBytes and last argument of pendingCall
    BuiltinTable builtinTable;                        // what builtins points at after init
    std::size_t chargedBytes = 0;                     // run text: at least runTextBytes, recounted when past the limit
    std::size_t globalBytes = 0;                      // bytes of the global forms this run created

    // The process-wide text budget. The run holds chargedBytes (less what it
    // printed) plus what its open and pending calls hold; as chargedBytes
    // may run ahead of the exact count, the runs are counted exactly again
    // before the budget refuses anything.
    //
    // heldRoom: while callBytes stays within it, the budget holds all the
    // run wants. What the run wants besides its calls plus heldRoom never
    // passes budgetHeld: a charge or a longer input takes its bytes off
    // heldRoom, a release adds them, and setRoom sets it from an exact
    // count. So a step asks the budget nothing until the room is used up.
    std::size_t heldRoom = 0;
    std::size_t consoleBytes = 0;                     // page text printed (counted in runTextBytes)
    std::size_t budgetHeld = 0;                       // bytes taken from TextBudget
    TextBudget::Share heldShare = TextBudget::Share::Pages;  // the share budgetHeld was taken from
    // The share this run takes from: the clients' for client text.
    TextBudget::Share budgetShare() const;
    std::size_t inputAtCount = 0;                     // input bytes at the last exact count
    TTMProcessor* previousRun = nullptr;              // the list of live processors (budget recounts)
    TTMProcessor* nextRun = nullptr;
    // Bytes of the open calls and of the pending call.
    std::size_t callBytes() const {
        return heldBelow + (current != nullptr ? current->heldBytes() : 0) + pendingBytes;
    }
    // heldRoom for a run that wants wanted bytes now (0 when the budget
    // does not hold them).
    void setRoom(std::size_t wanted);
    // Takes bytes that the run now wants besides its calls off heldRoom;
    // false (nothing taken) when the room is too small: fitBudget then.
    bool takeRoom(std::size_t bytes);
    // What the run should hold in the budget now.
    std::size_t budgetWanted() const;
    // chargedBytes = runTextBytes + pending, counted exactly now.
    void countExactly(std::size_t pending);
    // Holds wanted bytes in the budget; false when the budget cannot give
    // that many.
    bool holdBudget(std::size_t wanted);
    // Brings the budget up to date after chargedBytes or the calls grew,
    // with budgetSlack more when the budget has it; pending bytes of
    // chargedBytes are not yet in runTextBytes. Counts this run, then the
    // other runs exactly before it throws.
    void fitBudget(std::size_t pending);
    // Gives back what the run holds beyond what it needs now (and, unless
    // exact, its slack).
    void trimBudget(bool exact);
    // Counts every other run exactly (each may hold more than it needs).
    void recountOtherRuns();
    // chargeText and chargeReply: added bytes, of which pending are not
    // yet in runTextBytes.
    void charge(std::size_t added, std::size_t pending);
};

// Argument accessors (index 0 is the word's name): getArg throws
// "Index (%ld) out of bounds!" for a missing argument, safeArg gives the
// empty text.
std::string getArg(const ArgList& args, int i);
inline std::string getArg(const Function* call, int i) { return getArg(call->args, i); }
inline std::string getArg2(const Function* call) { return getArg(call->args, 2); }
inline std::string getArg3(const Function* call) { return getArg(call->args, 3); }
std::string safeArg(const ArgList& args, unsigned index);
inline std::string safeArg(const Function* call, unsigned index) { return safeArg(call->args, index); }
inline std::string safeArg0(const Function* call) { return safeArg(call->args, 0); }
inline std::string safeArg1(const Function* call) { return safeArg(call->args, 1); }
inline std::string safeArg2(const Function* call) { return safeArg(call->args, 2); }
inline std::string safeArg3(const Function* call) { return safeArg(call->args, 3); }
inline std::string safeArg4(const Function* call) { return safeArg(call->args, 4); }
inline std::string safeArg5(const Function* call) { return safeArg(call->args, 5); }

// Real number of a text (strtod; 0 when it holds none).
double toDouble(const std::string& text);

}  // namespace VekLanguage
