#include "tests/support/minidumpfile.h"

#include <cstring>

#include "tests/support/testutils.h"

namespace tavo::test {

namespace {

constexpr uint32_t kSignature = 0x504d444d;  // "MDMP"
constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kExceptionStream = 6;
constexpr size_t kThreadEntrySize = 48;

}  // namespace

uint32_t ReadUInt32(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    if (offset + 4 <= bytes.size()) {
        memcpy(&value, bytes.data() + offset, 4);
    }
    return value;
}

MinidumpFile::MinidumpFile(const std::string& path) : m_bytes(ReadFileBytes(path)) {
    if (m_bytes.size() < 32 || ReadUInt32(m_bytes, 0) != kSignature) {
        return;
    }
    const uint32_t count = ReadUInt32(m_bytes, 8);
    const uint32_t directory = ReadUInt32(m_bytes, 12);
    if (static_cast<uint64_t>(directory) + uint64_t{count} * 12 > m_bytes.size()) {
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = directory + size_t{i} * 12;
        const Entry entry = {ReadUInt32(m_bytes, at), ReadUInt32(m_bytes, at + 4), ReadUInt32(m_bytes, at + 8)};
        if (static_cast<uint64_t>(entry.rva) + entry.size > m_bytes.size()) {
            return;
        }
        m_streams.push_back(entry);
    }
    m_valid = true;
}

bool MinidumpFile::hasStream(uint32_t type) const {
    for (const Entry& entry : m_streams) {
        if (entry.type == type) {
            return true;
        }
    }
    return false;
}

std::string MinidumpFile::stream(uint32_t type) const {
    for (const Entry& entry : m_streams) {
        if (entry.type == type) {
            return m_bytes.substr(entry.rva, entry.size);
        }
    }
    return "";
}

// ThreadId, alignment, then the exception record, which begins with the code.
bool MinidumpFile::exception(uint32_t& threadId, uint32_t& code) const {
    const std::string bytes = stream(kExceptionStream);
    if (bytes.size() < 12) {
        return false;
    }
    threadId = ReadUInt32(bytes, 0);
    code = ReadUInt32(bytes, 8);
    return true;
}

std::vector<uint32_t> MinidumpFile::threadIds() const {
    const std::string bytes = stream(kThreadListStream);
    std::vector<uint32_t> ids;
    const uint32_t count = ReadUInt32(bytes, 0);
    for (uint32_t i = 0; i < count && 4 + (size_t{i} + 1) * kThreadEntrySize <= bytes.size(); ++i) {
        ids.push_back(ReadUInt32(bytes, 4 + size_t{i} * kThreadEntrySize));
    }
    return ids;
}

}  // namespace tavo::test
