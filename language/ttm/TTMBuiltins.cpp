// The processor's word table: the family tables of the words_*.cpp files
// joined in the order init has always entered the words. A name that is not
// here is always a user form call, so a form can never take a builtin's name.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TTMProcessor.h"
#include "Words.h"

namespace VekLanguage {

namespace {

// Every builtin name in the order of entry.
const char* const EntryOrder[] = {
    ".^", ".v", ".+", ".-", ".=", "=", "cout", "out",
    "=.", "+", "-", "*", "/", "%", "cout+", "cout-",
    "==", "==n", ">=", ">=n", "is", "^.", "=x", "=x..",
    "cs", "x*v", "*0", "ta", "chr", "tcn", "^..", "(..)",
    "(.)", "^(..*", "^*..)", "*^", "*v", "trf", "ts", "tt",
    "ttc", "|", "&", "~", "ln", "pf", "existsf", "df",
    "oi", "oo", "oa", "cf", "eof", "frs", "frc", "fcm",
    "fps", "load", "system", "s2us", "#", "exit", "~+", "~-",
    "~>", "~~+", "~~-", "~~v", "~~^", "~~.", "~~x", "~~vx",
    "~~+.", "~~/.", "~~-.", "~~^.", "~~>.", "~~(.)", "~~>v", "~~>^",
    "~~>(.", "~~>).", "~~>+.", "~~>-.", "~~>?", "~~>(?", "~~>)?", "~~*...",
    "~~>...", "~~^...", "~~?.", "~~?...", "~~+...", "~~>-@", "~~>+@", "~~>^@",
    "~~>v@", "~~///...", "~~...///", "~~#v", "~~$v", "~~#^", "~~$^", "~~>./.",
    "fmtl", "refmtl", "fmtd", "getTime", "fmtTime", "getFileTime", "getFileSize", "outLoadBinary",
    "base64LoadBinary", "base64SaveBinary", "RemoveFromIndex", "AddToIndex", "SearchInIndex", "~~u+", "~~u/", "~~u-",
    "~~^n", "~~^N", "^UID", "BuffersGetState", "RegEx", "MD5", "SHA1", "SHA256",
    "outBase64Decode", "rand", "append", "lShiftBits", "rShiftBits", "countBits",
};

const WordTable* const Families[] = {&controlWords(), &segmentWords(), &formWords(),   &pointerWords(),
                                     &formatWords(),  &regexWords(),   &baseWords(),   &remoteWords(),
                                     &fileWords(),    &systemWords()};

// The handler of name in the family tables; aborts when no family or more
// than one defines it, so a word missing from either list stops every run
// at once instead of turning into a form call.
TTMHandler handlerOf(const char* name) {
    TTMHandler found = nullptr;
    int families = 0;
    for (const WordTable* family : Families)
        for (const WordEntry& word : *family)
            if (std::strcmp(word.name, name) == 0) {
                found = word.handler;
                ++families;
            }
    if (families != 1) {
        std::fprintf(stderr, "builtin word table: \"%s\" has %d handlers\n", name, families);
        std::abort();
    }
    return found;
}

std::vector<std::pair<std::string, TTMHandler>> joinFamilies() {
    std::vector<std::pair<std::string, TTMHandler>> list;
    for (const char* name : EntryOrder) list.emplace_back(name, handlerOf(name));
    std::size_t defined = 0;
    for (const WordTable* family : Families) defined += family->size();
    if (defined != list.size()) {
        std::fprintf(stderr, "builtin word table: %zu words defined, %zu entered\n", defined, list.size());
        std::abort();
    }
    return list;
}

}  // namespace

const std::vector<std::pair<std::string, TTMHandler>>& TTMProcessor::builtinList() {
    static const std::vector<std::pair<std::string, TTMHandler>> list = joinFamilies();
    return list;
}

const BuiltinTable::Map& BuiltinTable::shared() {
    static const Map table(TTMProcessor::builtinList().begin(), TTMProcessor::builtinList().end());
    return table;
}

TTMHandler& BuiltinTable::operator[](const std::string& name) {
    if (!own) own.reset(new Map(shared()));
    return (*own)[name];
}

}  // namespace VekLanguage
