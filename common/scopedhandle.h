#pragma once

#include <windows.h>

namespace tavo {

// Owners of kernel handles and registry keys: closed when the owner goes out of scope.
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE handle) : m_handle(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return m_handle; }
    HANDLE* receive() { reset(); return &m_handle; }
    bool valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = nullptr) {
        if (valid()) {
            CloseHandle(m_handle);
        }
        m_handle = handle;
    }

private:
    HANDLE m_handle = nullptr;
};

class ScopedRegKey {
public:
    ScopedRegKey() = default;
    ~ScopedRegKey() {
        if (m_key != nullptr) {
            RegCloseKey(m_key);
        }
    }
    ScopedRegKey(const ScopedRegKey&) = delete;
    ScopedRegKey& operator=(const ScopedRegKey&) = delete;

    HKEY get() const { return m_key; }
    HKEY* receive() { return &m_key; }

private:
    HKEY m_key = nullptr;
};

// Owner of a library loaded with LoadLibraryW: freed when the owner goes out of scope.
class ScopedModule {
public:
    ScopedModule() = default;
    ~ScopedModule() { reset(); }
    ScopedModule(const ScopedModule&) = delete;
    ScopedModule& operator=(const ScopedModule&) = delete;

    HMODULE get() const { return m_module; }
    void reset(HMODULE module = nullptr) {
        if (m_module != nullptr) {
            FreeLibrary(m_module);
        }
        m_module = module;
    }

private:
    HMODULE m_module = nullptr;
};

// Owner of a search handle from FindFirstFileW: closed with FindClose when the owner goes out of
// scope.
class ScopedFindHandle {
public:
    explicit ScopedFindHandle(HANDLE handle) : m_handle(handle) {}
    ~ScopedFindHandle() {
        if (valid()) {
            FindClose(m_handle);
        }
    }
    ScopedFindHandle(const ScopedFindHandle&) = delete;
    ScopedFindHandle& operator=(const ScopedFindHandle&) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle = nullptr;
};

}  // namespace tavo
