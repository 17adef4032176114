// Forth base words: the protected bases of the process-wide base registry,
// one protected-cursor command per word, and the two packed-string-list
// words.
//
// Stack layout of a command word: the base name on top, the process id
// under it, and under those the command's further inputs, its first
// parameter nearest the top. A base that is not open runs nothing and gives
// 0, "false" or the empty text as its result; exceptions of the commands
// (read or write denied, a damaged base) pass on to the caller unchanged.
#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "CommonBool.h"
#include "ForthExtensions.h"
#include "LanguageSwitches.h"
#include "TTMText.h"
#include "VekFile.h"
#include "WordLogic.h"
#include "base/VEKBaseRegistry.h"
#include "base/VEKCursor.h"
#include "base/VEKCursorProtected.h"

namespace VekLanguage {

namespace {

using VekBase::VEKBaseRegistry;
using VekBase::VEKCursorProtected;
using Base = VEKCursorProtected;

// No process id: what the session words give when no session was opened.
constexpr int64 NoProcess = -1;

// The open base named by the text at cell 0, or null.
VEKCursorProtected* baseAt(VEKBaseRegistry* registry, const ForthInputs& in) {
    const std::string name = in.text(0);
    return registry != nullptr ? registry->get(name) : nullptr;
}

// Runs command(base, pid, inputs) on the open base and pushes its result
// with push; a base that is not open gives `missing`. The inputs stay on the
// stack while the command reads them.
template <typename Result, typename Command, typename Push>
void baseWord(ForthProcessor& forth, VEKBaseRegistry* registry, const char* name, int cells, int results,
              Result missing, Command command, Push push) {
    ForthInputs in(forth, name, cells, results);
    VEKCursorProtected* base = baseAt(registry, in);
    Result result = base != nullptr ? command(*base, in.cell(1), in) : missing;
    in.consume();
    push(result);
}

// The word families by result: flag, number, "true"/"false", text, none.
template <typename Command>
void flagWord(ForthProcessor& forth, VEKBaseRegistry* registry, const char* name, int cells, Command command) {
    baseWord(forth, registry, name, cells, 1, false, command, [&](bool r) { pushFlag(forth, r); });
}

template <typename Command>
void boolTextWord(ForthProcessor& forth, VEKBaseRegistry* registry, const char* name, int cells, Command command) {
    baseWord(forth, registry, name, cells, 2, false, command, [&](bool r) { pushBoolText(forth, r, name); });
}

template <typename Command>
void textWord(ForthProcessor& forth, VEKBaseRegistry* registry, const char* name, int cells, Command command) {
    baseWord(forth, registry, name, cells, 2, std::string(), command,
             [&](const std::string& r) { forth.pushText(r, name); });
}

template <typename Command>
void countTextWord(ForthProcessor& forth, VEKBaseRegistry* registry, const char* name, Command command) {
    baseWord(forth, registry, name, 2, 2, std::string(), [&](Base& b, int64 id, const ForthInputs&) {
        return formatWord("%lld", static_cast<long long>(command(b, id)));
    }, [&](const std::string& r) { forth.pushText(r, name); });
}

template <typename Command>
void voidWord(ForthProcessor& forth, VEKBaseRegistry* registry, const char* name, int cells, Command command) {
    baseWord(forth, registry, name, cells, 0, 0, [&](Base& b, int64 id, const ForthInputs& in) {
        command(b, id, in);
        return 0;
    }, [](int) {});
}

// The session words that take no process id: only the base name is read.
template <typename Command>
void sessionWord(ForthProcessor& forth, VEKBaseRegistry* registry, const char* name, Command command) {
    ForthInputs in(forth, name, 1, 0);
    VEKCursorProtected* base = baseAt(registry, in);
    in.consume();
    if (base != nullptr) command(*base);
}

// A login word: user and pass phrase at the two deepest cells; pushes the
// new id, NoProcess when the base is not open. Every input is checked and
// taken at once, so the stack effect is the same whether the base is open
// or not. open takes the base, its name, the user and the pass phrase.
template <typename Open>
void loginWord(ForthProcessor& forth, VEKBaseRegistry* registry, const char* name, int cells, Open open) {
    const int userCell = cells - 2;
    baseWord(forth, registry, name, cells, 1, NoProcess, [&](Base& b, int64, const ForthInputs& in) {
        return open(b, in.text(0), in.text(userCell), in.text(userCell + 1));
    }, [&](int64 id) { forth.push(id); });
}

}  // namespace

// ---- registry and session words ----

void ForthProcessor::extBaseOpen() {
    ForthInputs in(*this, "~~+", 1, 0);
    const std::string name = in.text(0);
    in.consume();
    // A file base is made of files named after it: only names that stay
    // under the working directory may open (and so create) one.
    if (baseRegistry == nullptr || (!VekBase::isMemoryBaseName(name) && !VekKernel::isPagePath(name))) return;
    openBaseByName(*baseRegistry, name);
}

void ForthProcessor::extBaseRemove() {
    ForthInputs in(*this, "~~-", 1, 0);
    const std::string name = in.text(0);
    in.consume();
    if (baseRegistry != nullptr) baseRegistry->remove(name);
}

// A writer rolled back here is no longer one of this processor's own: a
// "~~." through its id then ends nothing, as before.
void ForthProcessor::extBaseClose() {
    sessionWord(*this, baseRegistry, "~~vx", [this](Base& b) {
        forgetOwnWriter(b.getWriteProcess());
        b.closeBase();
    });
}

// pass user x base -- id: the cell x under the name is not used.
void ForthProcessor::extBaseOpenWrite() {
    loginWord(*this, baseRegistry, "~~v", 4,
              [this](Base& b, const std::string& base, const std::string& user, const std::string& pass) {
                  if (banBaseWrite) return b.openReadProcess(user, pass, runToken);
                  const int64 id = b.openWriteProcess(user, pass, runToken);
                  if (id >= 0) ownWriters.push_back({id, baseRegistry->serialOf(base), base});
                  return id;
              });
}

void ForthProcessor::extBaseOpenRead() {
    loginWord(*this, baseRegistry, "~~^", 3,
              [this](Base& b, const std::string&, const std::string& user, const std::string& pass) {
                  return b.openReadProcess(user, pass, runToken);
              });
}

void ForthProcessor::forgetOwnWriter(int64 id) {
    for (auto writer = ownWriters.begin(); writer != ownWriters.end(); ++writer)
        if (writer->id == id) return void(ownWriters.erase(writer));
}

// pid base --. A writer this processor opened commits on the base it was
// opened on; once that writer is gone (its base closed, its files went
// under it) the word fails, as a commit that stored nothing must.
void ForthProcessor::extBaseCloseProcess() {
    ForthInputs in(*this, "~~.", 2, 0);
    const std::string name = in.text(0);
    const int64 id = in.cell(1);
    in.consume();
    if (baseRegistry == nullptr) return;
    VEKCursorProtected* base = nullptr;
    try {
        auto own = std::find_if(ownWriters.begin(), ownWriters.end(), [id](const OwnWriter& w) { return w.id == id; });
        if (own != ownWriters.end()) {
            const OwnWriter writer = *own;
            ownWriters.erase(own);
            base = ownWriterBase(*baseRegistry, writer.serial, id, runToken);
            if (base == nullptr) throw std::runtime_error(goneWriterFailure(writer.base));
        } else if ((base = baseRegistry->get(name)) != nullptr) {
            base->failLostCommit(id);
        }
    } catch (const std::exception& failure) {
        throw AbortException(std::string("~~.: ") + failure.what());
    }
    if (base != nullptr) endBaseProcess(*base, id);  // a failing commit's own error passes on as it is
}

// text pid base -- text: the empty text when both files were deleted (or
// the base is not open), else the given text.
void ForthProcessor::extBaseDelete() {
    ForthInputs in(*this, "~~x", 3, 0);
    VEKCursorProtected* base = baseAt(baseRegistry, in);
    const std::string failure = base != nullptr ? in.text(2) : std::string();
    const std::string name = in.text(0);
    const int64 id = in.cell(1);
    in.consume();
    forgetOwnWriter(id);
    bool wasWriter = false;
    const bool deleted =
        base == nullptr || endAndDeleteBase(*base, id, wasWriter, [this, &name] { baseRegistry->remove(name); });
    pushText(deleted ? std::string() : failure, "~~x");
}

// ---- symbol words ----

void ForthProcessor::extPutSymbol() {
    flagWord(*this, baseRegistry, "~~+.", 3,
             [](Base& b, int64 id, const ForthInputs& in) { return b.putSymbol(id, in.text(2)); });
}

void ForthProcessor::extReplaceSymbol() {
    flagWord(*this, baseRegistry, "~~/.", 3,
             [](Base& b, int64 id, const ForthInputs& in) { return b.replaceSymbol(id, in.text(2)); });
}

void ForthProcessor::extFindSymbol() {
    flagWord(*this, baseRegistry, "~~>.", 3,
             [](Base& b, int64 id, const ForthInputs& in) { return b.findSymbol(id, in.text(2)); });
}

void ForthProcessor::extSearchSymbol() {
    baseWord(*this, baseRegistry, "~~>?", 3, 1, int64{-1},
             [](Base& b, int64 id, const ForthInputs& in) { return int64{b.searchSymbol(id, in.text(2))}; },
             [this](int64 code) { push(code); });
}

void ForthProcessor::extFindSymbolOrNext() {
    flagWord(*this, baseRegistry, "~~>(?", 3,
             [](Base& b, int64 id, const ForthInputs& in) { return b.findSymbolOrNext(id, in.text(2)); });
}

void ForthProcessor::extFindSymbolOrPrev() {
    flagWord(*this, baseRegistry, "~~>)?", 3,
             [](Base& b, int64 id, const ForthInputs& in) { return b.findSymbolOrPrev(id, in.text(2)); });
}

void ForthProcessor::extExistsSymbol() {
    boolTextWord(*this, baseRegistry, "~~?.", 3,
                 [](Base& b, int64 id, const ForthInputs& in) { return b.existsSymbol(id, in.text(2)); });
}

void ForthProcessor::extDeleteSymbol() {
    flagWord(*this, baseRegistry, "~~-.", 2, [](Base& b, int64 id, const ForthInputs&) { return b.deleteSymbol(id); });
}

void ForthProcessor::extReadString() {
    textWord(*this, baseRegistry, "~~^.", 2, [](Base& b, int64 id, const ForthInputs&) { return b.readString(id); });
}

void ForthProcessor::extDataLength() {
    baseWord(*this, baseRegistry, "~~(.)", 2, 1, int64{0},
             [](Base& b, int64 id, const ForthInputs&) { return b.dataLength(id); },
             [this](int64 length) { push(length); });
}

void ForthProcessor::extChildCount() {
    countTextWord(*this, baseRegistry, "~~^n", [](Base& b, int64 id) { return b.getChildCount(id); });
}

void ForthProcessor::extSymbolCount() {
    countTextWord(*this, baseRegistry, "~~^N", [](Base& b, int64 id) { return b.getSymbolCount(id); });
}

// ---- moving words ----

void ForthProcessor::extGoChild() {
    flagWord(*this, baseRegistry, "~~>v", 2, [](Base& b, int64 id, const ForthInputs&) { return b.goChild(id); });
}

void ForthProcessor::extGoParent() {
    flagWord(*this, baseRegistry, "~~>^", 2, [](Base& b, int64 id, const ForthInputs&) { return b.goParent(id); });
}

void ForthProcessor::extGoFirst() {
    flagWord(*this, baseRegistry, "~~>(.", 2, [](Base& b, int64 id, const ForthInputs&) { return b.goFirst(id); });
}

void ForthProcessor::extGoLast() {
    flagWord(*this, baseRegistry, "~~>).", 2, [](Base& b, int64 id, const ForthInputs&) { return b.goLast(id); });
}

void ForthProcessor::extGoNextKey() {
    flagWord(*this, baseRegistry, "~~>+.", 2, [](Base& b, int64 id, const ForthInputs&) { return b.goNextKey(id); });
}

void ForthProcessor::extGoPrevKey() {
    flagWord(*this, baseRegistry, "~~>-.", 2, [](Base& b, int64 id, const ForthInputs&) { return b.goPrevKey(id); });
}

void ForthProcessor::extGoPr() {
    boolTextWord(*this, baseRegistry, "~~>-@", 2, [](Base& b, int64 id, const ForthInputs&) { return b.goPr(id); });
}

void ForthProcessor::extGoNx() {
    boolTextWord(*this, baseRegistry, "~~>+@", 2, [](Base& b, int64 id, const ForthInputs&) { return b.goNx(id); });
}

void ForthProcessor::extGoUp() {
    boolTextWord(*this, baseRegistry, "~~>^@", 2, [](Base& b, int64 id, const ForthInputs&) { return b.goUp(id); });
}

void ForthProcessor::extGoDn() {
    boolTextWord(*this, baseRegistry, "~~>v@", 2, [](Base& b, int64 id, const ForthInputs&) { return b.goDn(id); });
}

// ---- lock words ----

void ForthProcessor::extLockWrite() {
    voidWord(*this, baseRegistry, "~~#v", 2, [](Base& b, int64 id, const ForthInputs&) { b.lockWrite(id); });
}

void ForthProcessor::extUnlockWrite() {
    voidWord(*this, baseRegistry, "~~$v", 2, [](Base& b, int64 id, const ForthInputs&) { b.unlockWrite(id); });
}

void ForthProcessor::extLockRead() {
    voidWord(*this, baseRegistry, "~~#^", 2, [](Base& b, int64 id, const ForthInputs&) { b.lockRead(id); });
}

void ForthProcessor::extUnlockRead() {
    voidWord(*this, baseRegistry, "~~$^", 2, [](Base& b, int64 id, const ForthInputs&) { b.unlockRead(id); });
}

// ---- path (string list) words: flag list pid base ----

void ForthProcessor::extGetStringList() {
    textWord(*this, baseRegistry, "~~*...)?", 3,
             [](Base& b, int64 id, const ForthInputs& in) { return b.getStringList(id, in.flag(2)); });
}

void ForthProcessor::extFindStringList() {
    flagWord(*this, baseRegistry, "~~>...)?", 4, [](Base& b, int64 id, const ForthInputs& in) {
        return b.findStringList(id, in.text(2), in.flag(3));
    });
}

void ForthProcessor::extReadStringAtList() {
    textWord(*this, baseRegistry, "~~^...)?", 4, [](Base& b, int64 id, const ForthInputs& in) {
        return b.readStringAtList(id, in.text(2), in.flag(3));
    });
}

void ForthProcessor::extExistsStringList() {
    boolTextWord(*this, baseRegistry, "~~?...", 4, [](Base& b, int64 id, const ForthInputs& in) {
        return b.existsStringList(id, in.text(2), in.flag(3));
    });
}

void ForthProcessor::extSetStringList() {
    boolTextWord(*this, baseRegistry, "~~+...", 4, [](Base& b, int64 id, const ForthInputs& in) {
        return b.setStringList(id, in.text(2), in.flag(3));
    });
}

// second-list first-list pid base: moves the first path to the second.
void ForthProcessor::extMoveStringList() {
    boolTextWord(*this, baseRegistry, "~~>./.", 4, [](Base& b, int64 id, const ForthInputs& in) {
        return b.moveStringList(id, in.text(2), in.text(3));
    });
}

// ---- word index words ----

void ForthProcessor::extAddToIndex() {
    voidWord(*this, baseRegistry, "AddToIndex", 4,
             [](Base& b, int64 id, const ForthInputs& in) { b.addToIndex(id, in.text(2), in.text(3)); });
}

void ForthProcessor::extSearchInIndex() {
    textWord(*this, baseRegistry, "SearchInIndex", 5, [](Base& b, int64 id, const ForthInputs& in) {
        return b.searchInIndex(id, in.text(2), in.text(3), in.cell(4));
    });
}

void ForthProcessor::extRemoveFromIndex() {
    voidWord(*this, baseRegistry, "RemoveFromIndex", 2,
             [](Base& b, int64 id, const ForthInputs&) { b.removeFromIndex(id); });
}

// ---- user words: user nearest the top ----

void ForthProcessor::extAddUser() {
    boolTextWord(*this, baseRegistry, "~~u+", 5, [](Base& b, int64 id, const ForthInputs& in) {
        return b.addUser(id, in.text(2), in.text(3), in.text(4));
    });
}

void ForthProcessor::extChangePassword() {
    boolTextWord(*this, baseRegistry, "~~u/", 6, [](Base& b, int64 id, const ForthInputs& in) {
        return b.changePassword(id, in.text(2), in.text(3), in.text(4), in.text(5));
    });
}

void ForthProcessor::extDeleteUser() {
    boolTextWord(*this, baseRegistry, "~~u-", 4,
                 [](Base& b, int64 id, const ForthInputs& in) { return b.deleteUser(id, in.text(2), in.text(3)); });
}

// ---- packed string lists (no base) ----

// text separator -- list
void ForthProcessor::extPackList() {
    ForthInputs in(*this, "~~///...", 2, 2);
    const std::string list = VekBase::packStringList(in.text(1), in.text(0));
    in.consume();
    pushText(list, "~~///...");
}

// list separator -- text
void ForthProcessor::extUnpackList() {
    ForthInputs in(*this, "~~...///", 2, 2);
    const std::string text = VekBase::unpackStringList(in.text(0), in.text(1));
    in.consume();
    pushText(text, "~~...///");
}

}  // namespace VekLanguage
