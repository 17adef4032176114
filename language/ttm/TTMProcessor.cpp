// The template processor's life cycle and its two driving loops: process
// (to the end at once) and run (in turns of a step budget, waiting for
// requests without blocking).
#include "TTMProcessor.h"

#include <algorithm>
#include <cassert>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "TextBudget.h"
#include "VEKBaseRegistry.h"
#include "VEKClient.h"
#include "VEKConnectionPool.h"
#include "VekFile.h"
#include "WordLogic.h"

namespace VekLanguage {

namespace {

// Every live processor: for the exact recounts of the text budget.
TTMProcessor* liveRuns = nullptr;

// The failure of a run that would pass the process-wide text budget.
const char* const BudgetSpent = "Text too long: the server's text budget is spent";

}  // namespace

u64 TTMProcessor::startRun() { return newRunToken(); }

TTMProcessor::TTMProcessor() {
    // The generator is seeded once per process: seeding it again for every
    // run would let any request reset the numbers every other page draws
    // (and give all runs of one second the same numbers).
    static const bool seeded = (std::srand(static_cast<unsigned>(std::time(nullptr))), true);
    (void)seeded;
    connectionPool = VekConnectionPool::VEKConnectionPool::instance();
    baseRegistry = VekBase::VEKBaseRegistry::instance();
    nextRun = liveRuns;
    if (liveRuns != nullptr) liveRuns->previousRun = this;
    liveRuns = this;
}

TTMProcessor::TTMProcessor(const std::string& text) : TTMProcessor() {
    input.reset(new Io(text));
    countExactly(0);
    fitBudget(0);
}

TTMProcessor::~TTMProcessor() {
    endRun();
    TextBudget::give(budgetHeld, heldShare);
    if (previousRun != nullptr) previousRun->nextRun = nextRun;
    else liveRuns = nextRun;
    if (nextRun != nullptr) nextRun->previousRun = previousRun;
}

void TTMProcessor::init(const std::string& program) {
    setInput(program);
    builtinTable = BuiltinTable();
    builtins = &builtinTable;
    freeOutput();
    callStack.clear();
    current = nullptr;
    heldBelow = 0;
    pushExpression(new Root());
}

void TTMProcessor::setInput(const std::string& program) {
    input.reset(new Io(program));
    countExactly(0);  // forms defined before the program count too
    fitBudget(0);
}

void TTMProcessor::pushExpression(Expression* expression) {
    std::unique_ptr<Expression> owned(expression);
    if (callStack.size() >= maxCallDepth) throw TTMError("Too many nested calls");
    // The element that stops being the top cannot change until it is the
    // top again, so its size is counted once here and taken back in pop.
    if (current != nullptr) heldBelow += current->heldBytes();
    callStack.push_back(std::move(owned));
    current = expression;
}

Expression* TTMProcessor::popExpression() {
    if (callStack.empty()) return nullptr;
    Expression* top = callStack.back().release();
    callStack.pop_back();
    current = callStack.empty() ? nullptr : callStack.back().get();
    if (current == nullptr) {
        heldBelow = 0;
    } else {
        assert(heldBelow >= current->heldBytes());
        heldBelow -= current->heldBytes();
    }
    return top;
}

void TTMProcessor::checkTextSize(std::size_t size) const {
    if (size > maxTextBytes) throw TTMError("Text too long");
}

void TTMProcessor::callsPastRoom() {
    checkTextSize(heldBelow + current->heldBytes());
    fitBudget(0);
}

void TTMProcessor::setPendingCall(Function* call) {
    pendingCall.reset(call);
    // The call being evaluated also keeps a copy of its last argument.
    pendingBytes = call != nullptr ? call->heldBytes() + call->lastArg.size() : 0;
}

std::size_t TTMProcessor::runTextBytes() const {
    std::size_t total = globalBytes + consoleBytes + static_cast<std::size_t>(outputLength());
    if (input != nullptr) total += input->count();
    if (pendingClient != nullptr) total += pendingClient->received().size();  // a reply arriving
    for (const auto& entry : *levelForms)
        if (entry.second != nullptr)
            for (const auto& form : *entry.second) total += formBytes(form.first, form.second->text.size());
    if (const FormMap* own = ownGlobalForms())
        for (const auto& form : *own) total += formBytes(form.first, form.second->text.size());
    return total;
}

void TTMProcessor::chargeText(std::size_t added) { charge(added, added); }

void TTMProcessor::chargeReply(std::size_t added) { charge(added, 0); }

// chargedBytes grows by what is added and shrinks by what a replaced form
// or output gave back (releaseText); text freed on other paths stays
// counted until an exact count, so the walk over every form runs once per
// maxTextBytes of such text, or for each addition while the run really
// holds nearly that much. Within the room the budget holds for the run, a
// charge changes two counters and asks the budget nothing.
void TTMProcessor::charge(std::size_t added, std::size_t pending) {
    chargedBytes += added;
    if (chargedBytes > maxTextBytes || chargedBytes < added) {
        countExactly(0);
        if (pending > maxTextBytes || chargedBytes > maxTextBytes - pending) {
            trimBudget(false);
            throw TTMError("Text too long");
        }
        chargedBytes += pending;
    }
    if (takeRoom(added)) return;
    try {
        fitBudget(pending);
    } catch (...) {
        // The pending bytes are not added: a word that goes on after the
        // failure (a remote exchange that fails alone) keeps a true count.
        chargedBytes -= pending;
        heldRoom = 0;  // the next growth looks at the budget again
        throw;
    }
}

void TTMProcessor::releaseText(std::size_t bytes) {
    // The budget's share is chargedBytes less what was printed: never below.
    bytes = std::min(bytes, chargedBytes - consoleBytes);
    chargedBytes -= bytes;
    heldRoom += bytes;
}

void TTMProcessor::formReleased(const std::string& name, std::size_t size) {
    releaseText(formBytes(name, size));
}

void TTMProcessor::chargeConsole(std::size_t bytes) {
    // Printed text counts against the run's limit only, so the budget's
    // share (chargedBytes less consoleBytes) stays as it is.
    if (bytes > maxTextBytes || chargedBytes > maxTextBytes - bytes) {
        countExactly(0);
        if (bytes > maxTextBytes || chargedBytes > maxTextBytes - bytes) throw TTMError("Text too long");
    }
    chargedBytes += bytes;
    consoleBytes += bytes;
}

void TTMProcessor::printPageText(const char* text, std::size_t size) {
    chargeConsole(size);
    std::fwrite(text, 1, size, stdout);
}

void TTMProcessor::countExactly(std::size_t pending) {
    chargedBytes = runTextBytes() + pending;
    inputAtCount = input != nullptr ? input->count() : 0;
}

std::size_t TTMProcessor::budgetWanted() const {
    std::size_t wanted = chargedBytes - consoleBytes + callBytes();
    // Results of active calls grow the input without a charge.
    if (input != nullptr && input->count() > inputAtCount) wanted += input->count() - inputAtCount;
    return wanted;
}

TextBudget::Share TTMProcessor::budgetShare() const {
    return clientText ? TextBudget::Share::Clients : TextBudget::Share::Pages;
}

std::size_t TTMProcessor::budgetSlack(std::size_t wanted) { return wanted / 8 + MinBudgetSlack; }

bool TTMProcessor::holdBudget(std::size_t wanted) {
    // A run marked as client text after it took its first bytes (the server
    // marks it once it has chosen the text) takes them again as a client.
    if (budgetShare() != heldShare) {
        TextBudget::give(budgetHeld, heldShare);
        budgetHeld = 0;
        heldShare = budgetShare();
    }
    if (wanted > budgetHeld && !TextBudget::take(wanted - budgetHeld, heldShare)) return false;
    if (wanted < budgetHeld) TextBudget::give(budgetHeld - wanted, heldShare);
    budgetHeld = wanted;
    return true;
}

bool TTMProcessor::takeRoom(std::size_t bytes) {
    if (heldRoom < bytes || heldRoom - bytes < callBytes()) return false;
    heldRoom -= bytes;
    return true;
}

void TTMProcessor::setRoom(std::size_t wanted) {
    heldRoom = budgetHeld >= wanted ? callBytes() + (budgetHeld - wanted) : 0;
}

void TTMProcessor::fitBudget(std::size_t pending) {
    std::size_t wanted = budgetWanted();
    if (holdBudget(wanted + budgetSlack(wanted)) || holdBudget(wanted)) return setRoom(wanted);
    // chargedBytes may be ahead of what the run holds: count it exactly,
    // then the other runs, before refusing.
    countExactly(pending);
    wanted = budgetWanted();
    if (holdBudget(wanted)) return setRoom(wanted);
    recountOtherRuns();
    if (holdBudget(wanted)) return setRoom(wanted);
    throw TTMError(BudgetSpent);
}

void TTMProcessor::trimBudget(bool exact) {
    const std::size_t wanted = budgetWanted();
    const std::size_t keep = exact ? wanted : wanted + budgetSlack(wanted);
    if (keep < budgetHeld) holdBudget(keep);
    setRoom(wanted);
}

void TTMProcessor::recountOtherRuns() {
    for (TTMProcessor* run = liveRuns; run != nullptr; run = run->nextRun) {
        if (run == this) continue;
        run->countExactly(0);
        run->trimBudget(true);
    }
}

void TTMProcessor::chargeForm(const std::string& name, std::size_t size) {
    const std::size_t bytes = formBytes(name, size);
    chargeText(bytes);
    // A client run's own global forms are counted where they are kept.
    if (!clientText && findLevelForm(name) == nullptr && !hasGlobal(name)) globalBytes += bytes;
}

bool TTMProcessor::refusesPath(const std::string& path) const {
    return confinePaths && !VekKernel::isPagePath(path);
}

Function* TTMProcessor::scanStep() {
    if (current == nullptr) pushExpression(new Root());
    switch (input->peek()) {
    case '[':
        current->text += get_ttm_protected_string(*input, '[', ']');
        break;
    case '#':
        input->get();
        if (openCall()) return nullptr;
        current->addChar('#');
        break;
    case '\t':
    case '\n':
    case '\r':
        input->get();
        return nullptr;
    case ';':
        current->addChar(input->get());
        break;
    case ']':
        input->get();
        return current->addChar(']') ? completeCall() : nullptr;
    default:
        // A run of ordinary characters joins the argument at once.
        input->takeOrdinary(current->text);
        break;
    }
    checkHeldSize();
    return nullptr;
}

bool TTMProcessor::openCall() {
    if (input->peek() == '[') {
        input->get();
        pushExpression(newCall(Function::Kind::Active));
        return true;
    }
    char two[2] = {0, 0};
    input->peekN(2, two);
    if (two[0] == '#' && two[1] == '[') {
        input->get();
        input->get();
        pushExpression(newCall(Function::Kind::Neutral));
        return true;
    }
    return false;
}

Function* TTMProcessor::newCall(Function::Kind kind) {
    std::vector<std::unique_ptr<Function>>& spares = kind == Function::Kind::Active ? spareActive : spareNeutral;
    if (spares.empty()) {
        if (kind == Function::Kind::Active) return new Active();
        return new Neutral();
    }
    Function* call = spares.back().release();
    spares.pop_back();
    return call;
}

void TTMProcessor::recycle(Function* call) {
    if (call == nullptr) return;
    std::unique_ptr<Function> owned(call);
    std::vector<std::unique_ptr<Function>>* spares = nullptr;
    if (call->kind == Function::Kind::Active) spares = &spareActive;
    if (call->kind == Function::Kind::Neutral) spares = &spareNeutral;
    if (spares == nullptr || spares->size() >= MaxSpareCalls) return;
    // Kept objects reuse their argument storage for later calls.
    call->text.clear();
    call->args.clear();
    call->argBytes = 0;
    // A long last argument would stay allocated for as long as the spare.
    if (call->lastArg.capacity() > SpareArgBytes)
        std::string().swap(call->lastArg);
    else
        call->lastArg.clear();
    spares->push_back(std::move(owned));
}

Function* TTMProcessor::completeCall() {
    auto* call = static_cast<Function*>(popExpression());
    // A "]" that completes the Root leaves the stack empty: a fresh Root
    // takes the rest of the input (and the Root's own result) so that
    // scanning goes on as at the start.
    if (current == nullptr) pushExpression(new Root());
    return call;
}

void TTMProcessor::routeResult(const Function* call, const std::string& result) {
    if (call->kind == Function::Kind::Active) {
        checkTextSize(input->count() + result.size());
        input->pushFront(result);  // up to its first NUL
        // The input grew by at most the result.
        if (!takeRoom(result.size())) fitBudget(0);
        return;
    }
    if (result.empty()) return;
    current->text += result;
    checkHeldSize();
}

void TTMProcessor::process() {
    while (input != nullptr && !input->empty() && !exitFlag) {
        std::unique_ptr<Function> call(scanStep());
        if (!call) continue;
        std::string result = eval(call.get());
        routeResult(call.get(), result);
        recycle(call.release());
    }
    if (isTrace()) printTrace();
}

void TTMProcessor::deletePendingCall() {
    recycle(pendingCall.release());
    pendingBytes = 0;
}

std::string TTMProcessor::evalPending() {
    try {
        return eval(pendingCall.get());
    } catch (...) {
        // The failing call has left the stack; nothing else owns it now.
        deletePendingCall();
        requestState = RequestIdle;
        throw;
    }
}

void TTMProcessor::resumePending() {
    if (std::difftime(std::time(nullptr), waitStart) > static_cast<double>(requestTimeout)) {
        requestState = RequestIdle;
        deletePendingCall();
        pendingClient.reset();  // the next "~>" starts a new exchange
        return;
    }
    std::string result = evalPending();
    if (requestState == RequestWaiting) return;
    if (requestState == RequestIdle) {
        deletePendingCall();  // failed: dropped without its text
        return;
    }
    finishPending(result);
}

void TTMProcessor::finishPending(const std::string& result) {
    try {
        routeResult(pendingCall.get(), result);
    } catch (...) {
        deletePendingCall();
        throw;
    }
    deletePendingCall();
}

namespace {

// The coarse monotonic clock in microseconds: a few milliseconds fine, and
// cheap enough to read after every step.
int64 coarseMicros() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

bool TTMProcessor::sliceOver(int64 sliceEnd) const { return sliceMicros > 0 && coarseMicros() >= sliceEnd; }

bool TTMProcessor::runSteps(int64 maxSteps) {
    int64 steps = 0;
    const int64 sliceEnd = sliceMicros > 0 ? coarseMicros() + sliceMicros : 0;
    while (input != nullptr && !input->empty()) {
        if (maxSteps > 0 && steps >= maxSteps) {
            input->freeFreeNodes();
            return false;
        }
        if (exitFlag) return true;
        Function* call = scanStep();
        if (call == nullptr) continue;
        ++steps;
        setPendingCall(call);
        yieldFlag = false;
        requestState = RequestIdle;
        std::string result = evalPending();
        if (requestState == RequestWaiting) {
            waitStart = std::time(nullptr);
            return false;
        }
        finishPending(result);
        if (yieldFlag || sliceOver(sliceEnd)) return false;
    }
    return false;
}

bool TTMProcessor::run(int64 maxSteps) {
    bool finished = false;
    if (requestState == RequestWaiting && pendingCall != nullptr) {
        resumePending();
    } else {
        if (requestState == RequestWaiting) requestState = RequestIdle;  // nothing is pending
        finished = runSteps(maxSteps);
    }
    // Calls finished in this turn no longer hold their arguments.
    trimBudget(false);
    if (finished) return finishRun();
    if (requestState == RequestWaiting) return false;
    if (input != nullptr && !input->empty()) return false;
    return finishRun();
}

bool TTMProcessor::finishRun() {
    if (isTrace()) printTrace();
    return true;
}

void TTMProcessor::dumpStack() {
    printPageText("[", 1);
    for (auto it = callStack.rbegin(); it != callStack.rend(); ++it) {
        if (it != callStack.rbegin()) printPageText(",", 1);
        const std::string& text = (*it)->text;
        printPageText(text.c_str(), std::strlen(text.c_str()));
    }
    printPageText("]\n", 2);
}

void TTMProcessor::printTrace() {
    printPageText("\nStack: ", 8);
    dumpStack();
    printPageText("Forms: ", 7);
    printPageText("Output: ", 8);
    if (output != nullptr) {
        const std::string text = outputText();
        printPageText(text.c_str(), std::strlen(text.c_str()));
    }
}

}  // namespace VekLanguage
