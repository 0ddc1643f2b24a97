#pragma once

#include <string>

#include "tests/support/testutils.h"

namespace tavo::test {

// Makes this process's WMI connections, from now on, answer from the given fixture text (format in
// tests/support/wmiprovider/README.md) instead of Wine's own WMI; undone when the owner goes out
// of scope. The fixture is chosen when a connection is made, so create the owner first.
class WmiFixture {
public:
    explicit WmiFixture(const std::string& text);
    ~WmiFixture();
    WmiFixture(const WmiFixture&) = delete;
    WmiFixture& operator=(const WmiFixture&) = delete;

private:
    TempDir m_dir;
};

}  // namespace tavo::test
