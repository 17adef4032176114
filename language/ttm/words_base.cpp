// Base words: the template words that reach the protected bases of the
// process-wide base registry, and the two packed-string-list words.
//
// Every base word looks its base up by name (argument 1) and calls one
// operation of the protected base with the process id (argument 2) first;
// the protected base decides what that id may do. A base that is not open
// gives "false" or the empty text and nothing is called. The words keep no
// state: the page carries the base name and its id from word to word.
//
// Two words drive the processor's turn loop:
// - "~~v" stores the id it got in requestState. RequestWaiting (-1: the
//   writer slot is taken) keeps the call pending, and the processor
//   evaluates it again on each later turn until it gets an id, gets another
//   negative id, or its timeout (requestTimeout) passes.
// - "~~." and "~~x" set yieldFlag when they close the writer, so the page's
//   turn ends right after the commit and the other pages get theirs.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "CommonBool.h"
#include "LanguageSwitches.h"
#include "TTMProcessor.h"
#include "Words.h"
#include "TTMText.h"
#include "VEKLog.h"
#include "VekUtil.h"
#include "WordLogic.h"
#include "base/VEKBaseRegistry.h"
#include "base/VEKCursor.h"
#include "base/VEKCursorProtected.h"

namespace VekLanguage {

// "~~v" stores the id it got in requestState as it is, and the processor
// reads it under its own names: the values must agree.
static_assert(VekBase::VEKCursorProtected::WriterSlotTaken == RequestWaiting, "a taken writer slot waits");
static_assert(VekBase::VEKCursorProtected::LoginRefused == RequestIdle, "a refused login drops the call");

namespace {

// ---- packed string list words (no base) ----

std::string basePackStringList(TTMProcessor&, Function* call) {
    return VekBase::packStringList(safeArg1(call), safeArg2(call));
}

std::string baseUnpackStringList(TTMProcessor&, Function* call) {
    return VekBase::unpackStringList(safeArg1(call), safeArg2(call));
}

using VekBase::VEKBaseRegistry;
using VekBase::VEKCursorProtected;

const std::string& boolText(bool value) { return value ? VekNames::True : VekNames::False; }

std::string int64Text(int64 value) { return formatWord("%lld", static_cast<long long>(value)); }

// A flag argument is true exactly when it reads "true".
bool flagOf(const std::string& text) { return text == VekNames::True; }

// The flag of the list words: argument 4 when the call has exactly four
// arguments (five entries with the name), else true.
bool listFlag(const Function* call) { return call->count() == 5 ? flagOf(safeArg4(call)) : true; }

int64 idOf(const Function* call) { return VekKernel::stringToInt64(safeArg2(call)); }

// User and pass phrase of a login word: passed only when the call gives
// both, at arguments first and first + 1; else both empty.
std::pair<std::string, std::string> loginOf(const Function* call, unsigned first) {
    if (call->count() < first + 2) return {};
    return {safeArg(call, first), safeArg(call, first + 1)};
}

VEKCursorProtected* baseOf(VEKBaseRegistry* registry, const Function* call) {
    if (registry == nullptr) return nullptr;
    return registry->get(safeArg1(call));
}

// Runs command on the call's base with its id; notOpen when the base is not open.
template <typename Command>
std::string onBase(VEKBaseRegistry* registry, const Function* call, const std::string& notOpen, Command command) {
    VEKCursorProtected* base = baseOf(registry, call);
    if (base == nullptr) return notOpen;
    return command(*base, idOf(call));
}

// The command families by result: "true"/"false", "%lld", text, nothing.
template <typename Command>
std::string boolCommand(VEKBaseRegistry* registry, const Function* call, Command command) {
    return onBase(registry, call, VekNames::False,
                  [&](VEKCursorProtected& base, int64 id) { return boolText(command(base, id)); });
}

template <typename Command>
std::string countCommand(VEKBaseRegistry* registry, const Function* call, Command command) {
    return onBase(registry, call, std::string(),
                  [&](VEKCursorProtected& base, int64 id) { return int64Text(command(base, id)); });
}

template <typename Command>
std::string textCommand(VEKBaseRegistry* registry, const Function* call, Command command) {
    return onBase(registry, call, std::string(), command);
}

template <typename Command>
std::string voidCommand(VEKBaseRegistry* registry, const Function* call, Command command) {
    return onBase(registry, call, std::string(), [&](VEKCursorProtected& base, int64 id) {
        command(base, id);
        return std::string();
    });
}

// ---- registry and process words ----

std::string baseOpen(TTMProcessor& p, Function* call) {
    const std::string name = safeArg1(call);
    if (p.baseRegistry != nullptr && (VekBase::isMemoryBaseName(name) || !p.refusesPath(name))) openBaseByName(*p.baseRegistry, name);
    return std::string();
}

std::string baseRemove(TTMProcessor& p, Function* call) {
    if (p.baseRegistry != nullptr) p.baseRegistry->remove(safeArg1(call));
    return std::string();
}

std::string baseOpenWriteProcess(TTMProcessor& p, Function* call) {
    VEKCursorProtected* base = baseOf(p.baseRegistry, call);
    // Not open: requestState stays as it was (idle on the first evaluation,
    // waiting while the call is pending), so a wait goes on.
    if (base == nullptr) return std::string();
    const auto login = loginOf(call, 3);
    const int64 id = banBaseWrite ? base->openReadProcess(login.first, login.second)
                                  : base->openWriteProcess(login.first, login.second);
    p.requestState = id;  // RequestWaiting while another writer holds the base
    if (id >= 0) p.rememberSession(safeArg1(call), id, !banBaseWrite);
    p.requestTimeout = VekKernel::stringToInt64(safeArg2(call));
    return int64Text(id);
}

std::string baseOpenReadProcess(TTMProcessor& p, Function* call) {
    VEKCursorProtected* base = baseOf(p.baseRegistry, call);
    if (base == nullptr) return std::string();
    const auto login = loginOf(call, 2);
    const int64 id = base->openReadProcess(login.first, login.second);
    if (id >= 0) p.rememberSession(safeArg1(call), id, false);
    return int64Text(id);
}

std::string baseCloseProcess(TTMProcessor& p, Function* call) {
    p.forgetSession(safeArg1(call), idOf(call));
    VEKCursorProtected* base = baseOf(p.baseRegistry, call);
    // The writer's commit ends the page's turn.
    if (base != nullptr) p.yieldFlag = endBaseProcess(*base, idOf(call));
    return std::string();
}

std::string baseCloseAndDelete(TTMProcessor& p, Function* call) {
    p.forgetSession(safeArg1(call), idOf(call));
    VEKCursorProtected* base = baseOf(p.baseRegistry, call);
    if (base == nullptr) return std::string();
    bool wasWriter = false;
    const bool deleted = endAndDeleteBase(*p.baseRegistry, *base, safeArg1(call), idOf(call), wasWriter);
    p.yieldFlag = wasWriter;
    return deleted ? std::string() : safeArg3(call);
}

std::string baseCloseBase(TTMProcessor& p, Function* call) {
    p.forgetSession(safeArg1(call), 0, true);
    VEKCursorProtected* base = baseOf(p.baseRegistry, call);
    if (base != nullptr) base->closeBase();
    return std::string();
}

// ---- symbol words ----

std::string basePutSymbol(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) { return b.putSymbol(id, safeArg3(call)); });
}

