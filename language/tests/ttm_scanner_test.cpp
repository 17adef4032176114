// Tests of the template scanner: syntax, protected text, call routing and
// the input queue.
#include <gtest/gtest.h>

#include "Io.h"
#include "TTMProcessor.h"
#include "TTMRun.h"

using namespace VekLanguage;

TEST(TTMScanner, ActiveResultIsScannedAgain) {
    EXPECT_EQ(runTemplate("#[.=;y;Y]#[.=;x;[#[y]]]#[out;#[x]]"), "Y");
}
