// The Forth extension word table and the input reader of its handlers.
#include "ForthExtensions.h"

#include <algorithm>

namespace VekLanguage {

ForthInputs::ForthInputs(ForthProcessor& processor, const char* wordName, int inputCells, int results)
    : forth(processor), name(wordName), cells(inputCells) {
    forth.needCells(cells, name);
    forth.roomCells(std::max(0, results - cells), name);
}

void ForthInputs::consume() {
    for (int i = 0; i < cells; ++i) forth.pop();
}

using P = ForthProcessor;

const KernelWord forthExtensionWords[] = {
    // bases: registry and sessions
    {"~~+", &P::extBaseOpen},
    {"~~-", &P::extBaseRemove},
    {"~~vx", &P::extBaseClose},
    {"~~v", &P::extBaseOpenWrite},
    {"~~^", &P::extBaseOpenRead},
    {"~~.", &P::extBaseCloseProcess},
    {"~~x", &P::extBaseDelete},
    // bases: symbols
    {"~~+.", &P::extPutSymbol},
    {"~~/.", &P::extReplaceSymbol},
    {"~~>.", &P::extFindSymbol},
    {"~~>?", &P::extSearchSymbol},
    {"~~>(?", &P::extFindSymbolOrNext},
    {"~~>)?", &P::extFindSymbolOrPrev},
    {"~~?.", &P::extExistsSymbol},
    {"~~-.", &P::extDeleteSymbol},
    {"~~^.", &P::extReadString},
    {"~~(.)", &P::extDataLength},
    {"~~^n", &P::extChildCount},
    {"~~^N", &P::extSymbolCount},
    // Lookup ignores case, so "~~^n" finds the newer "~~^N": the child
    // count is reachable under this second name.
    {"~~^c", &P::extChildCount},
    // bases: moving
    {"~~>v", &P::extGoChild},
    {"~~>^", &P::extGoParent},
    {"~~>(.", &P::extGoFirst},
    {"~~>).", &P::extGoLast},
    {"~~>+.", &P::extGoNextKey},
    {"~~>-.", &P::extGoPrevKey},
    {"~~>-@", &P::extGoPr},
    {"~~>+@", &P::extGoNx},
    {"~~>^@", &P::extGoUp},
    {"~~>v@", &P::extGoDn},
    // bases: locks
    {"~~#v", &P::extLockWrite},
    {"~~$v", &P::extUnlockWrite},
    {"~~#^", &P::extLockRead},
    {"~~$^", &P::extUnlockRead},
    // bases: paths, index, users
    {"~~*...)?", &P::extGetStringList},
    {"~~>...)?", &P::extFindStringList},
    {"~~^...)?", &P::extReadStringAtList},
    {"~~?...", &P::extExistsStringList},
    {"~~+...", &P::extSetStringList},
    {"~~>./.", &P::extMoveStringList},
    {"AddToIndex", &P::extAddToIndex},
    {"SearchInIndex", &P::extSearchInIndex},
    {"RemoveFromIndex", &P::extRemoveFromIndex},
    {"~~u+", &P::extAddUser},
    {"~~u/", &P::extChangePassword},
    {"~~u-", &P::extDeleteUser},
    {"~~///...", &P::extPackList},
    {"~~...///", &P::extUnpackList},
    // connections
    {"~+", &P::extConnectionAcquire},
    {"~-", &P::extConnectionRelease},
    {"~>", &P::extConnectionRequest},
    // digests, base64, files and the output block
    {"MD5", &P::extMd5},
    {"SHA1", &P::extSha1},
    {"SHA256", &P::extSha256},
    {"base64LoadBinary", &P::extBase64LoadBinary},
    {"base64SaveBinary", &P::extBase64SaveBinary},
    {"outBase64Decode", &P::extOutBase64Decode},
    {"outLoadBinary", &P::extOutLoadBinary},
    {"getFileTime", &P::extGetFileTime},
    {"getFileSize", &P::extGetFileSize},
    // time, ids, patterns, forms, numbers
    {"getTime", &P::extGetTime},
    {"BuffersGetState", &P::extBuffersGetState},
    {"^UID", &P::extNewUid},
    {"RegEx", &P::extRegEx},
    {"fmtl", &P::extFmtl},
    {"refmtl", &P::extRefmtl},
    {"fmtd", &P::extFmtd},
    {"fmtTime", &P::extFmtTime},
    {"rand", &P::extRand},
    {"append", &P::extAppend},
    {"lShiftBits", &P::extLShiftBits},
    {"rShiftBits", &P::extRShiftBits},
    {"countBits", &P::extCountBits},
    {nullptr, nullptr},
};

}  // namespace VekLanguage
