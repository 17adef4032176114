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
#include "TTMText.h"
#include "VEKLog.h"
#include "VekUtil.h"
#include "WordLogic.h"
#include "base/VEKBaseRegistry.h"
#include "base/VEKCursor.h"
#include "base/VEKCursorProtected.h"

namespace VekLanguage {

// ---- packed string list words (no base) ----

std::string TTMProcessor::basePackStringList(Function* call) {
    return VekBase::packStringList(safeArg1(call), safeArg2(call));
}

std::string TTMProcessor::baseUnpackStringList(Function* call) {
    return VekBase::unpackStringList(safeArg1(call), safeArg2(call));
}

namespace {

using VekBase::VEKBaseRegistry;
using VekBase::VEKCursorProtected;

const std::string& boolText(bool value) { return value ? VekNames::True : VekNames::False; }

std::string int64Text(int64 value) { return formatWord("%lld", static_cast<long long>(value)); }

// A flag argument is true exactly when it reads "true".
bool flagOf(const std::string& text) { return text == VekNames::True; }

// The flag of the list words: argument 4 when the call has exactly four
// arguments (five entries with the name), else true.
bool listFlag(const Function* call) { return call->count() == 5 ? flagOf(TTMProcessor::safeArg4(call)) : true; }

int64 idOf(const Function* call) { return VekKernel::stringToInt64(TTMProcessor::safeArg2(call)); }

// User and pass phrase of a login word: passed only when the call gives
// both, at arguments first and first + 1; else both empty.
std::pair<std::string, std::string> loginOf(const Function* call, unsigned first) {
    if (call->count() < first + 2) return {};
    return {TTMProcessor::safeArg(call, first), TTMProcessor::safeArg(call, first + 1)};
}

VEKCursorProtected* baseOf(VEKBaseRegistry* registry, const Function* call) {
    if (registry == nullptr) return nullptr;
    return registry->get(TTMProcessor::safeArg1(call));
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

}  // namespace

// ---- registry and process words ----

std::string TTMProcessor::baseOpen(Function* call) {
    const std::string name = safeArg1(call);
    if (baseRegistry != nullptr && (isMemoryBaseName(name) || !refusesPath(name))) openBaseByName(*baseRegistry, name);
    return std::string();
}

std::string TTMProcessor::baseRemove(Function* call) {
    if (baseRegistry != nullptr) baseRegistry->remove(safeArg1(call));
    return std::string();
}

std::string TTMProcessor::baseOpenWriteProcess(Function* call) {
    VEKCursorProtected* base = baseOf(baseRegistry, call);
    // Not open: requestState stays as it was (idle on the first evaluation,
    // waiting while the call is pending), so a wait goes on.
    if (base == nullptr) return std::string();
    const auto login = loginOf(call, 3);
    const int64 id = banBaseWrite ? base->openReadProcess(login.first, login.second)
                                  : base->openWriteProcess(login.first, login.second);
    requestState = id;  // RequestWaiting while another writer holds the base
    if (id >= 0) rememberSession(safeArg1(call), id, !banBaseWrite);
    requestTimeout = VekKernel::stringToInt64(safeArg2(call));
    return int64Text(id);
}

std::string TTMProcessor::baseOpenReadProcess(Function* call) {
    VEKCursorProtected* base = baseOf(baseRegistry, call);
    if (base == nullptr) return std::string();
    const auto login = loginOf(call, 2);
    const int64 id = base->openReadProcess(login.first, login.second);
    if (id >= 0) rememberSession(safeArg1(call), id, false);
    return int64Text(id);
}

std::string TTMProcessor::baseCloseProcess(Function* call) {
    forgetSession(safeArg1(call), idOf(call));
    VEKCursorProtected* base = baseOf(baseRegistry, call);
    // The writer's commit ends the page's turn.
    if (base != nullptr) yieldFlag = endBaseProcess(*base, idOf(call));
    return std::string();
}

std::string TTMProcessor::baseCloseAndDelete(Function* call) {
    forgetSession(safeArg1(call), idOf(call));
    VEKCursorProtected* base = baseOf(baseRegistry, call);
    if (base == nullptr) return std::string();
    bool wasWriter = false;
    const bool deleted = endAndDeleteBase(*baseRegistry, *base, safeArg1(call), idOf(call), wasWriter);
    yieldFlag = wasWriter;
    return deleted ? std::string() : safeArg3(call);
}

std::string TTMProcessor::baseCloseBase(Function* call) {
    forgetSession(safeArg1(call), 0, true);
    VEKCursorProtected* base = baseOf(baseRegistry, call);
    if (base != nullptr) base->closeBase();
    return std::string();
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

// ---- symbol words ----

std::string TTMProcessor::basePutSymbol(Function* call) {
    return boolCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) { return b.putSymbol(id, safeArg3(call)); });
}

std::string TTMProcessor::baseReplaceSymbol(Function* call) {
    return boolCommand(baseRegistry, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.replaceSymbol(id, safeArg3(call)); });
}

std::string TTMProcessor::baseDeleteSymbol(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.deleteSymbol(id); });
}

std::string TTMProcessor::baseReadString(Function* call) {
    return textCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.readString(id); });
}

std::string TTMProcessor::baseFindSymbol(Function* call) {
    return boolCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) { return b.findSymbol(id, safeArg3(call)); });
}

