#include "logging/functionname.h"

#include <cstring>

namespace tavo {

namespace {

const char kOperator[] = "operator";

// Position of the '(' that opens the parameter list ending at `close`, or npos.
size_t matchingOpen(const std::string& text, size_t close) {
    int depth = 0;
    for (size_t i = close + 1; i-- > 0;) {
        if (text[i] == ')') {
            ++depth;
        } else if (text[i] == '(' && --depth == 0) {
            return i;
        }
    }
    return std::string::npos;
}

// Start of the name that ends at `end`: after the last blank outside template brackets, and before
// an operator's symbols or a conversion operator's type.
size_t nameStart(const std::string& text, size_t end) {
    size_t op = text.rfind(kOperator, end);
    if (op != std::string::npos && op + sizeof(kOperator) - 1 <= end) {
        end = op;
    }
    int depth = 0;
    for (size_t i = end; i-- > 0;) {
        char c = text[i];
        if (c == '>') {
            ++depth;
        } else if (c == '<' && depth > 0) {
            --depth;
        } else if (c == ' ' && depth == 0) {
            return i + 1;
        }
    }
    return 0;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

std::string QualifiedFunctionName(const char* prettyName) {
    std::string text(prettyName ? prettyName : "");
    size_t with = text.find(" [with ");
    if (with != std::string::npos) {
        text.erase(with);
    }
    size_t end = text.size();
    size_t close = text.find_last_of(')');
    if (close != std::string::npos && text.back() != '>') {
        size_t open = matchingOpen(text, close);
        if (open != std::string::npos) {
            end = open;
        }
    }
    size_t start = nameStart(text, end);
    std::string name = text.substr(start, end - start);
    replaceAll(name, "{anonymous}", "`anonymous-namespace'");
    return name;
}

}  // namespace tavo
