// Storage of the language core's process-wide switches and counter.
#include "LanguageSwitches.h"

namespace VekLanguage {

bool allowWriteCommands = false;
bool allowSystemCommands = false;
bool banBaseWrite = false;
bool banBaseCreate = false;
int64 getTimeCounter = 0;

}  // namespace VekLanguage
