// Text functions of the server: URL decoding, prefix matching, the Basic
// check, parameter forms, the dollar filter, the configuration text and the
// command line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/VEKFileBuffers.h"
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "http/HttpTemplate.h"
#include "http/ServerConfig.h"
#include "http/ServerMain.h"
#include "language/LanguageSwitches.h"

namespace {

TEST(HttpUrlDecode, CopyAndInPlace)
{
    EXPECT_EQ(url_decode("a%20b+c%2fd%2F"), "a b c/d/");
    EXPECT_EQ(url_decode("x%4"), "x4");
    EXPECT_EQ(url_decode("100%"), "100");
    EXPECT_EQ(url_decode("%zz"), "%zz");
    EXPECT_EQ(url_decode(std::string("a%00b", 5)), std::string("a\0b", 3));
    char text[] = "a%41+b%4";
    url_decode_in_place(text);
    EXPECT_STREQ(text, "aA b");
}

TEST(HttpMatchPrefix, AdvancesOnlyOnAMatch)
{
    const char* text = "content-length: 5";
    EXPECT_EQ(match_prefix_nocase(&text, "Content-Length: "), 16);
    EXPECT_STREQ(text, "5");
    EXPECT_EQ(match_prefix_nocase(&text, "6"), 0);
    EXPECT_STREQ(text, "5");
    EXPECT_EQ(match_prefix_nocase(&text, ""), 0);
}

TEST(HttpBasicAuth, ChecksTheFilledTable)
{
    HttpAuthEntry table[] = {{"private", "user", "pass", nullptr, {0}},
                             {"", "", "", nullptr, {0}},
                             {nullptr, nullptr, nullptr, nullptr, {0}}};
    // base64("user:pass") = dXNlcjpwYXNz
    EXPECT_EQ(http_check_basic_auth(table, "private/x", "Basic dXNlcjpwYXNz\r\nHost: y"), HTTP_AUTH_OK);
    EXPECT_STREQ(table[0].credential, "Basic dXNlcjpwYXNz\r\n");
    EXPECT_EQ(http_check_basic_auth(table, "private/x", nullptr), HTTP_AUTH_REQUIRED);
    EXPECT_EQ(http_check_basic_auth(table, "private/x", "Basic d3Jvbmc6d3Jvbmc=\r\n"), HTTP_AUTH_FAILED);
    EXPECT_EQ(http_check_basic_auth(table, "private/x", "Basic dXNlcjpwYXNzX\r\n"), HTTP_AUTH_FAILED);
    EXPECT_EQ(http_check_basic_auth(table, "public", nullptr), HTTP_AUTH_NONE);
    char credential[64];
    EXPECT_EQ(http_make_basic_credential(std::string(40, 'u').c_str(), "p", credential), -1);
}

TEST(HttpInjectParams, NamesCountedAndValuesDecoded)
{
    std::vector<HttpInjectedForm> forms = http_inject_params("a=1&b=2&a=x%20y+z&&c&d=%5D");
    std::vector<HttpInjectedForm> expected = {{"HTTP_PARAM_a(0)", "1"},     {"HTTP_PARAM_b(0)", "2"},
                                              {"HTTP_PARAM_a(1)", "x y z"}, {"HTTP_PARAM_c(0)", ""},
                                              {"HTTP_PARAM_d(0)", "]"}};
    EXPECT_EQ(forms, expected);
    EXPECT_TRUE(http_inject_params("").empty());
}

// Replaces $$name$$ by the name in upper case, or refuses "keep".
int upperCaseMarks(HttpDataSourceMark* mark)
{
    if (std::strcmp(mark->name, "keep") == 0) return -1;
    int length = static_cast<int>(std::strlen(mark->name));
    for (int i = 0; i < length; ++i) mark->destination[i] = static_cast<char>(std::toupper(mark->name[i]));
    return length;
}

std::string filter(const std::string& input, int* consumed)
{
    std::vector<char> block(input.begin(), input.end());
    block.push_back('\0');
    int length = http_dollar_filter(upperCaseMarks, block.data(), static_cast<int>(input.size()), consumed);
    return std::string(block.data(), static_cast<size_t>(length));
}

TEST(HttpDollarFilter, ReplacesKeepsAndStopsAtACutMark)
{
    int consumed = 0;
    EXPECT_EQ(filter("a $$x$$ b $$keep$$ c $$yz$$", &consumed), "a X b $$keep$$ c YZ");
    EXPECT_EQ(consumed, 27);
    EXPECT_EQ(filter("text $$cut", &consumed), "text ");
    EXPECT_EQ(consumed, 5);
    EXPECT_EQ(filter("no marks", &consumed), "no marks");
    EXPECT_EQ(consumed, 8);
}

TEST(ServerConfig, KeyValueLines)
{
    std::map<std::string, std::string> map;
    testing::internal::CaptureStdout();
    parse_config_text("a=1\nb = 2 \na=3\r\n\nno equals\n=empty key\nblank=   \nlast=x", map);
    std::string echo = testing::internal::GetCapturedStdout();
    EXPECT_EQ(echo, "> a = 1\n> b  = 2\n> a = 3\n>  = empty key\n> blank = \n> last = x\n");
    std::map<std::string, std::string> expected = {
        {"a", "3"}, {"b ", "2"}, {"", "empty key"}, {"blank", ""}, {"last", "x"}};
    EXPECT_EQ(map, expected);
}

class ServerCommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        http_server_init(&httpServer);
        httpServer.port = 3333;
    }
    void parse(std::vector<const char*> words)
    {
        words.insert(words.begin(), "vekserver");
        parse_command_line(static_cast<int>(words.size()), const_cast<char**>(words.data()), options);
    }
    ServerOptions options;
};

