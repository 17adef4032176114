// Base words: the template words that reach the protected bases of the
// process-wide base registry, and the two packed-string-list words.
//
// Every base word looks its base up by name (argument 1) and calls one
// operation of the protected base with the process id (argument 2) first;
// the protected base decides what that id may do. A base that is not open
// gives "false" or the empty text and nothing is called. The page carries
// the base name and its id from word to word.
//
// An id that is not a whole number (the empty text included) names no
// session: it is passed on as NoSession, which the base answers as an
// unknown id. Pages and the start-up script are the operator's program: an
// id one of them opened may be used by any later page, and their readers
// stay open until closed. Client text (a raw request, a "#[" path) uses
// only ids its own run opened (each session records the token of its run):
// "~~x" and "~~vx" act only through its own writer. It owns the base uses
// it takes and gives them back, with its sessions, when its run ends.
//
// Every run knows what it opened. Its "~~-" gives back a use its own "~~+"
// took of the base that "~~+" reached (pageOpens, or client text's owned
// uses), so a run that opens and closes a name after its directory moved
// never closes the base other pages hold. Its writer commits on the base
// it was opened on, or fails the run when that writer is gone (its base
// closed, it was rolled back, its files went): an id that another writer
// took since never reaches that writer's commit.
//
// Two words drive the processor's turn loop:
// - "~~v" stores the id it got in requestState. RequestWaiting (-1: the
//   writer slot is taken) keeps the call pending, and the processor
//   evaluates it again on each later turn until it gets an id, gets another
//   negative id, or its timeout (requestTimeout) passes.
// - "~~." and "~~x" set yieldFlag when they close the writer, so the page's
//   turn ends right after the commit and the other pages get theirs.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <cstdint>
#include <string>
#include <utility>

#include "CommonBool.h"
#include "LanguageSwitches.h"
#include "TTMProcessor.h"
#include "Words.h"
#include "TTMText.h"
#include "VEKConnectionPool.h"
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

// The id argument when it is a whole decimal number (blanks around it
// allowed); false for an empty or any other text, which names no session.
bool parseId(const std::string& text, int64& id) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return false;
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    const std::string digits = text.substr(first, last - first + 1);
    std::size_t at = digits[0] == '-' ? 1 : 0;
    if (at == digits.size() || digits.find_first_not_of("0123456789", at) != std::string::npos) return false;
    errno = 0;
    id = std::strtoll(digits.c_str(), nullptr, 10);
    return errno == 0;
}

// An id that is never a session (writer ids start at 0, reader ids far
// above): the protected base answers it as an unknown id.
constexpr int64 NoSession = -1;

// The call's id when it is a whole number and, for client text, names a
// session of base that its run opened; else NoSession, so a refused id
// acts exactly as an unknown one.
int64 sessionIdOf(const TTMProcessor& p, const VEKCursorProtected& base, const Function* call) {
    int64 id = NoSession;
    if (!parseId(safeArg2(call), id) || (p.clientText && !base.ownedBy(id, p.runToken))) return NoSession;
    return id;
}

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

// Runs command on the call's base with its id (NoSession for an id this
// run did not open); notOpen when the base is not open.
template <typename Command>
std::string onBase(TTMProcessor& p, const Function* call, const std::string& notOpen, Command command) {
    VEKCursorProtected* base = baseOf(p.baseRegistry, call);
    if (base == nullptr) return notOpen;
    return command(*base, sessionIdOf(p, *base, call));
}

// The command families by result: "true"/"false", "%lld", text, nothing.
template <typename Command>
std::string boolCommand(TTMProcessor& p, const Function* call, Command command) {
    return onBase(p, call, VekNames::False,
                  [&](VEKCursorProtected& base, int64 id) { return boolText(command(base, id)); });
}

template <typename Command>
std::string countCommand(TTMProcessor& p, const Function* call, Command command) {
    return onBase(p, call, std::string(),
                  [&](VEKCursorProtected& base, int64 id) { return int64Text(command(base, id)); });
}

template <typename Command>
std::string textCommand(TTMProcessor& p, const Function* call, Command command) {
    return onBase(p, call, std::string(), command);
}

template <typename Command>
std::string voidCommand(TTMProcessor& p, const Function* call, Command command) {
    return onBase(p, call, std::string(), [&](VEKCursorProtected& base, int64 id) {
        command(base, id);
        return std::string();
    });
}

// ---- registry and process words ----

