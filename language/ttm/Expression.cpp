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
    argBytes += text.size() + sizeof(std::string);
    args.push_back(std::move(text));
    text.clear();
    if (c != ']') return false;
    lastArg = args.back();  // the argument completed last, once the call is complete
    return true;
}

}  // namespace VekLanguage
