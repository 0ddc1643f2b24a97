#pragma once

#include <cstdint>
#include <string>

namespace tavo {

// The first 16-bit word of every datagram on the agent's port.
enum eIpcMsgType : uint16_t {
    eMsgRefreshTokenReq = 1,
    eMsgRefreshTokenRsp = 2,
};

// The reply to a refresh request: exactly the two words below, each in host (little-endian) order.
// A request is any datagram of at least two bytes whose first word is eMsgRefreshTokenReq.
struct IpcRefreshTokenRsp {
    // Carried on the wire as its low 16 bits.
    enum eRefreshTokenResponse : int {
        eRefreshTokenNotHandled = 0,
        eRefreshTokenSuccess = 1,
        eRefreshTokenFailure = 2,
        eRefreshTokenCloudError = 3,
        eRefreshTokenRateLimited = 4,
    };

    uint16_t msgType;
    uint16_t response;

    // Replaces out with the four bytes of the reply; returns 0.
    int Serialize(std::string& out) const;
};

// The datagram's first word in host order; 0 with -3 when it holds fewer than two bytes.
int GetMsgType(const std::string& msg, unsigned short& type);

}  // namespace tavo
