// Form-pointer words: each exposes one operation of a form named by its
// first argument. A missing form is reported and gives the empty text;
// words with a default give it when the operation fails with LanguageError.
// Words that lengthen a form keep it within the processor's text limit.
#include <climits>
#include <cmath>
#include <cstdio>

#include "CommonBool.h"
#include "TTMProcessor.h"
#include "TTMText.h"
#include "VEKLog.h"

namespace VekLanguage {

namespace {

// The result of operation, or fallback when it fails with LanguageError.
template <typename Operation>
std::string orDefault(Operation operation, const std::string& fallback) {
    try {
        return operation();
    } catch (const LanguageError&) {
        return fallback;
    }
}

// "*v" position: ceil of the real, as a signed 32-bit number; values out of
// that range (or not a number) become INT_MIN, which is past any end.
int pointerPosition(const std::string& text) {
    double position = std::ceil(toDouble(text));
    if (!(position >= INT_MIN && position <= INT_MAX)) return INT_MIN;
    return static_cast<int>(position);
}

std::string chooseFound(const Function* call, bool found) {
    return TTMProcessor::safeArg(call, found ? 3 : 4);
}

}  // namespace

std::string TTMProcessor::replaceAllWord(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    std::string from = getArg2(call);
    std::string to = getArg3(call);
    // A page that replaces in a loop could double the form each time.
    std::size_t after = Form::sizeAfterReplaceIn(form->text, from, to);
    checkTextSize(after);
    if (after > form->text.size()) chargeText(after - form->text.size());
    form->replaceAll(from, to);
    return std::string();
}

std::string TTMProcessor::replaceFirstWord(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    std::string from = safeArg2(call);
    std::string to = safeArg3(call);
    if (form->text.find(from) != std::string::npos) {
        checkTextSize(form->text.size() - from.size() + to.size());
        if (to.size() > from.size()) chargeText(to.size() - from.size());
    }
    form->replaceFirst(from, to);
    return std::string();
}

std::string TTMProcessor::nextCharWord(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return orDefault([form] { return std::string(1, form->nextChar()); }, safeArg2(call));
}

std::string TTMProcessor::nextSegment(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return orDefault([form] { return form->nextUntil(Form::SegmentMark); }, safeArg2(call));
}

std::string TTMProcessor::skipPastWord(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    std::string text = safeArg2(call);
    return orDefault(
        [form, &text] {
            form->skipPast(text);
            return std::string();
        },
        safeArg3(call));
}

std::string TTMProcessor::resetPointerWord(Function* call) {
    if (Form* form = formOrReport(safeArg1(call))) form->resetPointer();
    return std::string();
}

std::string TTMProcessor::nextCharsWord(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    int count = toInt32(safeArg2(call));
    return orDefault([form, count] { return form->nextChars(count); }, safeArg3(call));
}

std::string TTMProcessor::formLength(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return formatWord("%ld", static_cast<long>(form->length()));
}

std::string TTMProcessor::beforePointer(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    return form == nullptr ? std::string() : form->before();
}

std::string TTMProcessor::afterPointer(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    return form == nullptr ? std::string() : form->after();
}

std::string TTMProcessor::getPointerWord(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return formatWord("%ld", static_cast<long>(form->getPointer()));
}

std::string TTMProcessor::setPointerWord(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    // A negative position turns into a huge unsigned one: the end of the text.
    if (form != nullptr) form->setPointer(static_cast<std::size_t>(pointerPosition(safeArg2(call))));
    return std::string();
}

std::string TTMProcessor::betweenWord(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    try {
        return form->between(safeArg2(call), safeArg3(call));
    } catch (const LanguageError& e) {
        VekKernel::vekLog.error(e.what(), "language/ttm/TTMProcessor", 960);
        return safeArg4(call);
    }
}

std::string TTMProcessor::findWord(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return chooseFound(call, form->find(safeArg2(call)));
}

std::string TTMProcessor::findIgnoreCaseWord(Function* call) {
    Form* form = formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return chooseFound(call, form->findIgnoreCase(safeArg2(call)));
}

std::string TTMProcessor::printForm(Function* call) {
    if (Form* form = formOrReport(safeArg1(call))) std::printf("%s", form->rest().c_str());
    return std::string();
}

std::string TTMProcessor::existsForm(Function* call) {
    return findForm(safeArg1(call)) != nullptr ? VekNames::True : VekNames::False;
}

}  // namespace VekLanguage