std::string baseReplaceSymbol(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.replaceSymbol(id, safeArg3(call)); });
}

std::string baseDeleteSymbol(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.deleteSymbol(id); });
}

std::string baseReadString(TTMProcessor& p, Function* call) {
    return textCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.readString(id); });
}

std::string baseFindSymbol(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) { return b.findSymbol(id, safeArg3(call)); });
}

std::string baseDataLength(TTMProcessor& p, Function* call) {
    return countCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.dataLength(id); });
}

std::string baseSearchSymbol(TTMProcessor& p, Function* call) {
    return onBase(p.baseRegistry, call, std::string(), [call](VEKCursorProtected& b, int64 id) {
        return formatWord("%d", b.searchSymbol(id, safeArg3(call)));
    });
}

std::string baseFindSymbolOrNext(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.findSymbolOrNext(id, safeArg3(call)); });
}

std::string baseFindSymbolOrPrev(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.findSymbolOrPrev(id, safeArg3(call)); });
}

std::string baseExistsSymbol(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.existsSymbol(id, safeArg3(call)); });
}

std::string baseGetChildCount(TTMProcessor& p, Function* call) {
    return countCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.getChildCount(id); });
}

std::string baseGetSymbolCount(TTMProcessor& p, Function* call) {
    return countCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.getSymbolCount(id); });
}