// Client text holds at most MaxOpenBases bases, counted by the spellings
// the registry counts its uses under ("./shop" is "shop"); names whose uses
// are gone (a "~~x", a broken base) no longer count.
bool clientMayOpen(TTMProcessor& p, const std::string& name) {
    if (p.ownBases.count(VEKBaseRegistry::spellingOf(name)) != 0 || p.ownBases.size() < TTMProcessor::MaxOpenBases)
        return true;
    for (auto it = p.ownBases.begin(); it != p.ownBases.end();)
        it = p.baseRegistry->usesOf(*it, p.runToken) == 0 ? p.ownBases.erase(it) : std::next(it);
    return p.ownBases.size() < TTMProcessor::MaxOpenBases;
}

// A reader session; client text that holds MaxOpenSessions already is
// refused as a login is (-1). A writer needs no bound: one per base.
int64 openReader(TTMProcessor& p, VEKCursorProtected& base, const std::pair<std::string, std::string>& login) {
    if (p.clientText && p.openSessions.size() >= TTMProcessor::MaxOpenSessions) return -1;
    return base.openReadProcess(login.first, login.second, p.runToken);
}

// A page's run notes the base its "~~+" took a shared use of.
void notePageOpen(TTMProcessor& p, const std::string& name) {
    const u64 serial = p.baseRegistry->serialOf(name);
    auto& opened = p.pageOpens[VEKBaseRegistry::spellingOf(name)];
    if (!opened.empty() && opened.back().first == serial) opened.back().second++;
    else opened.push_back({serial, 1});
}

// A page's run gives back a use taken through name: the oldest its own
// "~~+" took (nothing when that base has closed since: that use went with
// it); with none of its own, one as the registry's rule has it, unless
// ownOnly.
void giveBackPageUse(TTMProcessor& p, const std::string& name, bool ownOnly = false) {
    auto own = p.pageOpens.find(VEKBaseRegistry::spellingOf(name));
    if (own == p.pageOpens.end()) {
        if (!ownOnly) p.baseRegistry->remove(name);
        return;
    }
    const u64 serial = own->second.front().first;
    if (--own->second.front().second == 0) own->second.erase(own->second.begin());
    if (own->second.empty()) p.pageOpens.erase(own);
    p.baseRegistry->removeOf(name, serial);
}

// Client text's uses are its own: given back by its "~~-" or when it ends.
std::string baseOpen(TTMProcessor& p, Function* call) {
    const std::string name = safeArg1(call);
    if (p.baseRegistry == nullptr || (!VekBase::isMemoryBaseName(name) && p.refusesPath(name))) return std::string();
    if (p.clientText && (name.size() > TTMProcessor::MaxBaseName || !clientMayOpen(p, name))) return std::string();
    // No run, page or client text, opens a base into the descriptors the
    // server keeps back for connections.
    if (!p.baseRegistry->mayOpen(name, VekBase::streamKindFor(name))) return std::string();
    if (openBaseByName(*p.baseRegistry, name, p.clientText ? p.runToken : 0) != nullptr) {
        if (p.clientText) p.ownBases.insert(VEKBaseRegistry::spellingOf(name));
        else notePageOpen(p, name);
    } else if (!p.baseRegistry->failure().empty()) {
        VekKernel::vekLog.error(p.baseRegistry->failure(), __FILE__, __LINE__);
    }
    return std::string();
}

// Gives back a use of the run's taken through name: client text one it
// owns, a page's run one its own "~~+" took (giveBackPageUse).
void giveBackUse(TTMProcessor& p, const std::string& name, bool ownOnly = false) {
    if (!p.clientText) return giveBackPageUse(p, name, ownOnly);
    p.baseRegistry->removeOwned(name, p.runToken);
    if (p.baseRegistry->usesOf(name, p.runToken) == 0) p.ownBases.erase(VEKBaseRegistry::spellingOf(name));
}

std::string baseRemove(TTMProcessor& p, Function* call) {
    if (p.baseRegistry != nullptr) giveBackUse(p, safeArg1(call));
    return std::string();
}

std::string baseOpenWriteProcess(TTMProcessor& p, Function* call) {
    VEKCursorProtected* base = baseOf(p.baseRegistry, call);
    // Not open: requestState stays as it was (idle on the first evaluation,
    // waiting while the call is pending), so a wait goes on.
    if (base == nullptr) return std::string();
    const auto login = loginOf(call, 3);
    const int64 id = banBaseWrite ? openReader(p, *base, login)
                                  : base->openWriteProcess(login.first, login.second, p.runToken);
    p.requestState = id;  // RequestWaiting while another writer holds the base
    if (id >= 0) p.rememberSession(safeArg1(call), id, !banBaseWrite, p.baseRegistry->serialOf(safeArg1(call)));
    p.requestTimeout = VekKernel::stringToInt64(safeArg2(call));
    return int64Text(id);
}

