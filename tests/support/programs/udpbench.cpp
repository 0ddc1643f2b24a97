// Round trips of datagrams on 127.0.0.1, measured inside Wine for the benchmark script.
//   udpbench echo PORT          answers every datagram with its own bytes until killed
//   udpbench ping PORT COUNT    sends COUNT refresh requests one after another, each after the
//                               previous answer, and prints "p50_us=N p99_us=N replies=N"
#include <winsock2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

SOCKET bindLoopback(unsigned short port) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        fprintf(stderr, "cannot bind 127.0.0.1:%u\n", port);
        exit(3);
    }
    return s;
}

int echo(unsigned short port) {
    SOCKET s = bindLoopback(port);
    char buffer[4096];
    for (;;) {
        sockaddr_in from = {};
        int fromLength = sizeof(from);
        const int n = recvfrom(s, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n >= 0) {
            sendto(s, buffer, n, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
        }
    }
}

int ping(unsigned short port, int count) {
    SOCKET s = bindLoopback(0);
    DWORD timeoutMs = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const char request[2] = {1, 0};
    char buffer[4096];
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        sendto(s, request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        if (recv(s, buffer, sizeof(buffer), 0) < 0) {
            continue;
        }
        QueryPerformanceCounter(&end);
        micros.push_back(static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart);
    }
    if (micros.empty()) {
        printf("p50_us=0 p99_us=0 replies=0\n");
        return 1;
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) { return micros[static_cast<size_t>(q * (micros.size() - 1))]; };
    printf("p50_us=%.0f p99_us=%.0f replies=%u\n", at(0.5), at(0.99), static_cast<unsigned>(micros.size()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    if (argc == 3 && strcmp(argv[1], "echo") == 0) {
        return echo(static_cast<unsigned short>(atoi(argv[2])));
    }
    if (argc == 4 && strcmp(argv[1], "ping") == 0) {
        return ping(static_cast<unsigned short>(atoi(argv[2])), atoi(argv[3]));
    }
    fprintf(stderr, "usage: udpbench echo PORT | udpbench ping PORT COUNT\n");
    return 2;
}
