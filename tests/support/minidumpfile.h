#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavo::test {

// A minidump file read back: its header and its streams, by type.
class MinidumpFile {
public:
    explicit MinidumpFile(const std::string& path);

    // The file begins with "MDMP" and its stream directory lies within it.
    bool valid() const { return m_valid; }
    bool hasStream(uint32_t type) const;
    // The stream's bytes; empty when the dump has no such stream.
    std::string stream(uint32_t type) const;

    // From the exception stream; false without one.
    bool exception(uint32_t& threadId, uint32_t& code) const;
    // The ids of the thread list stream.
    std::vector<uint32_t> threadIds() const;

private:
    struct Entry {
        uint32_t type;
        uint32_t size;
        uint32_t rva;
    };
    std::string m_bytes;
    std::vector<Entry> m_streams;
    bool m_valid = false;
};

// 32-bit little-endian value at offset of bytes (0 past the end).
uint32_t ReadUInt32(const std::string& bytes, size_t offset);

}  // namespace tavo::test
