#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>

#include "common/ipcmessage.h"
#include "common/ipcserver.h"
#include "common/tavostatus.h"

namespace tavo {

// The completion of one accepted refresh, called once with its result code.
using RefreshTokenCallback = std::function<void(IpcRefreshTokenRsp::eRefreshTokenResponse)>;

// The agent's entry point for a refresh. It is called under the IPC agent's lock, so it must return
// without calling the completion or the IPC agent; a non-zero status refuses the refresh.
using RefreshTokenHandler = std::function<TAVO_STATUS(RefreshTokenCallback)>;

// The refresh-token front end on 127.0.0.1:60110: forwards at most one refresh at a time to the
// registered handler and answers every client that asked meanwhile with the same code.
class CIPCAgent {
public:
    static constexpr unsigned short kPort = 60110;
    // Clients that may wait for one refresh; later ones are answered at once with a failure.
    static constexpr std::size_t kMaxPendingClients = 1024;

    // Datagrams are handled from the moment it returns; throws what the server's constructor throws.
    CIPCAgent();

    // Replaces the handler; returns 0.
    int RegisterRefreshTokenHandler(RefreshTokenHandler handler);

private:
    void handleReceivedIpcMessage(const std::string& msg, unsigned short clientPort);
    void handleRefreshTokenResponse(IpcRefreshTokenRsp::eRefreshTokenResponse code);

    RefreshTokenHandler m_refreshTokenHandler;
    std::mutex m_mutex;
    std::list<unsigned short> m_lstPendingClientPorts;
    CIPCServer m_ipcServer;
};

}  // namespace tavo
