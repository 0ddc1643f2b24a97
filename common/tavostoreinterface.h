#pragma once

#include <string>

namespace tavo {

// A key-value store of strings. Results are TAVO_STATUS values: 0 is success.
class ITAVOStoreInterface {
public:
    virtual ~ITAVOStoreInterface() = default;

    // Binds the store to its location; 0 means ready.
    virtual int Initialize(const std::string& path) = 0;
    // The value of one key; 0 means found.
    virtual int ReadKeyValue(const std::string& key, std::string& value) = 0;
    // Inserts or replaces one key; 0 means written.
    virtual int WriteKeyValue(const std::string& key, const std::string& value) = 0;
};

}  // namespace tavo
