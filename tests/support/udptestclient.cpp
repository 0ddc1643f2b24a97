#include "tests/support/udptestclient.h"

#include <windows.h>

#include <stdexcept>
#include <vector>

namespace tavo::test {

namespace {

sockaddr_in loopback(unsigned short port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::runtime_error socketError(const char* what) {
    return std::runtime_error(std::string(what) + " failed with " + std::to_string(WSAGetLastError()));
}

}  // namespace

UdpTestClient::UdpTestClient(unsigned short port) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("WSAStartup failed");
    }
    m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = loopback(port);
    int length = sizeof(address);
    if (m_socket == INVALID_SOCKET || bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::runtime_error error = socketError("binding a test socket");
        if (m_socket != INVALID_SOCKET) {
            closesocket(m_socket);
        }
        WSACleanup();
        throw error;
    }
    m_port = ntohs(address.sin_port);
}

UdpTestClient::~UdpTestClient() {
    closesocket(m_socket);
    WSACleanup();
}

void UdpTestClient::send(unsigned short toPort, const std::string& bytes) const {
    const sockaddr_in address = loopback(toPort);
    const int sent = sendto(m_socket, bytes.data(), static_cast<int>(bytes.size()), 0,
                            reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (sent != static_cast<int>(bytes.size())) {
        throw socketError("sendto");
    }
}

bool UdpTestClient::receive(std::string& bytes, unsigned long timeoutMs, unsigned short* fromPort) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::vector<char> buffer(65536);
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG left = deadline > now ? deadline - now : 0;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_socket, &readable);
        timeval wait = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0) {
            return false;
        }
        sockaddr_in from = {};
        int fromLength = sizeof(from);
        const int received = recvfrom(m_socket, buffer.data(), static_cast<int>(buffer.size()), 0,
                                      reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received >= 0) {
            bytes.assign(buffer.data(), static_cast<size_t>(received));
            if (fromPort != nullptr) {
                *fromPort = ntohs(from.sin_port);
            }
            return true;
        }
        // An earlier datagram of ours met a closed port; that is no answer, keep waiting.
        if (WSAGetLastError() != WSAECONNRESET) {
            return false;
        }
    }
}

unsigned short FreeUdpPort() {
    return UdpTestClient().port();
}

}  // namespace tavo::test