std::string baseOpenReadProcess(TTMProcessor& p, Function* call) {
    VEKCursorProtected* base = baseOf(p.baseRegistry, call);
    if (base == nullptr) return std::string();
    const auto login = loginOf(call, 2);
    const int64 id = openReader(p, *base, login);
    if (id >= 0) p.rememberSession(safeArg1(call), id, false, p.baseRegistry->serialOf(safeArg1(call)));
    return int64Text(id);
}

// The base a writer this run opened commits on; null when the id is none
// of its writers. Throws (the run fails) when that writer is gone: a
// commit through it would store nothing, or another writer's keys.
VEKCursorProtected* baseOfOwnWriter(TTMProcessor& p, int64 id) {
    const TTMProcessor::OpenSession* own = p.ownWriter(id);
    if (own == nullptr) return nullptr;
    const TTMProcessor::OpenSession session = *own;
    p.forgetSession(id);
    VEKCursorProtected* base = ownWriterBase(*p.baseRegistry, session.serial, id, p.runToken);
    if (base == nullptr) throw std::runtime_error(goneWriterFailure(session.base));
    return base;
}

// Ends the session; an id sessionIdOf refuses closes nothing.
std::string baseCloseProcess(TTMProcessor& p, Function* call) {
    if (p.baseRegistry == nullptr) return std::string();
    int64 writer = NoSession;
    parseId(safeArg2(call), writer);
    if (VEKCursorProtected* own = baseOfOwnWriter(p, writer)) {
        p.yieldFlag = endBaseProcess(*own, writer);  // the commit ends the page's turn
        return std::string();
    }
    // A writer's own base, also when the name reaches a newer one since its
    // directory changed: the commit must not pass unseen on the newer base.
    VEKCursorProtected* base = p.baseRegistry->getWriter(safeArg1(call), writer);
    if (base == nullptr) return std::string();
    const int64 id = sessionIdOf(p, *base, call);
    if (id == NoSession) return std::string();
    p.forgetSession(id);
    // A writer whose files went under it stores nothing: its commit fails
    // the run, as a commit that cannot be written does.
    base->failLostCommit(id);
    // The writer's commit ends the page's turn.
    p.yieldFlag = endBaseProcess(*base, id);
    return std::string();
}

// Ends the session and deletes the base. Client text deletes only through
// the writer its run opened: any other id gives the failure text and
// nothing is closed or deleted; so does an id that is no number.
std::string baseCloseAndDelete(TTMProcessor& p, Function* call) {
    const std::string name = safeArg1(call);
    VEKCursorProtected* base = nullptr;
    int64 writer = NoSession;
    if (p.baseRegistry != nullptr && parseId(safeArg2(call), writer) && p.ownWriter(writer) != nullptr) {
        // The run's own writer acts on the base it was opened on; one that
        // is gone has nothing to commit and deletes nothing, and gives back
        // no use but one of the run's own (others' bases stay open).
        try {
            base = baseOfOwnWriter(p, writer);
        } catch (const std::runtime_error&) {
            giveBackUse(p, name, true);
            return safeArg3(call);
        }
    } else {
        base = baseOf(p.baseRegistry, call);
    }
    if (base == nullptr) return std::string();
    const int64 id = sessionIdOf(p, *base, call);
    if (id == NoSession || (p.clientText && base->getWriteProcess() != id)) return safeArg3(call);
    p.forgetSession(id);
    bool wasWriter = false;
    const bool deleted = endAndDeleteBase(*base, id, wasWriter, [&p, &name] { giveBackUse(p, name); });
    p.yieldFlag = wasWriter;
    return deleted ? std::string() : safeArg3(call);
}

// Rolls back the base's writer; client text only the writer its own run
// opened.
std::string baseCloseBase(TTMProcessor& p, Function* call) {
    VEKCursorProtected* base = baseOf(p.baseRegistry, call);
    if (base == nullptr || base->getWriteProcess() < 0) return std::string();
    if (p.clientText && base->writerOwner() != p.runToken) return std::string();
    p.forgetSession(base->getWriteProcess());
    base->closeBase();
    return std::string();
}

// ---- symbol words ----

