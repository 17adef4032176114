// Argument collection of the call stack elements.
#include "Expression.h"

namespace VekLanguage {

bool Expression::addChar(char c) {
    text.push_back(c);
    return false;
}

bool Function::addChar(char c) {
    if (c != ';' && c != ']') {
        text.push_back(c);
        return false;
    }
    lastArg = text;
    args.push_back(std::move(text));
    text.clear();
    return c == ']';
}

}  // namespace VekLanguage
