// Helpers of the template language tests: run a page on a processor the
// test can inspect, and capture what a piece of code prints.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "TTMProcessor.h"

namespace VekLanguageTest {

// What fn printed to standard output.
inline std::string printedBy(const std::function<void()>& fn) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// What fn printed to standard error.
inline std::string errorsOf(const std::function<void()>& fn) {
    std::fflush(stderr);
    testing::internal::CaptureStderr();
    fn();
    std::fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

// Starts a processor as the server does and gives it text.
inline void start(VekLanguage::TTMProcessor& processor, const std::string& text) {
    processor.init(std::string());
    processor.setInput(text);
}

// Runs text to its end on processor; returns the output block as text
// (with the final NUL that "out" stores).
inline std::string runOn(VekLanguage::TTMProcessor& processor, const std::string& text) {
    start(processor, text);
    while (!processor.run(0)) {
    }
    return processor.outputText();
}

// The output block as text, without the final NUL that "out" stores.
inline std::string outputOf(const VekLanguage::TTMProcessor& processor) {
    std::string output = processor.outputText();
    if (!output.empty() && output.back() == '\0') output.pop_back();
    return output;
}

}  // namespace VekLanguageTest
