#include "common/ipccommon.h"

#include <boost/asio/post.hpp>

#include <new>
#include <stdexcept>

#include "common/tavostatus.h"
#include "logging/tavolog.h"

namespace tavo {

using boost::asio::ip::udp;

CIPCCommon::CIPCCommon(unsigned short port)
    : m_port(port), m_strIPAddress("127.0.0.1"), m_senderEndpoint(udp::v4(), 0) {}

CIPCCommon::~CIPCCommon() {
    cleanup();
}

void CIPCCommon::initialise() {
    m_ptrRecvBuffer.reset(new (std::nothrow) char[kRecvBufferSize]);
    if (!m_ptrRecvBuffer) {
        TAVO_LOG(eLogError, false, "Memory Allocation failed");
        cleanup();
        throw std::bad_alloc();
    }
    std::future<bool> started = m_recvThreadStarted.get_future();
    if (setupRecvSocketThread() != TAVO_OK) {
        TAVO_LOG(eLogError, false, "setupRecvSocketThread failed.");
        throw std::runtime_error("Failure in setupRecvSocketThread");
    }
    if (started.get()) {
        TAVO_LOG(eLogDebug, false, "Receiver thread has started...");
    }
}

int CIPCCommon::setupRecvSocketThread() {
    try {
        m_ptrAsyncSocket.reset(new (std::nothrow) udp::socket(m_ioContext));
        if (!m_ptrAsyncSocket) {
            TAVO_LOG(eLogError, false, "Memory allocation failed");
            return TAVO_FAIL;
        }
        m_ptrAsyncSocket->open(udp::v4());
        const boost::asio::ip::address_v4 address = boost::asio::ip::make_address_v4(m_strIPAddress);
        // No address reuse: a port that another socket holds must make the bind fail.
        boost::system::error_code error;
        m_ptrAsyncSocket->bind(udp::endpoint(address, m_port), error);
        if (error) {
            TAVO_LOG(eLogError, false, "Failed to open/bind to a port. Error: %s", error.message().c_str());
            m_ptrAsyncSocket->close(error);
            m_ptrAsyncSocket.reset();
            return TAVO_FAIL;
        }
    } catch (const std::exception& e) {
        TAVO_LOG(eLogError, false, "setupRecvThread exception occurred while opening a socket: %s", e.what());
        m_ptrAsyncSocket.reset();
        return TAVO_FAIL;
    }

    try {
        m_recvThread = std::thread(&CIPCCommon::recvThreadProc, this);
    } catch (const std::exception& e) {
        TAVO_LOG(eLogError, false, "setupRecvThread: Recv Thread startup failure: %s", e.what());
        boost::system::error_code ignored;
        m_ptrAsyncSocket->close(ignored);
        m_ptrAsyncSocket.reset();
        return TAVO_FAIL;
    }
    return TAVO_OK;
}

void CIPCCommon::recvThreadProc() {
    TAVO_LOG(eLogDebug, false, "Receiver Thread started.");
    const bool open = m_ptrAsyncSocket && m_ptrAsyncSocket->is_open();
    if (open) {
        armReceive();
    }
    // Always answered, so that the constructing thread can never wait forever.
    m_recvThreadStarted.set_value(open);
    if (open && !m_ioContext.stopped()) {
        m_ioContext.run();
    }
    TAVO_LOG(eLogDebug, false, "Receiver Thread exiting.");
}

void CIPCCommon::armReceive() {
    auto completion = [this](const boost::system::error_code& error, std::size_t bytes) {
        handleReceive(error, bytes);
    };
    m_ptrAsyncSocket->async_receive_from(boost::asio::buffer(m_ptrRecvBuffer.get(), kRecvBufferSize), m_senderEndpoint,
                                         HandlerWithMemory(m_recvOpMemory, completion));
}

// Only the byte count decides: a failed receive (such as the report of an earlier send to a port
// where nobody listens) carries no bytes and only re-arms.
void CIPCCommon::handleReceive(const boost::system::error_code& error, std::size_t bytes) {
    if (bytes != 0) {
        // What the handling throws (a log line out of memory) costs this datagram alone: let through,
        // it would leave the I/O loop and end the process.
        try {
            const std::string msg(m_ptrRecvBuffer.get(), bytes < kMaxMessageSize ? bytes : kMaxMessageSize);
            TAVO_LOG(eLogDebug, false, "Received message of length %lu.", static_cast<unsigned long>(msg.size()));
            processIncomingMessage(msg, m_senderEndpoint);
        } catch (const std::exception& e) {
            TAVO_LOG_NOTHROW(eLogError, false, "Dropped received message: %s", e.what());
        }
    }
    if (m_ptrAsyncSocket && m_ptrAsyncSocket->is_open()) {
        armReceive();
    }
}

int CIPCCommon::sendMsgToPeer(const std::string& msg, const udp::endpoint& peer) {
    if (!m_ptrAsyncSocket) {
        TAVO_LOG(eLogError, false, "IPC socket is not initialised");
        return TAVO_NOT_INITIALIZED;
    }
    std::unique_ptr<char[]> copy(new (std::nothrow) char[msg.size()]);
    if (!copy) {
        TAVO_LOG(eLogError, false, "Failed to allocate memory.");
        return TAVO_OUT_OF_MEMORY;
    }
    msg.copy(copy.get(), msg.size());
    const std::size_t length = msg.size();
    TAVO_LOG(eLogDebug, false, "Sending message of length %lu.", static_cast<unsigned long>(length));
    // The closure owns the copy, so it is released whether or not the send ever runs.
    boost::asio::post(m_ioContext, [this, copy = std::move(copy), length, peer]() {
        sendPostedMessage(copy.get(), length, peer);
    });
    return TAVO_OK;
}

void CIPCCommon::sendPostedMessage(const char* bytes, std::size_t length, const udp::endpoint& peer) {
    try {
        if (m_ptrAsyncSocket && m_ptrAsyncSocket->is_open()) {
            m_ptrAsyncSocket->send_to(boost::asio::buffer(bytes, length), peer, 0);
        }
    } catch (const boost::system::system_error& e) {
        // No-throw: this runs on the I/O loop, which a throw would leave.
        TAVO_LOG_NOTHROW(eLogError, false, "socket send failure = %s", e.what());
    }
}

void CIPCCommon::cleanup() {
    m_ioContext.stop();
    if (m_recvThread.joinable()) {
        m_recvThread.join();
    }
    if (!m_ptrAsyncSocket) {
        return;
    }
    try {
        m_ptrAsyncSocket->cancel();
        m_ptrAsyncSocket->shutdown(udp::socket::shutdown_both);
        m_ptrAsyncSocket->close();
    } catch (const boost::system::system_error& e) {
        TAVO_LOG(eLogWarning, false, "m_ptrAsyncSocket close exception [%s]", e.what());
    }
    m_ptrAsyncSocket.reset();
}

}  // namespace tavo
