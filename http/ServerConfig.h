// The two files in the working directory that shape a run before the first
// request: "vekserver.cfg" (the host map) and "vekinit.ttm" (the start-up
// script, or a built-in one that defines the request wrapper vek_prog).
#pragma once
#include <map>
#include <string>

// Names of the two files, in the working directory.
extern const char* const CONFIG_FILE;
extern const char* const STARTUP_FILE;

// The program run when "vekinit.ttm" is absent: it defines vek_prog so that
// a call of it with one argument gives that argument back.
extern const char* const BUILTIN_STARTUP_SCRIPT;

// Reads "vekserver.cfg" (echoing each entry) into a new map owned by the
// caller; null when the file does not exist.
std::map<std::string, std::string>* read_config_file();
// Parses configuration text: key=value lines, the value trimmed, the last
// line of a key winning. Echoes each entry.
void parse_config_text(const std::string& text, std::map<std::string, std::string>& map);
// Runs "vekinit.ttm" or the built-in program to its end. Returns false when
// the script failed (the error has been printed).
bool run_startup_script();
