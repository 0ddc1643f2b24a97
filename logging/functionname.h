#pragma once

#include <string>

namespace tavo {

// The qualified name of a function as the log line shows it ("tavo::GetHostname"), taken from the
// compiler's pretty name: no return type, parameters, qualifiers or template arguments list.
std::string QualifiedFunctionName(const char* prettyName);

}  // namespace tavo
