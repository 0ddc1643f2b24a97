#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "common/handlermemory.h"

namespace tavo {

// A UDP socket bound to 127.0.0.1 and a receiver thread that runs its I/O loop. Received datagrams
// and queued sends are all handled on that thread, one at a time, in the order they arrive.
class CIPCCommon {
public:
    // Longest message handed over; longer datagrams are cut to it.
    static constexpr std::size_t kMaxMessageSize = 4096;
    // The receive buffer holds any datagram whole. A receive that the platform has to cut, when the
    // datagram is already waiting, fails at once and still posts its completion, so the operation
    // would complete twice and its freed memory be used again.
    static constexpr std::size_t kRecvBufferSize = 65536;

    explicit CIPCCommon(unsigned short port);
    virtual ~CIPCCommon();
    CIPCCommon(const CIPCCommon&) = delete;
    CIPCCommon& operator=(const CIPCCommon&) = delete;

    // Stops the loop (sends queued before still go out), joins the receiver thread and closes the
    // socket. Nothing restarts the endpoint; calling it again does nothing.
    void cleanup();

protected:
    // Called on the receiver thread for every datagram that holds at least one byte.
    virtual void processIncomingMessage(const std::string& msg, const boost::asio::ip::udp::endpoint& sender) = 0;

    // Second stage of construction, once the derived part is ready for datagrams: returns when the
    // receiver thread has armed its first receive; throws on failure.
    void initialise();

    // Queues msg for peer; 0 (not sent yet), -9 or -10. Callable from any thread.
    int sendMsgToPeer(const std::string& msg, const boost::asio::ip::udp::endpoint& peer);

private:
    int setupRecvSocketThread();
    void recvThreadProc();
    void armReceive();
    void handleReceive(const boost::system::error_code& error, std::size_t bytes);
    void sendPostedMessage(const char* bytes, std::size_t length, const boost::asio::ip::udp::endpoint& peer);

    // The receive in flight lives here, so that re-arming cannot run out of memory. Declared before
    // the I/O context, which releases a receive still pending when it goes.
    HandlerMemory m_recvOpMemory;
    boost::asio::io_context m_ioContext;
    unsigned short m_port;
    std::string m_strIPAddress;
    std::thread m_recvThread;
    boost::asio::ip::udp::endpoint m_senderEndpoint;
    std::unique_ptr<boost::asio::ip::udp::socket> m_ptrAsyncSocket;
    std::unique_ptr<char[]> m_ptrRecvBuffer;
    std::promise<bool> m_recvThreadStarted;
};

}  // namespace tavo