std::string TTMProcessor::baseDataLength(Function* call) {
    return countCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.dataLength(id); });
}

std::string TTMProcessor::baseSearchSymbol(Function* call) {
    return onBase(baseRegistry, call, std::string(), [call](VEKCursorProtected& b, int64 id) {
        return formatWord("%d", b.searchSymbol(id, safeArg3(call)));
    });
}

std::string TTMProcessor::baseFindSymbolOrNext(Function* call) {
    return boolCommand(baseRegistry, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.findSymbolOrNext(id, safeArg3(call)); });
}

std::string TTMProcessor::baseFindSymbolOrPrev(Function* call) {
    return boolCommand(baseRegistry, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.findSymbolOrPrev(id, safeArg3(call)); });
}

std::string TTMProcessor::baseExistsSymbol(Function* call) {
    return boolCommand(baseRegistry, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.existsSymbol(id, safeArg3(call)); });
}

std::string TTMProcessor::baseGetChildCount(Function* call) {
    return countCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.getChildCount(id); });
}

std::string TTMProcessor::baseGetSymbolCount(Function* call) {
    return countCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.getSymbolCount(id); });
}

// ---- moving words ----

std::string TTMProcessor::baseGoChild(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goChild(id); });
}

std::string TTMProcessor::baseGoParent(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goParent(id); });
}

std::string TTMProcessor::baseGoFirst(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goFirst(id); });
}

std::string TTMProcessor::baseGoLast(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goLast(id); });
}

std::string TTMProcessor::baseGoNextKey(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goNextKey(id); });
}

std::string TTMProcessor::baseGoPrevKey(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goPrevKey(id); });
}

std::string TTMProcessor::baseGoPr(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goPr(id); });
}

std::string TTMProcessor::baseGoNx(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goNx(id); });
}

std::string TTMProcessor::baseGoUp(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goUp(id); });
}

std::string TTMProcessor::baseGoDn(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goDn(id); });
}

// Not in the builtin table: no page can call it.
std::string TTMProcessor::baseGoSubLevel(Function* call) {
    return boolCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { return b.goSubLevel(id); });
}

// ---- path (string list) words ----

std::string TTMProcessor::baseGetStringList(Function* call) {
    return textCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.getStringList(id, flagOf(safeArg3(call)));
    });
}

std::string TTMProcessor::baseFindStringList(Function* call) {
    return boolCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.findStringList(id, safeArg3(call), listFlag(call));
    });
}

std::string TTMProcessor::baseReadStringAtList(Function* call) {
    return textCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.readStringAtList(id, safeArg3(call), listFlag(call));
    });
}

std::string TTMProcessor::baseExistsStringList(Function* call) {
    return boolCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.existsStringList(id, safeArg3(call), listFlag(call));
    });
}

std::string TTMProcessor::baseSetStringList(Function* call) {
    return boolCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.setStringList(id, safeArg3(call), listFlag(call));
    });
}

std::string TTMProcessor::baseMoveStringList(Function* call) {
    return boolCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.moveStringList(id, safeArg3(call), safeArg4(call));
    });
}

// ---- lock words ----

std::string TTMProcessor::baseLockWrite(Function* call) {
    return voidCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { b.lockWrite(id); });
}

std::string TTMProcessor::baseUnlockWrite(Function* call) {
    return voidCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { b.unlockWrite(id); });
}

std::string TTMProcessor::baseLockRead(Function* call) {
    return voidCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { b.lockRead(id); });
}

std::string TTMProcessor::baseUnlockRead(Function* call) {
    return voidCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { b.unlockRead(id); });
}

// ---- word index words ----

std::string TTMProcessor::baseRemoveFromIndex(Function* call) {
    return voidCommand(baseRegistry, call, [](VEKCursorProtected& b, int64 id) { b.removeFromIndex(id); });
}

// Three arguments: the text alone; four: the text and a second text.
std::string TTMProcessor::baseAddToIndex(Function* call) {
    if (call->count() != 4 && call->count() != 5) return std::string();
    return voidCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        b.addToIndex(id, safeArg3(call), safeArg4(call));
    });
}

// Three arguments: the query alone, no limit; four: a second text; five: a limit.
std::string TTMProcessor::baseSearchInIndex(Function* call) {
    if (call->count() < 4 || call->count() > 6) return std::string();
    const int64 limit = call->count() == 6 ? VekKernel::stringToInt64(safeArg5(call)) : INT64_MAX;
    return textCommand(baseRegistry, call, [call, limit](VEKCursorProtected& b, int64 id) {
        return b.searchInIndex(id, safeArg3(call), safeArg4(call), limit);
    });
}

// ---- user words ----

std::string TTMProcessor::baseAddUser(Function* call) {
    return boolCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.addUser(id, safeArg3(call), safeArg4(call), safeArg5(call));
    });
}

std::string TTMProcessor::baseChangePassword(Function* call) {
    return boolCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.changePassword(id, safeArg3(call), safeArg4(call), safeArg5(call), safeArg(call, 6));
    });
}

std::string TTMProcessor::baseDeleteUser(Function* call) {
    return boolCommand(baseRegistry, call, [call](VEKCursorProtected& b, int64 id) {
        return b.deleteUser(id, safeArg3(call), safeArg4(call));
    });
}

}  // namespace VekLanguage
