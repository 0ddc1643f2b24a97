#include "logging/functionname.h"

#include <gtest/gtest.h>

namespace {

TEST(QualifiedFunctionName, StripsReturnTypeParametersAndQualifiers) {
    const struct {
        const char* pretty;
        const char* expected;
    } cases[] = {
        {"int tavo::GetHostname(std::string&)", "tavo::GetHostname"},
        {"tavo::GetHostname", "tavo::GetHostname"},
        {"tavo::CIPCServer::CIPCServer(short unsigned int)", "tavo::CIPCServer::CIPCServer"},
        {"virtual int tavo::EventRequest::Serialize(std::string&) const", "tavo::EventRequest::Serialize"},
        {"void {anonymous}::waitForTermination()", "`anonymous-namespace'::waitForTermination"},
        {"void tavo::Call(T) [with T = int]", "tavo::Call"},
        {"std::function<void(int)> tavo::Make(int)", "tavo::Make"},
        {"void tavo::Functor::operator()(int)", "tavo::Functor::operator()"},
        {"bool tavo::operator<(const A&, const A&)", "tavo::operator<"},
        {"int tavo::A::operator%(int)", "tavo::A::operator%"},
        {"main()", "main"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tavo::QualifiedFunctionName(c.pretty), c.expected) << c.pretty;
    }
}

}  // namespace
