// For the fuzz targets that run templates: the words that reach other
// servers, bases or the shell are pointed at a harmless word (".^", the
// level), so that no input opens connections or base files. Their parsers
// have fuzz targets of their own.
#pragma once
#include "language/ttm/TTMProcessor.h"

namespace VekFuzz {

inline bool reachesOutside(const std::string& word)
{
    return word == "system" || (word.size() > 1 && word[0] == '~') || word == "RemoveFromIndex" ||
           word == "AddToIndex" || word == "SearchInIndex";
}

// Call after init, which builds the word table.
inline void disarmOutsideWords(VekLanguage::TTMProcessor& processor)
{
    const auto& words = VekLanguage::TTMProcessor::builtinList();
    VekLanguage::TTMHandler harmless = nullptr;
    for (const auto& word : words)
        if (word.first == ".^") harmless = word.second;
    for (const auto& word : words)
        if (reachesOutside(word.first)) (*processor.builtins)[word.first] = harmless;
}

}  // namespace VekFuzz
