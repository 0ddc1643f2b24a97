#pragma once

#include <windows.h>

namespace tavo::test {

// Replaces one entry of this program's import table while the owner lives. The product's code is
// linked into the test program, so its calls of that system function go to the replacement. One
// owner per entry at a time.
class ImportHook {
public:
    ImportHook(const char* module, const char* function, const void* replacement);
    ~ImportHook();
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;

    // False when the program imports no such function: nothing was replaced.
    bool installed() const { return m_slot != nullptr; }

private:
    void** m_slot = nullptr;
    void* m_original = nullptr;
};

}  // namespace tavo::test
