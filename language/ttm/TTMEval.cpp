// Evaluation of a completed call: builtin dispatch, user form calls with
// their segment marks, the word "=." that makes the marks, form lookup and
// the argument accessors that every word uses.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "TTMProcessor.h"
#include "Words.h"
#include "VEKLog.h"

namespace VekLanguage {

namespace {

const char* const SourceName = "language/ttm/TTMProcessor";
// Highest parameter number a two-byte segment mark can carry.
constexpr std::size_t MaxParameter = 255;

std::string segmentMark(std::size_t n) {
    return std::string{Form::SegmentMark, static_cast<char>(n)};
}

bool warnsUnusedParameters(const std::string& name) {
    return name != "CLASSMETHOD" && name != "CLASSOBJECTMETHOD";
}

// Removes the marks of parameters the call did not give: from `first` on,
// up to the first number whose mark the text does not hold.
void dropMissingParameters(std::string& text, std::size_t first) {
    for (std::size_t n = first; n <= MaxParameter; ++n)
        if (!Form::replaceIn(text, segmentMark(n), std::string())) break;
}

}  // namespace

Form* TTMProcessor::findForm(const std::string& name) { return findFormToChange(name); }

std::string TTMProcessor::eval(Function* call) {
    static const std::string NoName;
    try {
        if (builtins != nullptr && !call->args.empty()) {
            auto it = builtins->find(call->args.front());
            if (it != builtins->end()) return it->second(*this, call);
        }
        return callForm(call);
    } catch (const std::exception& e) {
        // Read the name again: the word may have changed the argument list.
        const std::string& name = call->args.empty() ? NoName : call->args.front();
        throw TTMError(std::string("eval: failed - ") + e.what() + ", func_name:" + name +
                       ", functionExpression:" + call->lastArg);
    } catch (...) {
        VekKernel::vekLog.error(std::string(), SourceName, 3147);
        return std::string();
    }
}

void TTMProcessor::reportMissingForm(const std::string& name) {
    // The name is page text: printed, it counts against the run's limit.
    printPageText("\nError: Unable to find form '" + std::string(name.c_str()) + "' !");
}

Form* TTMProcessor::formOrReport(const std::string& name) {
    Form* form = findForm(name);
    if (form == nullptr) reportMissingForm(name);
    return form;
}

const Form* TTMProcessor::readOrReport(const std::string& name) {
    const Form* form = readForm(name);
    if (form == nullptr) reportMissingForm(name);
    return form;
}

bool TTMProcessor::replaceParameter(std::string& text, std::size_t n, const std::string& argument) const {
    const std::string mark = segmentMark(n);
    // Many marks of one parameter times a long argument could ask for far
    // more memory than a page may hold: refuse before building the text.
    checkTextSize(Form::sizeAfterReplaceIn(text, mark, argument));
    return Form::replaceIn(text, mark, argument);
}

std::string TTMProcessor::callForm(Function* call) {
    std::string name = safeArg0(call);
    const Form* form = readOrReport(name);
    if (form == nullptr) return std::string();
    std::string text = form->rest();
    const std::size_t last = call->args.empty() ? 0 : call->count() - 1;
    const bool hasMarks = text.find(Form::SegmentMark) != std::string::npos;
    for (std::size_t n = 1; n <= last; ++n) {
        // Parameters above 255 have no mark of their own, so they are unused.
        bool used = hasMarks && n <= MaxParameter && replaceParameter(text, n, call->args[n]);
        if (!used && warnsUnusedParameters(name))
            printPageText("\nWarning: Parameter {" + std::to_string(n) + "} not used in form '" +
                          std::string(name.c_str()) + "', arg = " + std::string(call->args[n].c_str()) + "!");
    }
    if (hasMarks) dropMissingParameters(text, last + 1);
    return text;
}

namespace {

// "=.": argument 1 names a form, arguments 2 and on become its parameters.
std::string segmentForm(TTMProcessor& p, Function* call) {
    Form* form = p.formOrReport(safeArg1(call));
    if (form == nullptr) return std::string();
    std::string text = form->rest();
    // Argument i becomes parameter i - 1; only 255 parameters have marks.
    for (std::size_t i = 2; i < call->count() && i - 1 <= MaxParameter; ++i)
        Form::replaceIn(text, call->args[i], segmentMark(i - 1));  // an empty argument is skipped
    // Marks are longer than a one-byte argument, so the form can grow: the
    // growth counts as any longer text does.
    p.checkTextSize(text.size());
    if (text.size() > form->text.size()) p.chargeText(text.size() - form->text.size());
    form->setText(text);
    return std::string();
}

}  // namespace

const WordTable& segmentWords() {
    static const WordTable table = {{"=.", segmentForm}};
    return table;
}

std::string getArg(const ArgList& args, int i) {
    if (i < 0 || static_cast<std::size_t>(i) >= args.size()) {
        char message[64];
        std::snprintf(message, sizeof message, "Index (%ld) out of bounds!", static_cast<long>(i));
        throw std::runtime_error(message);
    }
    return args[static_cast<std::size_t>(i)];
}

std::string safeArg(const ArgList& args, unsigned index) {
    try {
        return index < args.size() ? args[index] : std::string();
    } catch (const std::bad_alloc&) {
        // An argument that cannot be copied is not an empty one: a word
        // would store or compare the wrong text and report success.
        throw;
    } catch (const std::exception& e) {
        VekKernel::vekLog.error(e.what(), SourceName, 139);
    } catch (...) {
        VekKernel::vekLog.error(std::string(), SourceName, 143);
    }
    return std::string();
}

bool TTMProcessor::checkArgs(Function* call, unsigned required) {
    if (call->count() >= required) return false;
    std::fprintf(stderr, "\nError: Function %s args=%d, but %d required!", safeArg0(call).c_str(),
                 static_cast<int>(call->count()), static_cast<int>(required));
    return true;
}

double toDouble(const std::string& text) {
    // Plain integers of up to 15 digits are exact doubles: read them without
    // strtod, which the counting loops of pages call very often.
    std::size_t i = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    std::size_t digits = text.size() - i;
    if (digits == 0 || digits > 15) return std::strtod(text.c_str(), nullptr);
    int64 value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::strtod(text.c_str(), nullptr);
        value = value * 10 + (text[i] - '0');
    }
    double result = static_cast<double>(value);
    return text[0] == '-' ? -result : result;
}

}  // namespace VekLanguage
