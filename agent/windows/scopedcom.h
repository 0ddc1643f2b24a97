#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <utility>

namespace tavo {

// Owners of COM resources: released when the owner goes out of scope. Copying is deleted; an
// out-parameter is filled through receive(), which drops what the owner held before.

// A COM interface pointer; Release()d once.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            m_ptr = std::exchange(other.m_ptr, nullptr);
        }
        return *this;
    }

    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T** receive() { reset(); return &m_ptr; }
    void reset() {
        if (m_ptr != nullptr) {
            std::exchange(m_ptr, nullptr)->Release();
        }
    }

private:
    T* m_ptr = nullptr;
};

// A BSTR from SysAllocString; freed with SysFreeString.
class ScopedBstr {
public:
    ScopedBstr() = default;
    explicit ScopedBstr(const wchar_t* text) : m_bstr(SysAllocString(text)) {}
    ~ScopedBstr() { reset(); }
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;

    BSTR get() const { return m_bstr; }
    BSTR* receive() { reset(); return &m_bstr; }
    void reset() {
        if (m_bstr != nullptr) {
            SysFreeString(std::exchange(m_bstr, nullptr));
        }
    }

private:
    BSTR m_bstr = nullptr;
};

// A VARIANT that starts empty and is cleared with VariantClear.
class ScopedVariant {
public:
    ScopedVariant() { VariantInit(&m_variant); }
    ~ScopedVariant() { VariantClear(&m_variant); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;

    const VARIANT& get() const { return m_variant; }
    VARIANT* receive() { VariantClear(&m_variant); return &m_variant; }

private:
    VARIANT m_variant;
};

// A SAFEARRAY that the owner destroys with SafeArrayDestroy.
class ScopedSafeArray {
public:
    ScopedSafeArray() = default;
    ~ScopedSafeArray() { reset(); }
    ScopedSafeArray(const ScopedSafeArray&) = delete;
    ScopedSafeArray& operator=(const ScopedSafeArray&) = delete;

    SAFEARRAY* get() const { return m_array; }
    SAFEARRAY** receive() { reset(); return &m_array; }
    void reset() {
        if (m_array != nullptr) {
            SafeArrayDestroy(std::exchange(m_array, nullptr));
        }
    }

private:
    SAFEARRAY* m_array = nullptr;
};

// Memory that COM hands to the caller (a known folder's path, say); freed with CoTaskMemFree.
template <typename T>
class ScopedCoTaskMem {
public:
    ScopedCoTaskMem() = default;
    ~ScopedCoTaskMem() { reset(); }
    ScopedCoTaskMem(const ScopedCoTaskMem&) = delete;
    ScopedCoTaskMem& operator=(const ScopedCoTaskMem&) = delete;

    T* get() const { return m_ptr; }
    T** receive() { reset(); return &m_ptr; }
    void reset() { CoTaskMemFree(std::exchange(m_ptr, nullptr)); }

private:
    T* m_ptr = nullptr;
};

}  // namespace tavo
