// Reserved names of a base's tree and the two permission messages of the cursor.
// Every component uses these names instead of repeating the texts.
#pragma once
#include <string>

namespace VekNames {

inline const std::string DSQP = "DSQP";            // system key under the root, 8-byte value
inline const std::string Home = "VEK";             // home element under the root
inline const std::string VEKPoints = "VEKPoints";  // element holding saved points
inline const std::string Pointers = "Pointers";    // saved-point record names
inline const std::string Name = "Name";            // saved-point record field
inline const std::string Count = "Count";          // saved-point record field
inline const std::string State = "State";          // saved-point record field
inline const std::string Path = "Path";            // saved-point record field
inline const std::string index = "index";          // root of the word index
inline const std::string pointer = "pointer";      // word index: id -> words
inline const std::string count = "count";          // word index: counter entry
inline const std::string path = "path";            // word index: path entry
inline const std::string word = "word";            // word index: word -> ids
inline const std::string ReadDenied = "Error: VEK Base read denied.";
inline const std::string WriteDenied = "Error: VEK Base write denied.";

}  // namespace VekNames
