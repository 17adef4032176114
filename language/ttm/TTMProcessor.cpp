// The template processor's life cycle and its two driving loops: process
// (to the end at once) and run (in turns of a step budget, waiting for
// requests without blocking).
#include "TTMProcessor.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "VEKClient.h"
#include "VEKConnectionPool.h"
#if __has_include("VEKBaseRegistry.h")
#include "VEKBaseRegistry.h"
#define VEK_HAVE_BASE_REGISTRY 1
#endif

namespace VekLanguage {

TTMProcessor::TTMProcessor()
    : openFiles(new std::map<std::string, LanguageFileHandle*>()),
      callStack(new std::deque<Expression*>()) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    connectionPool = VekConnectionPool::VEKConnectionPool::instance();
#ifdef VEK_HAVE_BASE_REGISTRY
    baseRegistry = VekBase::VEKBaseRegistry::instance();
#endif
}

TTMProcessor::TTMProcessor(const std::string& text) : TTMProcessor() { input = new Io(text); }

TTMProcessor::~TTMProcessor() {
    delete pendingClient;
    delete pendingCall;
    delete input;
    for (auto& entry : *openFiles) delete entry.second;
    delete openFiles;
    for (Expression* expression : *callStack) delete expression;
    delete callStack;
    delete builtins;
}

void TTMProcessor::init(const std::string& program) {
    setInput(program);
    delete builtins;
    builtins = new std::unordered_map<std::string, TTMHandler>(builtinList().begin(), builtinList().end());
    freeOutput();
    for (Expression* expression : *callStack) delete expression;
    callStack->clear();
    current = nullptr;
    pushExpression(new Root());
}

void TTMProcessor::setInput(const std::string& program) {
    delete input;
    input = new Io(program);
}

void TTMProcessor::pushExpression(Expression* expression) {
    if (callStack->size() >= MaxCallDepth) {
        delete expression;
        throw TTMError("Too many nested calls");
    }
    callStack->push_back(expression);
    current = expression;
}

Expression* TTMProcessor::popExpression() {
    if (callStack->empty()) return nullptr;
    Expression* top = callStack->back();
    callStack->pop_back();
    current = callStack->empty() ? nullptr : callStack->back();
    return top;
}

void TTMProcessor::checkTextSize(std::size_t size) const {
    if (size > MaxTextBytes) throw TTMError("Text too long");
}

Function* TTMProcessor::scanStep() {
    if (current == nullptr) pushExpression(new Root());
    char c = input->get();
    char two[2] = {0, 0};
    input->peekN(2, two);
    switch (c) {
    case '[':
        input->unget(c);
        current->text += get_ttm_protected_string(*input, '[', ']');
        checkTextSize(current->text.size());
        return nullptr;
    case '#':
        if (input->peek() == '[') {
            input->get();
            pushExpression(new Active());
            return nullptr;
        }
        if (two[0] == '#' && two[1] == '[') {
            input->get();
            input->get();
            pushExpression(new Neutral());
            return nullptr;
        }
        break;
    case '\t':
    case '\n':
    case '\r':
        return nullptr;
    case ']':
        if (!current->addChar(c)) return nullptr;
        return completeCall();
    default:
        break;
    }
    current->addChar(c);
    checkTextSize(current->text.size());
    return nullptr;
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
        return;
    }
    if (result.empty()) return;
    current->text += result;
    checkTextSize(current->text.size());
}

void TTMProcessor::process() {
    while (input != nullptr && !input->empty() && !exitFlag) {
        std::unique_ptr<Function> call(scanStep());
        if (!call) continue;
        std::string result = eval(call.get());
        routeResult(call.get(), result);
    }
    if (isTrace()) printTrace();
}

void TTMProcessor::deletePendingCall() {
    delete pendingCall;
    pendingCall = nullptr;
}

std::string TTMProcessor::evalPending() {
    try {
        return eval(pendingCall);
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
        delete pendingClient;  // the next "~>" starts a new exchange
        pendingClient = nullptr;
        return;
    }
    std::string result = evalPending();
    if (requestState == RequestWaiting) return;
    if (requestState != RequestIdle) routeResult(pendingCall, result);
    deletePendingCall();
}

bool TTMProcessor::runSteps(int64 maxSteps) {
    int64 steps = 0;
    while (input != nullptr && !input->empty()) {
        if (maxSteps > 0 && steps >= maxSteps) {
            input->freeFreeNodes();
            return false;
        }
        if (exitFlag) return true;
        Function* call = scanStep();
        if (call == nullptr) continue;
        ++steps;
        pendingCall = call;
        yieldFlag = false;
        requestState = RequestIdle;
        std::string result = evalPending();
        if (requestState == RequestWaiting) {
            waitStart = std::time(nullptr);
            return false;
        }
        routeResult(call, result);
        deletePendingCall();
        if (yieldFlag) return false;
    }
    return false;
}

bool TTMProcessor::run(int64 maxSteps) {
    if (requestState == RequestWaiting && pendingCall != nullptr) {
        resumePending();
    } else {
        if (requestState == RequestWaiting) requestState = RequestIdle;  // nothing is pending
        if (runSteps(maxSteps)) return finishRun();
    }
    if (requestState == RequestWaiting) return false;
    if (input != nullptr && !input->empty()) return false;
    return finishRun();
}

bool TTMProcessor::finishRun() {
    if (isTrace()) printTrace();
    return true;
}

void TTMProcessor::dumpStack() {
    std::printf("[");
    for (auto it = callStack->rbegin(); it != callStack->rend(); ++it)
        std::printf("%s%s", it == callStack->rbegin() ? "" : ",", (*it)->text.c_str());
    std::printf("]\n");
}

void TTMProcessor::printTrace() {
    std::printf("\nStack: ");
    dumpStack();
    std::printf("Forms: ");
    std::printf("Output: %s", output == nullptr ? "" : outputText().c_str());
}

}  // namespace VekLanguage
