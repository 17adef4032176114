// The Forth extension words: bases, connections, digests, base64, files,
// formatting, the output block and forms. Their handlers are members of
// ForthProcessor (declared there); this header holds the word table that
// names them and the input reader the handlers share.
//
// Conventions of every extension word:
//  1. A text argument is one cell holding the address of a NUL-terminated
//     text, read with ForthProcessor::textAt (inside memory the processor
//     owns, up to its NUL). A text result is two cells, address and length,
//     of a copy kept by ForthProcessor::holdText: a NUL follows it, so the
//     address also serves as a text argument, and it stays valid until
//     HeldTexts newer texts have been kept or the processor is destroyed.
//  2. A word checks its depth (and the room its results need) first, reads
//     everything it needs while the inputs are still on the stack, and pops
//     them only then: a word that fails on a check or on an address leaves
//     the stack as it was.
//  3. A flag is -1 (true) or 0 (false); a flag input is true only when -1.
//  4. Messages begin with the word's name as the table writes it.
#pragma once
#include <string>

#include "ForthProcessor.h"

namespace VekLanguage {

// The extension word table, registered after the kernel's; ends with a
// row whose name is null.
extern const KernelWord forthExtensionWords[];

// The inputs of one word, checked on construction and left on the stack
// until consume. Cell 0 is the top of the stack.
class ForthInputs {
public:
    // Checks `cells` inputs and room for `results` result cells.
    ForthInputs(ForthProcessor& forth, const char* name, int cells, int results);

    Cell cell(int i) const { return forth.under(i); }
    // The NUL-terminated text whose address cell i holds.
    std::string text(int i) const { return forth.textAt(forth.under(i), name); }
    // A flag input: true only when it is -1.
    bool flag(int i) const { return cell(i) == -1; }
    // Pops the inputs; call once everything has been read.
    void consume();

    ForthProcessor& forth;  // the processor whose stack holds the inputs
    const char* const name; // the word's name, first in every message
    const int cells;        // inputs the word takes
};

// Result pushers (room was checked by ForthInputs).
inline void pushFlag(ForthProcessor& forth, bool value) { forth.push(value ? -1 : 0); }
inline void pushBoolText(ForthProcessor& forth, bool value, const char* name) {
    forth.pushText(value ? "true" : "false", name);
}

}  // namespace VekLanguage