// ---- moving words ----

std::string baseGoChild(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goChild(id); });
}

std::string baseGoParent(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goParent(id); });
}

std::string baseGoFirst(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goFirst(id); });
}

std::string baseGoLast(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goLast(id); });
}

std::string baseGoNextKey(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goNextKey(id); });
}

std::string baseGoPrevKey(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goPrevKey(id); });
}

std::string baseGoPr(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goPr(id); });
}

std::string baseGoNx(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goNx(id); });
}

std::string baseGoUp(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goUp(id); });
}

std::string baseGoDn(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goDn(id); });
}

// Not in the builtin table: no page can call it.
}  // namespace

std::string baseGoSubLevel(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goSubLevel(id); });
}

namespace {

// ---- path (string list) words ----

std::string baseGetStringList(TTMProcessor& p, Function* call) {
    return textCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.getStringList(id, flagOf(safeArg3(call)));
    });
}

std::string baseFindStringList(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.findStringList(id, safeArg3(call), listFlag(call));
    });
}

std::string baseReadStringAtList(TTMProcessor& p, Function* call) {
    return textCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.readStringAtList(id, safeArg3(call), listFlag(call));
    });
}

std::string baseExistsStringList(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.existsStringList(id, safeArg3(call), listFlag(call));
    });
}

std::string baseSetStringList(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.setStringList(id, safeArg3(call), listFlag(call));
    });
}

std::string baseMoveStringList(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.moveStringList(id, safeArg3(call), safeArg4(call));
    });
}

// ---- lock words ----

std::string baseLockWrite(TTMProcessor& p, Function* call) {
    return voidCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { b.lockWrite(id); });
}

std::string baseUnlockWrite(TTMProcessor& p, Function* call) {
    return voidCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { b.unlockWrite(id); });
}

std::string baseLockRead(TTMProcessor& p, Function* call) {
    return voidCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { b.lockRead(id); });
}

std::string baseUnlockRead(TTMProcessor& p, Function* call) {
    return voidCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { b.unlockRead(id); });
}

// ---- word index words ----

std::string baseRemoveFromIndex(TTMProcessor& p, Function* call) {
    return voidCommand(p.baseRegistry, call, [](VEKCursorProtected& b, int64 id) { b.removeFromIndex(id); });
}

// Three arguments: the text alone; four: the text and a second text.
std::string baseAddToIndex(TTMProcessor& p, Function* call) {
    if (call->count() != 4 && call->count() != 5) return std::string();
    return voidCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        b.addToIndex(id, safeArg3(call), safeArg4(call));
    });
}

// Three arguments: the query alone, no limit; four: a second text; five: a limit.
std::string baseSearchInIndex(TTMProcessor& p, Function* call) {
    if (call->count() < 4 || call->count() > 6) return std::string();
    const int64 limit = call->count() == 6 ? VekKernel::stringToInt64(safeArg5(call)) : INT64_MAX;
    return textCommand(p.baseRegistry, call, [call, limit](VEKCursorProtected& b, int64 id) {
        return b.searchInIndex(id, safeArg3(call), safeArg4(call), limit);
    });
}

// ---- user words ----

