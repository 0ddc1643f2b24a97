#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace tavo {

// Memory kept for one asynchronous operation at a time, so that starting the operation again
// allocates nothing and cannot fail for want of memory. A second operation while the first is in
// flight, or one that does not fit, takes memory from the heap.
class HandlerMemory {
public:
    // Room for a socket operation of Asio, which takes a few hundred bytes.
    static constexpr std::size_t kSize = 1024;

    HandlerMemory() = default;
    HandlerMemory(const HandlerMemory&) = delete;
    HandlerMemory& operator=(const HandlerMemory&) = delete;

    void* allocate(std::size_t size) {
        if (!m_inUse && size <= kSize) {
            m_inUse = true;
            return m_storage;
        }
        return ::operator new(size);
    }

    void deallocate(void* pointer) noexcept {
        if (pointer == m_storage) {
            m_inUse = false;
            return;
        }
        ::operator delete(pointer);
    }

private:
    alignas(std::max_align_t) unsigned char m_storage[kSize];
    bool m_inUse = false;
};

// The allocator that Asio finds on a handler (its get_allocator) for the operation's memory.
template <typename T>
class HandlerMemoryAllocator {
public:
    using value_type = T;

    explicit HandlerMemoryAllocator(HandlerMemory& memory) noexcept : m_memory(&memory) {}
    template <typename U>
    HandlerMemoryAllocator(const HandlerMemoryAllocator<U>& other) noexcept : m_memory(other.m_memory) {}

    T* allocate(std::size_t count) { return static_cast<T*>(m_memory->allocate(count * sizeof(T))); }
    void deallocate(T* pointer, std::size_t) noexcept { m_memory->deallocate(pointer); }

    template <typename U>
    bool operator==(const HandlerMemoryAllocator<U>& other) const noexcept {
        return m_memory == other.m_memory;
    }
    template <typename U>
    bool operator!=(const HandlerMemoryAllocator<U>& other) const noexcept {
        return m_memory != other.m_memory;
    }

private:
    template <typename>
    friend class HandlerMemoryAllocator;

    HandlerMemory* m_memory;
};

// A completion handler whose operation lives in the given memory.
template <typename Handler>
class HandlerWithMemory {
public:
    using allocator_type = HandlerMemoryAllocator<Handler>;

    HandlerWithMemory(HandlerMemory& memory, Handler handler) : m_memory(&memory), m_handler(std::move(handler)) {}

    allocator_type get_allocator() const noexcept { return allocator_type(*m_memory); }

    template <typename... Args>
    void operator()(Args&&... args) {
        m_handler(std::forward<Args>(args)...);
    }

private:
    HandlerMemory* m_memory;
    Handler m_handler;
};

}  // namespace tavo
