#pragma once

#include <functional>
#include <string>

#include "common/ipccommon.h"

namespace tavo {

using IpcMessageCallback = std::function<void(const std::string& msg, unsigned short clientPort)>;

// The endpoint on 127.0.0.1:port that hands every datagram, with its sender's port, to a callback
// on the receiver thread, and sends replies to 127.0.0.1.
class CIPCServer : public CIPCCommon {
public:
    // Returns once datagrams are being received; throws std::invalid_argument for an empty
    // callback and std::runtime_error when the port cannot be bound or the thread not started.
    CIPCServer(unsigned short port, IpcMessageCallback callback);
    ~CIPCServer() override;

    // Queues msg for 127.0.0.1:port; 0 when queued, -3 otherwise. Callable from any thread.
    int SendMsgAsync(const std::string& msg, unsigned short port);

protected:
    void processIncomingMessage(const std::string& msg, const boost::asio::ip::udp::endpoint& sender) override;

private:
    IpcMessageCallback m_callback;
};

}  // namespace tavo
