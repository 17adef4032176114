// Path normalisation: joining, slash and dot rules, decoding, and the
// refusals that keep a request inside its directory.
#include <gtest/gtest.h>

#include <string>

#include "http/HttpResponse.h"

namespace {

struct Normalized {
    int length;
    std::string text;
    std::string extension;
    int trailingSlash;
};

Normalized normalize(const char* root, const char* source)
{
    PathJob job = {root, source, {0}, nullptr, 0};
    int length = http_normalize_path(&job);
    return {length, job.text, job.extension ? job.extension : "", job.trailingSlash};
}

TEST(HttpNormalizePath, JoinsRootAndPath)
{
    EXPECT_EQ(normalize("www", "a/b.txt").text, "www/a/b.txt");
    EXPECT_EQ(normalize("www/", "a.txt").text, "www/a.txt");
    EXPECT_EQ(normalize("www", "a.txt").length, 9);
    EXPECT_EQ(normalize("www", "").text, "www");
    EXPECT_EQ(normalize("www", "").trailingSlash, 1);
}

TEST(HttpNormalizePath, ARootThatClimbsIsKept)
{
    EXPECT_EQ(normalize("../site", "a.txt").text, "../site/a.txt");
    EXPECT_EQ(normalize("/srv/../www/", "sub/../b.txt").text, "/srv/../www/sub/b.txt");
    EXPECT_EQ(normalize("../site", "%2e%2e/x").text, "../site/x");
}

TEST(HttpNormalizePath, SlashAndDotRules)
{
    EXPECT_EQ(normalize("www", "a//b///c").text, "www/a/b/c");
    EXPECT_EQ(normalize("www", "a/../b.txt").text, "www/a/b.txt");
    EXPECT_EQ(normalize("www", "../../etc/passwd").text, "www/etc/passwd");
    EXPECT_EQ(normalize("www", "a..b.txt").text, "www/a.b.txt");
    Normalized dir = normalize("www", "sub/");
    EXPECT_EQ(dir.text, "www/sub");
    EXPECT_EQ(dir.trailingSlash, 1);
}

TEST(HttpNormalizePath, DecodesBeforeTheRules)
{
    EXPECT_EQ(normalize("www", "a%20b+c.txt").text, "www/a b c.txt");
    EXPECT_EQ(normalize("www", "%2e%2e%2f%2E%2E%2Fetc/passwd").text, "www/etc/passwd");
    EXPECT_EQ(normalize("www", "a.txt?x=../../y").text, "www/a.txt");
    EXPECT_EQ(normalize("www", "a%3fb").text, "www/a?b");
    EXPECT_EQ(normalize("www", "100%").text, "www/100%");
}

TEST(HttpNormalizePath, WorkingDirectoryPaths)
{
    EXPECT_EQ(normalize("www", "~file.txt").text, "file.txt");
    EXPECT_EQ(normalize("www", "~../x").text, "x");
    EXPECT_EQ(normalize("www", "~/etc/passwd").length, -1);
    EXPECT_EQ(normalize("www", "~%2fetc/passwd").length, -1);
    EXPECT_EQ(normalize("www", "%7Efile.txt").text, "www/~file.txt");
    EXPECT_EQ(normalize("www", "~%7E/x").text, "~/x");
}

TEST(HttpNormalizePath, RefusesWhatCannotBeServedSafely)
{
    EXPECT_EQ(normalize("www", "a.ttm%00.txt").length, -1);
    EXPECT_EQ(normalize("www", std::string(300, 'a').c_str()).length, -1);
    EXPECT_EQ(normalize("www", std::string(251, 'a').c_str()).length, 255);
}

TEST(HttpNormalizePath, ExtensionOfTheLastSegment)
{
    EXPECT_EQ(normalize("www", "x.tar.GZ").extension, "GZ");
    EXPECT_EQ(normalize("www", "v1.2/readme").extension, "");
    EXPECT_EQ(normalize("www.d", "readme").extension, "");
}

TEST(HttpNormalizePath, TemplateFilesAreRecognisedInAnyCase)
{
    EXPECT_TRUE(http_is_template_file("www/a.ttm"));
    EXPECT_TRUE(http_is_template_file("www/A.TTM"));
    EXPECT_FALSE(http_is_template_file("www/a.ttm.txt"));
    EXPECT_FALSE(http_is_template_file("ttm"));
}

}  // namespace
