#pragma once

#include <winsock2.h>

#include <string>
#include <vector>

namespace tavo::test {

// A plain Winsock UDP socket, on 127.0.0.1 unless told otherwise, standing in for a local client.
// Every receive is bounded by a timeout.
class UdpTestClient {
public:
    // Binds address:port (port 0 for any free port; address in host order); throws
    // std::runtime_error when that fails.
    explicit UdpTestClient(unsigned short port = 0, unsigned long address = INADDR_LOOPBACK);
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

// The local addresses of the UDP sockets on port, as the system's UDP tables report them, each
// once and sorted: IPv4 dotted ("127.0.0.1"), IPv6 in brackets ("[::]"). Throws
// std::runtime_error when a table cannot be read.
std::vector<std::string> UdpBindings(unsigned short port);

}  // namespace tavo::test
