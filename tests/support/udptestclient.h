#pragma once

#include <winsock2.h>

#include <string>

namespace tavo::test {

// A plain Winsock UDP socket on 127.0.0.1, standing in for a local client. Every receive is
// bounded by a timeout.
class UdpTestClient {
public:
    // Binds 127.0.0.1:port (0 for any free port); throws std::runtime_error when that fails.
    explicit UdpTestClient(unsigned short port = 0);
    ~UdpTestClient();
    UdpTestClient(const UdpTestClient&) = delete;
    UdpTestClient& operator=(const UdpTestClient&) = delete;

    unsigned short port() const { return m_port; }

    // One datagram to 127.0.0.1:toPort; throws std::runtime_error when it cannot be sent.
    void send(unsigned short toPort, const std::string& bytes) const;

    // The next datagram that arrives within timeoutMs, and the port it came from; false when none.
    bool receive(std::string& bytes, unsigned long timeoutMs, unsigned short* fromPort = nullptr) const;

private:
    SOCKET m_socket = INVALID_SOCKET;
    unsigned short m_port = 0;
};

// A port of 127.0.0.1 that no socket held a moment ago.
unsigned short FreeUdpPort();

}  // namespace tavo::test
