#include "tests/support/udptestclient.h"

#include <windows.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <set>
#include <stdexcept>
#include <vector>

namespace tavo::test {

namespace {

sockaddr_in ipv4(unsigned long host, unsigned short port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host);
    return address;
}

sockaddr_in loopback(unsigned short port) {
    return ipv4(INADDR_LOOPBACK, port);
}

// One of the system's UDP tables of the address family, read whole.
std::vector<char> udpTable(ULONG family) {
    std::vector<char> table;
    DWORD size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    while (result == ERROR_INSUFFICIENT_BUFFER) {
        table.resize(size);
        result = GetExtendedUdpTable(table.data(), &size, FALSE, family, UDP_TABLE_BASIC, 0);
    }
    if (result != NO_ERROR) {
        throw std::runtime_error("GetExtendedUdpTable failed with " + std::to_string(result));
    }
    return table;
}

std::runtime_error socketError(const char* what) {
    return std::runtime_error(std::string(what) + " failed with " + std::to_string(WSAGetLastError()));
}

}  // namespace

UdpTestClient::UdpTestClient(unsigned short port, unsigned long host) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("WSAStartup failed");
    }
    m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = ipv4(host, port);
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

std::vector<std::string> UdpBindings(unsigned short port) {
    // Under Wine the tables come from the kernel's socket list, read in pieces while other
    // processes open and close sockets: one read can show a socket twice or leave it out. A
    // socket's binding holds while the test looks, so every address seen in a few reads is the
    // answer.
    constexpr int kReads = 5;
    std::set<std::string> bindings;
    char text[INET6_ADDRSTRLEN] = {};
    for (int read = 0; read < kReads; ++read) {
        const std::vector<char> table4 = udpTable(AF_INET);
        const auto* rows4 = reinterpret_cast<const MIB_UDPTABLE*>(table4.data());
        for (DWORD i = 0; i < rows4->dwNumEntries; ++i) {
            in_addr address = {};
            address.s_addr = rows4->table[i].dwLocalAddr;
            if (ntohs(static_cast<u_short>(rows4->table[i].dwLocalPort)) == port &&
                inet_ntop(AF_INET, &address, text, sizeof(text)) != nullptr) {
                bindings.insert(text);
            }
        }
        const std::vector<char> table6 = udpTable(AF_INET6);
        const auto* rows6 = reinterpret_cast<const MIB_UDP6TABLE*>(table6.data());
        for (DWORD i = 0; i < rows6->dwNumEntries; ++i) {
            if (ntohs(static_cast<u_short>(rows6->table[i].dwLocalPort)) == port &&
                inet_ntop(AF_INET6, &rows6->table[i].dwLocalAddr, text, sizeof(text)) != nullptr) {
                bindings.insert(std::string("[") + text + "]");
            }
        }
    }
    return {bindings.begin(), bindings.end()};
}

}  // namespace tavo::test
