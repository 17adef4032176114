// Form-pointer words: each exposes one operation of a form named by its
// first argument. A missing form is reported and gives the empty text;
// words with a default give it when the operation fails with LanguageError.
// Words that lengthen a form keep it within the processor's text limit.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "CommonBool.h"
#include "TTMProcessor.h"
#include "Words.h"
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
    return safeArg(call, found ? 3 : 4);
}

std::string replaceAllWord(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    std::string from = getArg2(call);
    std::string to = getArg3(call);
    // A page that replaces in a loop could double the form each time.
    std::size_t after = Form::sizeAfterReplaceIn(form->text, from, to);
    p.checkTextSize(after);
    if (after > form->text.size()) p.chargeText(after - form->text.size());
    form->replaceAll(from, to);
    return std::string();
}

std::string replaceFirstWord(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    std::string from = safeArg2(call);
    std::string to = safeArg3(call);
    if (form->text.find(from) != std::string::npos) {
        p.checkTextSize(form->text.size() - from.size() + to.size());
        if (to.size() > from.size()) p.chargeText(to.size() - from.size());
    }
    form->replaceFirst(from, to);
    return std::string();
}

std::string nextCharWord(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return orDefault([form] { return std::string(1, form->nextChar()); }, safeArg2(call));
}

std::string nextSegment(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return orDefault([form] { return form->nextUntil(Form::SegmentMark); }, safeArg2(call));
}

std::string skipPastWord(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    std::string text = safeArg2(call);
    return orDefault(
        [form, &text] {
            form->skipPast(text);
            return std::string();
        },
        safeArg3(call));
}

std::string resetPointerWord(TTMProcessor& p, Function* call) {
    if (Form* form = p.formOrReport(safeArg1(call))) form->resetPointer();
    return std::string();
}

std::string nextCharsWord(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    int count = toInt32(safeArg2(call));
    return orDefault([form, count] { return form->nextChars(count); }, safeArg3(call));
}

std::string formLength(TTMProcessor& p, Function* call) {
    const Form* form = p.readOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return formatWord("%ld", static_cast<long>(form->length()));
}

std::string beforePointer(TTMProcessor& p, Function* call) {
    const Form* form = p.readOrReport(safeArg1(call));
    return form == nullptr ? std::string() : form->before();
}

std::string afterPointer(TTMProcessor& p, Function* call) {
    const Form* form = p.readOrReport(safeArg1(call));
    return form == nullptr ? std::string() : form->after();
}

std::string getPointerWord(TTMProcessor& p, Function* call) {
    const Form* form = p.readOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return formatWord("%ld", static_cast<long>(form->getPointer()));
}

std::string setPointerWord(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    // A negative position turns into a huge unsigned one: the end of the text.
    if (form != nullptr) form->setPointer(static_cast<std::size_t>(pointerPosition(safeArg2(call))));
    return std::string();
}

std::string betweenWord(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    try {
        return form->between(safeArg2(call), safeArg3(call));
    } catch (const LanguageError& e) {
        VekKernel::vekLog.error(e.what(), "language/ttm/TTMProcessor", 960);
        return safeArg4(call);
    }
}

std::string findWord(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return chooseFound(call, form->find(safeArg2(call)));
}

std::string findIgnoreCaseWord(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    return chooseFound(call, form->findIgnoreCase(safeArg2(call)));
}

std::string printForm(TTMProcessor& p, Function* call) {
    if (const Form* form = p.readOrReport(safeArg1(call))) {
        const std::string text = form->rest();
        p.printPageText(text.c_str(), std::strlen(text.c_str()));  // up to its first NUL
    }
    return std::string();
}

std::string existsForm(TTMProcessor& p, Function* call) {
    return p.readForm(safeArg1(call)) != nullptr ? VekNames::True : VekNames::False;
}

}  // namespace

// The words of this file, for the processor's word table.
const WordTable& pointerWords() {
    static const WordTable table = {
        {"is", replaceAllWord},
        {"^.", nextCharWord},
        {"cs", nextSegment},
        {"x*v", skipPastWord},
        {"*0", resetPointerWord},
        {"^..", nextCharsWord},
        {"(..)", formLength},
        {"^(..*", beforePointer},
        {"^*..)", afterPointer},
        {"*^", getPointerWord},
        {"*v", setPointerWord},
        {"trf", replaceFirstWord},
        {"ts", betweenWord},
        {"tt", findWord},
        {"ttc", findIgnoreCaseWord},
        {"pf", printForm},
        {"existsf", existsForm},
    };
    return table;
}

}  // namespace VekLanguage
