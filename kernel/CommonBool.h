// The two boolean words that template words return and compare flags against.
#pragma once
#include <string>

namespace VekNames {

inline const std::string True = "true";
inline const std::string False = "false";

}  // namespace VekNames