std::string basePutSymbol(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [call](VEKCursorProtected& b, int64 id) { return b.putSymbol(id, safeArg3(call)); });
}

std::string baseReplaceSymbol(TTMProcessor& p, Function* call) {
    return boolCommand(p, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.replaceSymbol(id, safeArg3(call)); });
}

std::string baseDeleteSymbol(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.deleteSymbol(id); });
}

std::string baseReadString(TTMProcessor& p, Function* call) {
    return textCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.readString(id); });
}

std::string baseFindSymbol(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [call](VEKCursorProtected& b, int64 id) { return b.findSymbol(id, safeArg3(call)); });
}

std::string baseDataLength(TTMProcessor& p, Function* call) {
    return countCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.dataLength(id); });
}

std::string baseSearchSymbol(TTMProcessor& p, Function* call) {
    return onBase(p, call, std::string(), [call](VEKCursorProtected& b, int64 id) {
        return formatWord("%d", b.searchSymbol(id, safeArg3(call)));
    });
}

std::string baseFindSymbolOrNext(TTMProcessor& p, Function* call) {
    return boolCommand(p, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.findSymbolOrNext(id, safeArg3(call)); });
}

std::string baseFindSymbolOrPrev(TTMProcessor& p, Function* call) {
    return boolCommand(p, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.findSymbolOrPrev(id, safeArg3(call)); });
}

std::string baseExistsSymbol(TTMProcessor& p, Function* call) {
    return boolCommand(p, call,
                       [call](VEKCursorProtected& b, int64 id) { return b.existsSymbol(id, safeArg3(call)); });
}

std::string baseGetChildCount(TTMProcessor& p, Function* call) {
    return countCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.getChildCount(id); });
}

std::string baseGetSymbolCount(TTMProcessor& p, Function* call) {
    return countCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.getSymbolCount(id); });
}

// ---- moving words ----

std::string baseGoChild(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goChild(id); });
}

std::string baseGoParent(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goParent(id); });
}

std::string baseGoFirst(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goFirst(id); });
}

std::string baseGoLast(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goLast(id); });
}

std::string baseGoNextKey(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goNextKey(id); });
}

std::string baseGoPrevKey(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goPrevKey(id); });
}

std::string baseGoPr(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goPr(id); });
}

std::string baseGoNx(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goNx(id); });
}

std::string baseGoUp(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goUp(id); });
}

std::string baseGoDn(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goDn(id); });
}

// Not in the builtin table: no page can call it.
}  // namespace

std::string baseGoSubLevel(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [](VEKCursorProtected& b, int64 id) { return b.goSubLevel(id); });
}

namespace {

// ---- path (string list) words ----

std::string baseGetStringList(TTMProcessor& p, Function* call) {
    return textCommand(p, call, [call](VEKCursorProtected& b, int64 id) {
        return b.getStringList(id, flagOf(safeArg3(call)));
    });
}

std::string baseFindStringList(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [call](VEKCursorProtected& b, int64 id) {
        return b.findStringList(id, safeArg3(call), listFlag(call));
    });
}

std::string baseReadStringAtList(TTMProcessor& p, Function* call) {
    return textCommand(p, call, [call](VEKCursorProtected& b, int64 id) {
        return b.readStringAtList(id, safeArg3(call), listFlag(call));
    });
}

std::string baseExistsStringList(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [call](VEKCursorProtected& b, int64 id) {
        return b.existsStringList(id, safeArg3(call), listFlag(call));
    });
}

std::string baseSetStringList(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [call](VEKCursorProtected& b, int64 id) {
        return b.setStringList(id, safeArg3(call), listFlag(call));
    });
}

std::string baseMoveStringList(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [call](VEKCursorProtected& b, int64 id) {
        return b.moveStringList(id, safeArg3(call), safeArg4(call));
    });
}

// ---- lock words ----

std::string baseLockWrite(TTMProcessor& p, Function* call) {
    return voidCommand(p, call, [](VEKCursorProtected& b, int64 id) { b.lockWrite(id); });
}

std::string baseUnlockWrite(TTMProcessor& p, Function* call) {
    return voidCommand(p, call, [](VEKCursorProtected& b, int64 id) { b.unlockWrite(id); });
}

std::string baseLockRead(TTMProcessor& p, Function* call) {
    return voidCommand(p, call, [](VEKCursorProtected& b, int64 id) { b.lockRead(id); });
}

std::string baseUnlockRead(TTMProcessor& p, Function* call) {
    return voidCommand(p, call, [](VEKCursorProtected& b, int64 id) { b.unlockRead(id); });
}

