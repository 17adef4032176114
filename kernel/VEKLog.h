// The process-wide log. Three files per hour: prefix + local time formatted
// with the file-name pattern + a suffix (none for request lines, ".err" for
// error lines, ".sys" for system lines). Every line opens its file in append
// mode, writes and closes it again, so a rotated or removed file is simply
// created anew. Logging to files is off while the prefix is empty.
#pragma once
#include <ctime>
#include <string>

namespace VekKernel {

class VEKLog {
public:
    // Longest prefix and pattern kept; longer texts are cut to these.
    static constexpr std::size_t MaxPrefix = 1024;
    static constexpr std::size_t MaxDateFormat = 1023;
    // Longest message part of an error line.
    static constexpr std::size_t MaxErrorMessage = 512;

    // "ER:<message>, <sourceFile>, <line>" to the ".err" file and stdout.
    void error(const std::string& message, const char* sourceFile, int line);
    // The message as one line of the ".sys" file.
    void system(const std::string& message);
    // Appends message and a newline to this hour's file with the suffix;
    // silent when logging is off or the file cannot be written.
    void write(const std::string& message, const std::string& suffix);
    // A non-empty prefix turns logging on; an empty one turns it off.
    void setPrefix(const std::string& prefix);
    // strftime pattern of the file name after the prefix; empty restores
    // the default "-%Y-%m-%d-%H.log".
    void setDateFormat(const std::string& pattern);

    // Name of the file that a line written at time `when` goes to.
    std::string fileName(const std::string& suffix, std::time_t when) const;
    bool enabled() const { return prefix_[0] != '\0'; }
    // The path prefix of every log file (empty while logging is off).
    const char* prefix() const { return prefix_; }

private:
    // Plain character fields (not std::string) keep the global instance
    // constant-initialised, so code running during static initialisation
    // of other units may already log through it.
    char prefix_[MaxPrefix + 1] = {};          // path prefix; empty = off
    char dateFormat_[MaxDateFormat + 1] = {};  // strftime pattern; empty = default
};

extern VEKLog vekLog;

}  // namespace VekKernel
