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

// Root and path joined; runs of '/' made one; "../" after a '/' dropped (a
// root that climbs is kept as given); "%XX" and '+' decoded before the
// rules; the query cut off; a leading '~' names the working directory.
TEST(HttpNormalizePath, JoinsDecodesAndAppliesTheRules)
{
    const char* const cases[][3] = {
        {"www", "a/b.txt", "www/a/b.txt"},
        {"www/", "a.txt", "www/a.txt"},
        {"www", "", "www"},
        {"www", "sub/", "www/sub"},
        {"../site", "a.txt", "../site/a.txt"},
        {"/srv/../www/", "sub/../b.txt", "/srv/../www/sub/b.txt"},
        {"../site", "%2e%2e/x", "../site/x"},
        {"www", "a//b///c", "www/a/b/c"},
        {"www", "a/../b.txt", "www/a/b.txt"},
        {"www", "../../etc/passwd", "www/etc/passwd"},
        {"www", "a..b.txt", "www/a.b.txt"},
        {"www", "a%20b+c.txt", "www/a b c.txt"},
        {"www", "%2e%2e%2f%2E%2E%2Fetc/passwd", "www/etc/passwd"},
        {"www", "a.txt?x=../../y", "www/a.txt"},
        {"www", "a%3fb", "www/a?b"},
        {"www", "100%", "www/100%"},
        {"www", "~file.txt", "file.txt"},
        {"www", "~../x", "x"},
        {"www", "%7Efile.txt", "www/~file.txt"},
        {"www", "~%7E/x", "~/x"},
    };
    for (const auto& c : cases) EXPECT_EQ(normalize(c[0], c[1]).text, c[2]) << c[0] << " + " << c[1];
    EXPECT_EQ(normalize("www", "a.txt").length, 9);
    EXPECT_EQ(normalize("www", "").trailingSlash, 1);
    EXPECT_EQ(normalize("www", "sub/").trailingSlash, 1);
}

TEST(HttpNormalizePath, RefusesWhatCannotBeServedSafely)
{
    EXPECT_EQ(normalize("www", "~/etc/passwd").length, -1);
    EXPECT_EQ(normalize("www", "~%2fetc/passwd").length, -1);
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
