#include "agent/ipcagent.h"

#include <cstdint>
#include <utility>

#include "logging/tavolog.h"

namespace tavo {

namespace {

std::string serializeRsp(IpcRefreshTokenRsp::eRefreshTokenResponse code) {
    const IpcRefreshTokenRsp rsp = {eMsgRefreshTokenRsp, static_cast<uint16_t>(code)};
    std::string bytes;
    rsp.Serialize(bytes);
    return bytes;
}

}  // namespace

CIPCAgent::CIPCAgent()
    : m_ipcServer(kPort, [this](const std::string& msg, unsigned short clientPort) {
          handleReceivedIpcMessage(msg, clientPort);
      }) {}

int CIPCAgent::RegisterRefreshTokenHandler(RefreshTokenHandler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_refreshTokenHandler = std::move(handler);
    return TAVO_OK;
}

void CIPCAgent::handleReceivedIpcMessage(const std::string& msg, unsigned short clientPort) {
    unsigned short type = 0;
    if (GetMsgType(msg, type) != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Invalid Message received from IPC");
        return;
    }
    TAVO_LOG(eLogDebug, false, "Received IPC Message from client[%d]", clientPort);
    if (type != eMsgRefreshTokenReq) {
        TAVO_LOG(eLogError, false, "Invalid message [type = %d ] received from TAVO Client", type);
        return;
    }

    // Queuing the port in the same hold as the handler call means no completion can overtake it.
    std::lock_guard<std::mutex> lock(m_mutex);
    IpcRefreshTokenRsp::eRefreshTokenResponse immediateCode = IpcRefreshTokenRsp::eRefreshTokenFailure;
    if (!m_lstPendingClientPorts.empty()) {
        if (m_lstPendingClientPorts.size() < kMaxPendingClients) {
            m_lstPendingClientPorts.push_back(clientPort);
            return;
        }
        TAVO_LOG(eLogError, false, "Too many clients waiting for the refresh, Client[%d] not queued", clientPort);
    } else if (!m_refreshTokenHandler) {
        TAVO_LOG(eLogError, false, "No Refresh Token Handler Registered by Agent");
        immediateCode = IpcRefreshTokenRsp::eRefreshTokenNotHandled;
    } else {
        TAVO_LOG(eLogDebug, false, "Invoking Refresh Token Handler Registered by Agent");
        // Queued before the call: once the handler has accepted, nothing may fail before the port
        // is in the list, or the refresh would end with nobody to answer and every later client
        // refused while it runs.
        m_lstPendingClientPorts.push_back(clientPort);
        TAVO_STATUS status = TAVO_FAIL;
        try {
            status = m_refreshTokenHandler(
                [this](IpcRefreshTokenRsp::eRefreshTokenResponse code) { handleRefreshTokenResponse(code); });
        } catch (...) {
            m_lstPendingClientPorts.pop_back();
            throw;
        }
        if (status == TAVO_OK) {
            return;
        }
        m_lstPendingClientPorts.pop_back();
        // A refused refresh has no completion coming; a queued port would keep every later client waiting.
        TAVO_LOG(eLogError, false, "Refresh Token Handler refused the request [status = %d]", static_cast<int>(status));
    }

    // A client that is not queued is answered at once.
    if (m_ipcServer.SendMsgAsync(serializeRsp(immediateCode), clientPort) != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Sending FailRspMsg to Client[%d] failed", clientPort);
    } else {
        TAVO_LOG(eLogDebug, false, "Sent FailRspMsg to Client[%d]", clientPort);
    }
}

void CIPCAgent::handleRefreshTokenResponse(IpcRefreshTokenRsp::eRefreshTokenResponse code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Taken out first: should answering throw, the refresh is still over and the next request
    // starts a new one rather than waiting behind an answer that never comes.
    std::list<unsigned short> clientPorts;
    clientPorts.swap(m_lstPendingClientPorts);
    const std::string rsp = serializeRsp(code);
    for (unsigned short clientPort : clientPorts) {
        if (m_ipcServer.SendMsgAsync(rsp, clientPort) != TAVO_OK) {
            TAVO_LOG(eLogError, false, "Sending RspMsg to Client[%d] failed", clientPort);
        } else {
            TAVO_LOG(eLogDebug, false, "Sent RspMsg to Client[%d]", clientPort);
        }
    }
}

}  // namespace tavo
