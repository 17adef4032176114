// The command line and the help text. Options "-p", "-d", "-c", "-h" and "-k"
// match by their second character alone (so "-port" is the port option);
// every other option matches its whole text. An option that takes an
// argument takes the next word; with no next word it does nothing.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "HttpServer.h"
#include "ServerMain.h"
#include "base/VEKFileBuffers.h"
#include "kernel/VEKLog.h"
#include "kernel/VekFile.h"
#include "kernel/VekUtil.h"
#include "language/LanguageSwitches.h"
#include "language/TextBudget.h"

using VekBase::VEKFileBuffers;

namespace {

const char* const DEFAULT_LOG_PATTERN = "-%Y-%m-%d-%H.log";
constexpr float SMALLEST_DIVIDER = 0.00000001f;

// Cursor over the words of the command line.
struct Words {
    int argc;
    char** argv;
    int index;
    // The next word as the option's argument, or null when there is none.
    const char* take() { return index + 1 < argc ? argv[++index] : nullptr; }
};

void setDocumentRoot(const char* text)
{
    std::strncpy(httpServer.documentRoot, text, sizeof httpServer.documentRoot - 1);
    httpServer.documentRoot[sizeof httpServer.documentRoot - 1] = '\0';
}

void readDivider(const char* text, float* divider, float fallback)
{
    std::sscanf(text, "%f", divider);
    if (*divider < SMALLEST_DIVIDER) *divider = fallback;
}

void readBan(Words& words)
{
    const char* what = words.take();
    if (!what || std::strcmp(what, "base") != 0) return;
    const char* action = words.take();
    if (!action) return;
    if (std::strcmp(action, "create") == 0) VekLanguage::banBaseCreate = true;
    else if (std::strcmp(action, "write") == 0) VekLanguage::banBaseWrite = true;
}

[[noreturn]] void printHelpAndExit(const ServerOptions& options)
{
    std::fputs(help_text(options).c_str(), stdout);
    std::fwrite("\n Default Charset=UTF-8\n", 1, 24, stdout);
    std::printf("\n Build year: %d, month: %d, day: %d \n", 2018, 7, 22);
    std::fflush(stdout);
    std::exit(1);
}

// Options matched by their second character alone; false when none matched.
bool parseShortOption(Words& words, ServerOptions& options)
{
    const char* value;
    switch (words.argv[words.index][1]) {
    case 'p':
        if ((value = words.take())) httpServer.port = static_cast<int>(std::strtol(value, nullptr, 10));
        return true;
    case 'd':
        if ((value = words.take())) setDocumentRoot(value);
        return true;
    case 'c':
        if ((value = words.take())) httpServer.maxClients = static_cast<int>(std::strtol(value, nullptr, 10));
        return true;
    case 'h':
        printHelpAndExit(options);
    case 'k':
        options.killMode = true;
        return true;
    default:
        return false;
    }
}

void parseBufferOption(const std::string& name, const char* value)
{
    if (name == "bi") {
        unsigned long long number;
        if (std::sscanf(value, "%llu", &number) == 1) VEKFileBuffers::bufferMaxItems = static_cast<int64>(number);
    } else if (name == "bid") {
        readDivider(value, &VEKFileBuffers::bufferFlushDivider, 200.0f);
    } else if (name == "bis") {
        long long number;
        if (std::sscanf(value, "%lld", &number) == 1) VEKFileBuffers::bufferMaxItemSize = number;
    } else if (name == "bf") {
        unsigned long long number;
        if (std::sscanf(value, "%llu", &number) == 1) VEKFileBuffers::MaxItems = static_cast<int64>(number);
    } else if (name == "bfd") {
        readDivider(value, &VEKFileBuffers::filesFlushDivider, 100.0f);
    }
}

// "-tb": the text budget of all template runs together, in MiB; a value
// that is not a positive number leaves the default.
void setTextBudget(const char* value)
{
    unsigned long long mebibytes;
    if (std::sscanf(value, "%llu", &mebibytes) == 1 && mebibytes > 0 && mebibytes < (1ull << 40))
        VekLanguage::TextBudget::setLimit(static_cast<size_t>(mebibytes) << 20);
}

// Options that take a value and match their whole text.
bool parseValueOption(const std::string& name, Words& words, ServerOptions& options)
{
    static const char* const names[] = {"s", "l", "lf", "bi", "bid", "bis", "bf", "bfd",
                                        "sort", "sortbase", "sortsave", "sortlen", "sortdiv", "tb"};
    bool known = false;
    for (const char* known_name : names) known = known || name == known_name;
    if (!known) return false;
    const char* value = words.take();
    if (!value) return true;
    SortSettings& sort = options.sort;
    if (name == "s") httpServer.scriptSteps = VekKernel::stringToInt64(value);
    else if (name == "l") VekKernel::vekLog.setPrefix(value);
    else if (name == "lf") VekKernel::vekLog.setDateFormat(value);
    else if (name == "sort") sort.input = value;
    else if (name == "sortbase") sort.base = value;
    else if (name == "sortsave") sort.save = value;
    else if (name == "sortlen") sort.length = static_cast<int>(std::strtol(value, nullptr, 10));
    else if (name == "sortdiv") sort.dividerFile = value;
    else if (name == "tb") setTextBudget(value);
    else parseBufferOption(name, value);
    return true;
}

void parseSwitch(const std::string& name, Words& words, ServerOptions& options)
{
    if (name == "ban") readBan(words);
    else if (name == "write") VekLanguage::allowWriteCommands = true;
    else if (name == "system") VekLanguage::allowSystemCommands = true;
    else if (name == "sortdesc") options.sort.descending = true;
    else if (name == "sortinit") options.sort.init = true;
}

}  // namespace

