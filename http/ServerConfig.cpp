// The configuration file and the start-up script.
#include "ServerConfig.h"

#include <cstdio>
#include <exception>

#include "kernel/VEKLog.h"
#include "kernel/VekFile.h"
#include "kernel/VekUtil.h"
#include "language/ttm/TTMProcessor.h"

const char* const BUILTIN_STARTUP_SCRIPT = "#[=;vek_prog;[{PROGRAM}]]#[=.;vek_prog;{PROGRAM}]";
const char* const CONFIG_FILE = "vekserver.cfg";
const char* const STARTUP_FILE = "vekinit.ttm";

namespace {

void addConfigLine(const std::string& line, std::map<std::string, std::string>& map)
{
    size_t equals = line.find('=');
    if (line.empty() || equals == std::string::npos) return;
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    VekKernel::trim(value);
    std::printf("> %s = %s\n", key.c_str(), value.c_str());
    map.erase(key);
    map.emplace(key, value);
}

}  // namespace

void parse_config_text(const std::string& text, std::map<std::string, std::string>& map)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        addConfigLine(text.substr(start, end - start), map);
        start = end + 1;
    }
}

std::map<std::string, std::string>* read_config_file()
{
    if (VekKernel::fileAccess(CONFIG_FILE, 0) != 0) return nullptr;
    auto* map = new std::map<std::string, std::string>();
    std::string text = VekKernel::readFile(CONFIG_FILE);
    std::printf("\n- %s\n", CONFIG_FILE);
    parse_config_text(text, *map);
    return map;
}

bool run_startup_script()
{
    VekLanguage::TTMProcessor processor;
    std::string program = VekKernel::fileAccess(STARTUP_FILE, 0) == 0 ? VekKernel::readFile(STARTUP_FILE)
                                                                        : std::string(BUILTIN_STARTUP_SCRIPT);
    try {
        processor.init(program);
        processor.process();
    } catch (const std::exception& e) {
        // A broken start-up script stops the program: serving pages without
        // the wrapper it should have defined would answer every page wrongly.
        VekKernel::vekLog.error(std::string("Start-up script failed: ") + e.what(), __FILE__, __LINE__);
        return false;
    }
    return true;
}