std::string baseAddUser(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.addUser(id, safeArg3(call), safeArg4(call), safeArg5(call));
    });
}

std::string baseChangePassword(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.changePassword(id, safeArg3(call), safeArg4(call), safeArg5(call), safeArg(call, 6));
    });
}

std::string baseDeleteUser(TTMProcessor& p, Function* call) {
    return boolCommand(p.baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.deleteUser(id, safeArg3(call), safeArg4(call));
    });
}

}  // namespace

// The words of this file, for the processor's word table.
const WordTable& baseWords() {
    static const WordTable table = {
        {"~~+", baseOpen},
        {"~~-", baseRemove},
        {"~~v", baseOpenWriteProcess},
        {"~~^", baseOpenReadProcess},
        {"~~.", baseCloseProcess},
        {"~~x", baseCloseAndDelete},
        {"~~vx", baseCloseBase},
        {"~~+.", basePutSymbol},
        {"~~/.", baseReplaceSymbol},
        {"~~-.", baseDeleteSymbol},
        {"~~^.", baseReadString},
        {"~~>.", baseFindSymbol},
        {"~~(.)", baseDataLength},
        {"~~>v", baseGoChild},
        {"~~>^", baseGoParent},
        {"~~>(.", baseGoFirst},
        {"~~>).", baseGoLast},
        {"~~>+.", baseGoNextKey},
        {"~~>-.", baseGoPrevKey},
        {"~~>?", baseSearchSymbol},
        {"~~>(?", baseFindSymbolOrNext},
        {"~~>)?", baseFindSymbolOrPrev},
        {"~~*...", baseGetStringList},
        {"~~>...", baseFindStringList},
        {"~~^...", baseReadStringAtList},
        {"~~?.", baseExistsSymbol},
        {"~~?...", baseExistsStringList},
        {"~~+...", baseSetStringList},
        {"~~>-@", baseGoPr},
        {"~~>+@", baseGoNx},
        {"~~>^@", baseGoUp},
        {"~~>v@", baseGoDn},
        {"~~///...", basePackStringList},
        {"~~...///", baseUnpackStringList},
        {"~~#v", baseLockWrite},
        {"~~$v", baseUnlockWrite},
        {"~~#^", baseLockRead},
        {"~~$^", baseUnlockRead},
        {"~~>./.", baseMoveStringList},
        {"RemoveFromIndex", baseRemoveFromIndex},
        {"AddToIndex", baseAddToIndex},
        {"SearchInIndex", baseSearchInIndex},
        {"~~u+", baseAddUser},
        {"~~u/", baseChangePassword},
        {"~~u-", baseDeleteUser},
        {"~~^n", baseGetChildCount},
        {"~~^N", baseGetSymbolCount},
    };
    return table;
}

// ---- sessions a dropped run leaves open ----

void TTMProcessor::rememberSession(const std::string& base, int64 id, bool writer) {
    openSessions.push_back({base, id, writer});
}

void TTMProcessor::forgetSession(const std::string& base, int64 id, bool writersOnly) {
    auto ended = [&](const OpenSession& session) {
        return session.base == base && (writersOnly ? session.writer : session.id == id);
    };
    openSessions.erase(std::remove_if(openSessions.begin(), openSessions.end(), ended), openSessions.end());
}

void TTMProcessor::abandonSessions() {
    std::vector<OpenSession> sessions;
    sessions.swap(openSessions);
    for (const OpenSession& session : sessions) {
        try {
            VEKCursorProtected* base = baseRegistry != nullptr ? baseRegistry->get(session.base) : nullptr;
            if (base == nullptr) continue;
            // A writer id is checked against the base: once the slot is
            // free the same id may belong to another page's writer.
            if (!session.writer) base->closeProcess(session.id);
            else if (base->getWriteProcess() == session.id) base->closeBase();
        } catch (const std::exception& failure) {
            VekKernel::vekLog.error(failure.what(), __FILE__, __LINE__);
        }
    }
}

}  // namespace VekLanguage