// Options are told apart by their second character; a value is always the
// next word (never attached, none after a trailing option); the document
// root is cut to its buffer.
TEST_F(ServerCommandLine, PortRootAndClientOptions)
{
    const std::string longRoot(300, 'r');
    struct Case {
        std::vector<const char*> words;
        int port;
        std::string root;
    } cases[] = {
        {{"-p3333", "-dwww"}, 0, ""},
        {{"-p"}, 3333, ""},
        {{"-d", longRoot.c_str()}, 3333, longRoot.substr(0, 255)},
        {{"-port", "81", "-dir", "docs", "-cx", "7", "-kill", "stray", "-s", "12"}, 81, "docs"},
    };
    for (const Case& c : cases) {
        SetUp();
        parse(c.words);
        EXPECT_EQ(httpServer.port, c.port) << c.words[0];
        EXPECT_EQ(httpServer.documentRoot, c.root) << c.words[0];
    }
    EXPECT_EQ(httpServer.maxClients, 7);  // of the last case
    EXPECT_TRUE(options.killMode);
    EXPECT_EQ(httpServer.scriptSteps, 12);
}

TEST_F(ServerCommandLine, BanConsumesItsWords)
{
    parse({"-ban", "base", "delete", "-ban", "xyz", "-write", "-sortlen", "4", "-sortdesc", "-sortbase", "b.vek"});
    EXPECT_TRUE(VekLanguage::allowWriteCommands);
    EXPECT_FALSE(VekLanguage::banBaseCreate);
    EXPECT_FALSE(VekLanguage::banBaseWrite);
    EXPECT_EQ(options.sort.length, 4);
    EXPECT_TRUE(options.sort.descending);
    EXPECT_EQ(options.sort.base, "b.vek");
    parse({"-ban", "base", "write"});
    EXPECT_TRUE(VekLanguage::banBaseWrite);
}

TEST_F(ServerCommandLine, BufferSettingsAndTheirFallbacks)
{
    using VekBase::VEKFileBuffers;
    const int64 items = VEKFileBuffers::bufferMaxItems, itemSize = VEKFileBuffers::bufferMaxItemSize;
    const int64 files = VEKFileBuffers::MaxItems;
    const float itemsDivider = VEKFileBuffers::bufferFlushDivider, filesDivider = VEKFileBuffers::filesFlushDivider;
    parse({"-bi", "77", "-bis", "-3", "-bf", "9", "-bid", "5.5", "-bfd", "0.25"});
    EXPECT_EQ(VEKFileBuffers::bufferMaxItems, 77);
    EXPECT_EQ(VEKFileBuffers::bufferMaxItemSize, -3);
    EXPECT_EQ(VEKFileBuffers::MaxItems, 9);
    EXPECT_FLOAT_EQ(VEKFileBuffers::bufferFlushDivider, 5.5f);
    EXPECT_FLOAT_EQ(VEKFileBuffers::filesFlushDivider, 0.25f);
    parse({"-bi", "many", "-bf", "", "-bid", "x", "-bfd", "y"});  // not numbers: unchanged
    EXPECT_EQ(VEKFileBuffers::bufferMaxItems, 77);
    EXPECT_EQ(VEKFileBuffers::MaxItems, 9);
    EXPECT_FLOAT_EQ(VEKFileBuffers::bufferFlushDivider, 5.5f);
    EXPECT_FLOAT_EQ(VEKFileBuffers::filesFlushDivider, 0.25f);
    parse({"-bid", "0", "-bfd", "-1"});  // too small: the built-in dividers
    EXPECT_FLOAT_EQ(VEKFileBuffers::bufferFlushDivider, 200.0f);
    EXPECT_FLOAT_EQ(VEKFileBuffers::filesFlushDivider, 100.0f);
    std::string help = help_text(options);
    EXPECT_NE(help.find("(default 200.00000)\n\t'-bis'\tmax buffered file I/O item size (default 18446744073709551613)"),
              std::string::npos);
    VEKFileBuffers::bufferMaxItems = items;
    VEKFileBuffers::bufferMaxItemSize = itemSize;
    VEKFileBuffers::MaxItems = files;
    VEKFileBuffers::bufferFlushDivider = itemsDivider;
    VEKFileBuffers::filesFlushDivider = filesDivider;
}

// The whole help text with the current values is checked end to end
// (shell_e2e.py); here, texts longer than any buffer.
TEST_F(ServerCommandLine, HelpHoldsLongOperatorTexts)
{
    std::string base(6000, 'b');
    parse({"-sortbase", base.c_str(), "-sortlen", "3"});
    std::string help = help_text(options);
    EXPECT_NE(help.find("\t'-sortbase' sort base (default " + base + ")\n"), std::string::npos);
    std::string tail = "\t'-sortlen' sort len (defailt 3)\n\t'-sortdiv' sort file with dividers\n"
                       "\t'-sortdesc' sort descendant\n\t'-sortinit' sort init\n";
    ASSERT_GT(help.size(), tail.size());
    EXPECT_EQ(help.substr(help.size() - tail.size()), tail);
}

}  // namespace
