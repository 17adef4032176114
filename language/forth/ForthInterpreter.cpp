// The Forth interpreter and compiler: the entry point, reset and bootstrap
// loading, the outer interpreter, the console loop, "evaluate" and
// "include-file", the compiling words and the listing words "see" and "words".
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "ForthProcessor.h"

namespace VekLanguage {

namespace {

void writeOut(const std::string& text) { std::cout.write(text.data(), static_cast<std::streamsize>(text.size())); }

}  // namespace

// ---- entry points ----

int ForthProcessor::main(int argc, char** argv) {
    argCount = argc;
    argVector = argv;
    stackBase = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    try {
        reset();
        Definition* start = find("MAIN", 4);
        if (start == nullptr) throw std::runtime_error("MAIN not defined");
        execute(start);
        return 0;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "forth: " << e.what() << '\n';
        return -1;
    }
}

void ForthProcessor::reset() {
    sp = rp = 0;
    std::memset(dataStack, 0, sizeof dataStack);
    std::memset(returnStack, 0, sizeof returnStack);
    std::memset(dataSpace, 0, sizeof dataSpace);
    here = static_cast<Cell>(reinterpret_cast<uintptr_t>(dataSpace));
    reloadDictionary();
}

void ForthProcessor::reloadDictionary() {
    clearDictionary();
    registerKernel();
    loadBootstrap();
}

void ForthProcessor::loadBootstrap() {
    for (size_t i = 0; i < bootstrapLineCount; ++i) {
        roomCells(2, "EVALUATE");
        evaluate(bootstrapLines[i]);
    }
}

// ---- reading the source ----

void ForthProcessor::parseWord(char delim) {
    wordBuffer.assign(1, '\0');
    Cell length = static_cast<Cell>(source.size());
    if (toIn >= 0 && toIn < length) {
        while (toIn < length && source[toIn] == delim) ++toIn;
        Cell start = toIn;
        while (toIn < length && source[toIn] != delim) ++toIn;
        wordBuffer.append(source, start, toIn - start);
        if (toIn < length) ++toIn;  // past the delimiter that ended the word
    }
    wordBuffer[0] = static_cast<char>((wordBuffer.size() - 1) & 0xFF);
}

bool ForthProcessor::refillSource() {
    return static_cast<bool>(std::getline(std::cin, source));
}

void ForthProcessor::interpret() {
    while (toIn < static_cast<Cell>(source.size())) {
        parseWord(' ');
        size_t length = static_cast<u8>(wordBuffer[0]);
        const char* name = wordBuffer.data() + 1;
        Definition* d = find(name, length);
        if (d != nullptr) {
            if (state != 0 && !(d->flags & FlagImmediate))
                compile(reinterpret_cast<Cell>(d));
            else
                execute(d);
            continue;
        }
        if (length == 0) return;
        u64 number = 0;
        if (convertNumber(number, reinterpret_cast<const u8*>(name), length, true) != length)
            throw AbortException("unrecognized word: " + std::string(name, length));
        if (state != 0) {
            compile(reinterpret_cast<Cell>(litXt));
            compile(static_cast<Cell>(number));
        } else {
            roomCells(1, "INTERPRET");
            push(static_cast<Cell>(number));
        }
    }
}

void ForthProcessor::evaluate(const std::string& text) {
    std::string savedSource = source;
    Cell savedToIn = toIn;
    source = text;
    toIn = 0;
    interpret();
    source = std::move(savedSource);
    toIn = savedToIn;
}

void ForthProcessor::wordInterpret() {
    checkHostStack("INTERPRET");
    interpret();
}

void ForthProcessor::wordQuit() {
    if (quitGuard) throw AbortException("");
    quitGuard = true;
    state = 0;
    rp = 0;
    for (;;) {
        try {
            roomCells(1, "REFILL");
            if (!refillSource()) {
                std::cout << '\n';
                std::cout.flush();
                std::exit(0);
            }
            toIn = 0;
            interpret();
        } catch (const AbortException& e) {
            if (*e.what() != '\0') std::cout << "<<< " << e.what() << " >>>\n";
            state = 0;
            sp = rp = 0;
        }
        if (state == 0) {
            std::cout << "  ok\n";
            std::cout.flush();
        }
    }
}

void ForthProcessor::wordEvaluate() {
    needCells(2, "EVALUATE");
    Cell length = under(0);
    const u8* text = bytesAt(under(1), length, "EVALUATE");
    std::string copy(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
    sp -= 2;
    checkHostStack("EVALUATE");
    evaluate(copy);
}

void ForthProcessor::wordIncludeFile() {
    needCells(1, "INCLUDE-FILE");
    std::fstream* file = fileAt(top(), "INCLUDE-FILE", ": invalid file ID");
    pop();
    std::string line;
    while (std::getline(*file, line)) {
        evaluate(line);
        // A word of the line may have closed the file.
        if (openFiles.count(file) == 0) break;
    }
}

void ForthProcessor::wordRefill() {
    roomCells(1, "REFILL");
    if (refillSource()) {
        toIn = 0;
        push(-1);
    } else {
        push(0);
    }
}

void ForthProcessor::wordSource() {
    roomCells(2, "SOURCE");
    push(static_cast<Cell>(reinterpret_cast<uintptr_t>(source.data())));
    push(static_cast<Cell>(source.size()));
}

void ForthProcessor::wordToIn() {
    roomCells(1, ">IN");
    push(static_cast<Cell>(reinterpret_cast<uintptr_t>(&toIn)));
}

void ForthProcessor::wordState() {
    roomCells(1, "STATE");
    push(static_cast<Cell>(reinterpret_cast<uintptr_t>(&state)));
}

void ForthProcessor::wordPrompt() {
    if (state == 0) std::cout << "  ok\n";
}

void ForthProcessor::wordWord() {
    needCells(1, "WORD");
    parseWord(static_cast<char>(pop()));
    push(static_cast<Cell>(reinterpret_cast<uintptr_t>(wordBuffer.data())));
}

void ForthProcessor::wordParse() {
    needCells(1, "PARSE");
    roomCells(1, "PARSE");
    char delim = static_cast<char>(top());
    size_t at = toIn >= 0 ? source.find(delim, static_cast<size_t>(toIn)) : std::string::npos;
    if (at == std::string::npos)
        throw AbortException(std::string("PARSE: Did not find expected delimiter '") + delim + "'");
    parseBuffer.assign(source, static_cast<size_t>(toIn), at - static_cast<size_t>(toIn));
    toIn = static_cast<Cell>(at + 1);
    top() = static_cast<Cell>(reinterpret_cast<uintptr_t>(parseBuffer.data()));
    push(static_cast<Cell>(parseBuffer.size()));
}

void ForthProcessor::wordFind() {
    needCells(1, "FIND");
    roomCells(1, "FIND");
    const u8* counted = bytesAt(top(), 1, "FIND");
    const u8* name = bytesAt(top() + 1, counted[0], "FIND");
    Definition* d = find(reinterpret_cast<const char*>(name), counted[0]);
    if (d == nullptr) {
        push(0);
        return;
    }
    top() = reinterpret_cast<Cell>(d);
    push(d->flags & FlagImmediate ? 1 : -1);
}

void ForthProcessor::wordExecute() {
    needCells(1, "EXECUTE");
    Definition* d = definitionAt(top());
    if (d == nullptr) fail("EXECUTE", ": invalid execution token");
    pop();
    execute(d);
}

// ---- compiling words ----

Definition* ForthProcessor::createFromInput() {
    here = static_cast<Cell>((static_cast<u64>(here) + CellSize - 1) & ~static_cast<u64>(CellSize - 1));
    parseWord(' ');
    if (wordBuffer.size() == 1) fail("CREATE", ": could not parse name");
    return addDefinition(wordBuffer.substr(1), &ForthProcessor::runCreated);
}

void ForthProcessor::wordCreate() { createFromInput(); }

void ForthProcessor::wordColon() {
    Definition* d = createFromInput();
    d->handler = &ForthProcessor::runColon;
    d->flags ^= FlagHidden;
    state = 1;
}

void ForthProcessor::wordNoname() {
    roomCells(1, ":NONAME");
    Definition* d = addDefinition("", &ForthProcessor::runColon);
    state = 1;
    push(reinterpret_cast<Cell>(d));
}

void ForthProcessor::wordSemicolon() {
    compile(reinterpret_cast<Cell>(exitXt));
    compile(reinterpret_cast<Cell>(semiXt));
    state = 0;
    latestDefinition()->flags ^= FlagHidden;
}

void ForthProcessor::wordDoes() {
    compile(reinterpret_cast<Cell>(doesXt));
    compile(reinterpret_cast<Cell>(exitXt));
}

void ForthProcessor::wordDoesRuntime() {
    Definition* d = latestDefinition();
    d->handler = &ForthProcessor::runDoes;
    d->code = static_cast<Cell>(static_cast<u64>(ip) + CellSize);
}

void ForthProcessor::wordImmediate() { latestDefinition()->flags ^= FlagImmediate; }

void ForthProcessor::wordHidden() { latestDefinition()->flags ^= FlagHidden; }

void ForthProcessor::wordLatest() {
    roomCells(1, "LATEST");
    push(reinterpret_cast<Cell>(latestDefinition()));
}

void ForthProcessor::wordExit() {
    needReturnCells(1, "EXIT");
    ip = rpop();
}

void ForthProcessor::wordSemiRuntime() { throw AbortException("(;) should never be executed"); }

// ---- listings ----

void ForthProcessor::seeCode(Cell code) {
    const Cell semiCell = reinterpret_cast<Cell>(semiXt);
    u64 offset = static_cast<u64>(code) - reinterpret_cast<uintptr_t>(dataSpace);
    for (; offset <= static_cast<u64>(DataSpaceSize - CellSize); offset += CellSize) {
        Cell x;
        std::memcpy(&x, dataSpace + offset, sizeof x);
        if (x == semiCell) break;
        const Definition* d = definitionAt(x);
        writeOut(" " + (d != nullptr ? d->name : formatNumber(x, false)));
    }
    std::cout << " ;";
}

void ForthProcessor::wordSee() {
    parseWord(' ');
    Definition* d = find(wordBuffer.data() + 1, static_cast<u8>(wordBuffer[0]));
    if (d == nullptr) fail("SEE", ": undefined word");
    if (d->handler == &ForthProcessor::runColon) {
        writeOut(": " + d->name);
        seeCode(d->code);
    } else if (d->handler == &ForthProcessor::runCreated || d->handler == &ForthProcessor::runDoes) {
        writeOut("CREATE " + d->name + " ( " + formatNumber(d->body, true) + " )");
        if (d->handler == &ForthProcessor::runDoes) {
            std::cout << " DOES>";
            seeCode(d->code);
        }
    } else {
        writeOut(": " + d->name + " <primitive " + formatNumber(reinterpret_cast<Cell>(d), true) + "> ;");
    }
    if (d->flags & FlagImmediate) std::cout << " immediate";
}

void ForthProcessor::wordWords() {
    for (size_t i = count; i-- > 0;) {
        const Definition& d = definitions[i];
        if (!(d.flags & FlagHidden) && !d.name.empty()) writeOut(d.name + " ");
    }
}

}  // namespace VekLanguage
