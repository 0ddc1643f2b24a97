// A second process that shares a store: writes KEY COUNT times through the file store, with the
// values KEY-0 ... KEY-(COUNT-1), and reads KEY back after each write. Exits 0 when every write
// succeeded and every read-back found the value just written (no other writer undid it).
//   storewriter STOREFILE KEY COUNT
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/tavostatus.h"
#include "common/tavostorefileimpl.h"
#include "logging/tavologger.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: storewriter STOREFILE KEY COUNT\n");
        return 2;
    }
    char tempDir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, tempDir);
    CTAVOLogger::GetInstance(std::string(tempDir) + "storewriter.exe.log");

    tavo::CTAVOStoreFileImpl store;
    store.Initialize(argv[1]);
    const std::string key = argv[2];
    const long count = strtol(argv[3], nullptr, 10);
    for (long i = 0; i < count; ++i) {
        const std::string value = key + "-" + std::to_string(i);
        if (store.WriteKeyValue(key, value) != TAVO_OK) {
            fprintf(stderr, "write %ld of %s failed\n", i, key.c_str());
            return 1;
        }
        std::string stored;
        if (store.ReadKeyValue(key, stored) != TAVO_OK || stored != value) {
            fprintf(stderr, "%s read back as [%s] after writing [%s]\n", key.c_str(), stored.c_str(), value.c_str());
            return 3;
        }
    }
    return 0;
}
