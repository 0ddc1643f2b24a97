#include "common/ipcserver.h"

#include <stdexcept>
#include <utility>

#include "common/tavostatus.h"
#include "logging/tavolog.h"

namespace tavo {

CIPCServer::CIPCServer(unsigned short port, IpcMessageCallback callback) : CIPCCommon(port) {
    if (!callback) {
        throw std::invalid_argument("callback function is null");
    }
    m_callback = std::move(callback);
    initialise();
}

// The receiver thread is joined before the callback goes, so no datagram can reach it half destroyed.
CIPCServer::~CIPCServer() {
    cleanup();
    m_callback = nullptr;
}

int CIPCServer::SendMsgAsync(const std::string& msg, unsigned short port) {
    const boost::asio::ip::udp::endpoint peer(boost::asio::ip::address_v4::loopback(), port);
    if (sendMsgToPeer(msg, peer) != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Error occurred while trying to send message to client.");
        return TAVO_ERROR;
    }
    TAVO_LOG(eLogDebug, false, "Successfully sent message to client at port %hu", port);
    return TAVO_OK;
}

// The endpoint's port is already in host order; the socket is bound to the loopback address, so
// only local processes reach it and the sender's address needs no check.
void CIPCServer::processIncomingMessage(const std::string& msg, const boost::asio::ip::udp::endpoint& sender) {
    const unsigned short port = sender.port();
    TAVO_LOG(eLogDebug, false, "Received incoming message from port %hu", port);
    m_callback(msg, port);
}

}  // namespace tavo