void parse_command_line(int argc, char** argv, ServerOptions& options)
{
    Words words = {argc, argv, 1};
    for (; words.index < argc; ++words.index) {
        const char* word = argv[words.index];
        if (word[0] != '-' || word[1] < 'b' || word[1] > 'w') continue;
        if (parseShortOption(words, options)) continue;
        std::string name = word + 1;
        if (!parseValueOption(name, words, options)) parseSwitch(name, words, options);
    }
    if (!options.sort.dividerFile.empty() && VekKernel::fileAccess(options.sort.dividerFile, 0) == 0)
        options.sort.dividers = VekKernel::readFile(options.sort.dividerFile);
}

namespace {

// Formats the help into out (size bytes, snprintf rules); its full length.
int formatHelp(char* out, size_t size, const ServerOptions& options)
{
    return std::snprintf(out, size,
                         "\n Help information:\n"
                         "\t'-p'\tset port (default %d);\n"
                         "\t'-d'\tset document directory (default %s);\n"
                         "\t'-c'\tset max clients (default %d);\n"
                         "\t'-s'\tset script steps for client (default %lld);\n"
                         "\t'-h'\tdisplay this help;\n"
                         "\t'-l'\tset log file name (default log is off);\n"
                         "\t'-lf'\tlog time format (default '%s').\n"
                         "\t'-bi'\tmax buffered file I/O items (default %llu)\n"
                         "\t'-bid'\tmax buffered file I/O items divider (default %0.5f)\n"
                         "\t'-bis'\tmax buffered file I/O item size (default %llu)\n"
                         "\t'-bf'\tmax buffered files (default %llu)\n"
                         "\t'-bfd'\tmax buffered files divider (default %0.5f)\n"
                         "\t'-ban base create'\n"
                         "\t'-ban base write'\n"
                         "\n"
                         "\tWARNING: Not recomended to set next options for public VEKServer!\n"
                         "\n"
                         "\t'-%s'\tallows %s commands;\n"
                         "\t'-%s'\tallows file %s commands.\n"
                         "\n"
                         "\tCommand line sort:\n"
                         "\n"
                         "\t'-sort' sort file\n"
                         "\t'-sortbase' sort base (default %s)\n"
                         "\t'-sortsave' save sorted file\n"
                         "\t'-sortlen' sort len (defailt %d)\n"
                         "\t'-sortdiv' sort file with dividers\n"
                         "\t'-sortdesc' sort descendant\n"
                         "\t'-sortinit' sort init\n",
                         httpServer.port, httpServer.documentRoot, httpServer.maxClients,
                         static_cast<long long>(httpServer.scriptSteps), DEFAULT_LOG_PATTERN,
                         static_cast<unsigned long long>(VEKFileBuffers::bufferMaxItems),
                         static_cast<double>(VEKFileBuffers::bufferFlushDivider),
                         static_cast<unsigned long long>(VEKFileBuffers::bufferMaxItemSize),
                         static_cast<unsigned long long>(VEKFileBuffers::MaxItems),
                         static_cast<double>(VEKFileBuffers::filesFlushDivider), "system", "system", "write", "write",
                         options.sort.base.c_str(), options.sort.length);
}

}  // namespace

std::string help_text(const ServerOptions& options)
{
    // Measured first: the document directory and the sort base name are
    // the operator's texts and may be of any length.
    int length = formatHelp(nullptr, 0, options);
    if (length < 0) return std::string();
    std::string text(static_cast<size_t>(length), '\0');
    formatHelp(&text[0], text.size() + 1, options);
    return text;
}
