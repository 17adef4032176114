// The builtin words by family. Each words_*.cpp file defines its words as
// handlers private to it and lists them in one table of {name, handler};
// TTMBuiltins.cpp joins the tables into the processor's word table. A word
// thus lives in one file: its handler and its row beside it.
#pragma once
#include <vector>

#include "TTMProcessor.h"

namespace VekLanguage {

struct WordEntry {
    const char* name;    // the word as pages write it
    TTMHandler handler;  // its work
};
using WordTable = std::vector<WordEntry>;

const WordTable& controlWords();  // control, level and output (words_control.cpp)
const WordTable& segmentWords();  // "=." (TTMEval.cpp)
const WordTable& formWords();     // form definition, arithmetic, comparison (words_forms.cpp)
const WordTable& pointerWords();  // form pointers (words_pointer.cpp)
const WordTable& formatWords();   // formatting, conversion, form removal (words_format.cpp)
const WordTable& regexWords();    // regular expressions, digests, random, bits (words_regex.cpp)
const WordTable& baseWords();     // bases and packed string lists (words_base.cpp)
const WordTable& remoteWords();   // remote requests (words_remote.cpp)
const WordTable& fileWords();     // file handles and file status (words_file.cpp)
const WordTable& systemWords();   // system and binary files (words_system.cpp)

// Moves a base cursor one level down; a handler that no table lists.
std::string baseGoSubLevel(TTMProcessor& processor, Function* call);

}  // namespace VekLanguage
