#include "common/ipcmessage.h"

#include <cstring>

#include "common/tavostatus.h"
#include "logging/tavolog.h"

namespace tavo {

int IpcRefreshTokenRsp::Serialize(std::string& out) const {
    char bytes[sizeof(msgType) + sizeof(response)];
    memcpy(bytes, &msgType, sizeof(msgType));
    memcpy(bytes + sizeof(msgType), &response, sizeof(response));
    out.assign(bytes, sizeof(bytes));
    return TAVO_OK;
}

int GetMsgType(const std::string& msg, unsigned short& type) {
    type = 0;
    uint16_t word = 0;
    if (msg.size() < sizeof(word)) {
        TAVO_LOG(eLogError, false, "Failed to get the msg type");
        return TAVO_ERROR;
    }
    memcpy(&word, msg.data(), sizeof(word));
    type = word;
    return TAVO_OK;
}

}  // namespace tavo