// ---- word index words ----

std::string baseRemoveFromIndex(TTMProcessor& p, Function* call) {
    return voidCommand(p, call, [](VEKCursorProtected& b, int64 id) { b.removeFromIndex(id); });
}

// Three arguments: the text alone; four: the text and a second text.
std::string baseAddToIndex(TTMProcessor& p, Function* call) {
    if (call->count() != 4 && call->count() != 5) return std::string();
    return voidCommand(p, call, [call](VEKCursorProtected& b, int64 id) {
        b.addToIndex(id, safeArg3(call), safeArg4(call));
    });
}

// Three arguments: the query alone, no limit; four: a second text; five: a limit.
std::string baseSearchInIndex(TTMProcessor& p, Function* call) {
    if (call->count() < 4 || call->count() > 6) return std::string();
    const int64 limit = call->count() == 6 ? VekKernel::stringToInt64(safeArg5(call)) : INT64_MAX;
    return textCommand(p, call, [call, limit](VEKCursorProtected& b, int64 id) {
        return b.searchInIndex(id, safeArg3(call), safeArg4(call), limit);
    });
}

// ---- user words ----

std::string baseAddUser(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [call](VEKCursorProtected& b, int64 id) {
        return b.addUser(id, safeArg3(call), safeArg4(call), safeArg5(call));
    });
}

std::string baseChangePassword(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [call](VEKCursorProtected& b, int64 id) {
        return b.changePassword(id, safeArg3(call), safeArg4(call), safeArg5(call), safeArg(call, 6));
    });
}

std::string baseDeleteUser(TTMProcessor& p, Function* call) {
    return boolCommand(p, call, [call](VEKCursorProtected& b, int64 id) {
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

void TTMProcessor::rememberSession(const std::string& base, int64 id, bool writer, u64 serial) {
    openSessions.push_back({base, id, writer, serial});
}

const TTMProcessor::OpenSession* TTMProcessor::ownWriter(int64 id) const {
    for (const OpenSession& session : openSessions)
        if (session.writer && session.id == id) return &session;
    return nullptr;
}

void TTMProcessor::forgetSession(int64 id) {
    auto ended = [id](const OpenSession& session) { return session.id == id; };
    openSessions.erase(std::remove_if(openSessions.begin(), openSessions.end(), ended), openSessions.end());
}

namespace {

// Ends the sessions of sessions that run still owns: readers are released,
// and with writers set a writer that still holds its base is rolled back.
void endSessions(VEKBaseRegistry* registry, u64 run, const std::vector<TTMProcessor::OpenSession>& sessions,
                 bool writers) {
    for (const TTMProcessor::OpenSession& session : sessions) {
        try {
            // The base it was opened on, whatever its name reaches now.
            VEKCursorProtected* base = registry != nullptr ? registry->find(session.serial) : nullptr;
            // Once ended, the same id may belong to another run's session.
            if (base == nullptr || !base->ownedBy(session.id, run)) continue;
            // A writer lost when its files went has only its id to give back.
            if (!session.writer || (writers && base->isLostWriter(session.id))) base->closeProcess(session.id);
            else if (writers) base->closeBase();
        } catch (const std::exception& failure) {
            VekKernel::vekLog.error(failure.what(), __FILE__, __LINE__);
        }
    }
}

}  // namespace

void TTMProcessor::abandonSessions() {
    std::vector<OpenSession> sessions;
    sessions.swap(openSessions);
    endSessions(baseRegistry, runToken, sessions, true);
}

// The sessions of a page or of the start-up script stay, as the pages'
// protocol has it: later pages may use them until a "~~.", "~~x" or "~~vx"
// (or the base's last "~~-") ends them. Client text gives back all it
// opened, its pooled connections too.
void TTMProcessor::endRun() {
    if (!clientText) return;
    std::vector<OpenSession> sessions;
    sessions.swap(openSessions);
    endSessions(baseRegistry, runToken, sessions, true);
    for (const std::string& name : ownBases) {
        try {
            if (baseRegistry != nullptr) baseRegistry->releaseOwner(name, runToken);
        } catch (const std::exception& failure) {
            VekKernel::vekLog.error(failure.what(), __FILE__, __LINE__);
        }
    }
    ownBases.clear();
    if (connectionPool != nullptr)
        for (const auto& use : ownConnections) connectionPool->release(use.first, use.second);
    ownConnections.clear();
}

}  // namespace VekLanguage
