// Process-wide variables of the language core: the permission switches set
// once by the command line before any template runs, and the counter that
// "getTime" steps. All start at zero.
#pragma once
#include "VekTypes.h"

namespace VekLanguage {

extern bool allowWriteCommands;   // "-write": file-changing words allowed
extern bool allowSystemCommands;  // "-system": the word "system" allowed
extern bool banBaseWrite;         // "-ban base write"
extern bool banBaseCreate;        // "-ban base create"
extern int64 getTimeCounter;      // 0..9, stepped by "getTime"

}  // namespace VekLanguage
