#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/testutils.h"

namespace tavo::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One scripted answer of the stand-in service.
struct ServiceAnswer {
    ServiceAnswer(int status = 200, HeaderList headers = {}, std::string body = std::string(), double delaySeconds = 0)
        : status(status), headers(std::move(headers)), body(std::move(body)), delaySeconds(delaySeconds) {}

    // Sent as it is in place of an HTTP answer, and the connection closed ("" closes at once).
    static ServiceAnswer Raw(const std::string& bytes) {
        ServiceAnswer answer;
        answer.sendsRaw = true;
        answer.raw = bytes;
        return answer;
    }

    int status;
    HeaderList headers;  // sent in this order and letter case
    std::string body;
    double delaySeconds;
    // 1xx answers sent before this one (status and headers only).
    std::vector<ServiceAnswer> interim;
    bool sendsRaw = false;
    std::string raw;
};

// One request as the service received it.
struct ServiceRequest {
    std::string requestLine;
    std::string method;
    std::string path;
    HeaderList headers;
    std::string body;
    // The first header of that name in any letter case, or "".
    std::string header(const std::string& name) const;
};

// The identity/event service stand-in (tests/support/identityservice.py) as a Linux process of its
// own, on a free port of 127.0.0.1, with a state folder of its own. Wine starts a Linux program
// through CreateProcess but detaches it (no handle to wait on), so everything goes through the
// state folder: the port file, the script of answers, the request log, and the stop file. The
// first service of a test process also trusts the test CA in the prefix (trustca.exe).
class IdentityService {
public:
    // untrusted: the server's certificate comes from a CA that the prefix does not trust.
    // tls13Only: the server refuses every TLS version below 1.3.
    // Throws std::runtime_error when the service does not come up.
    explicit IdentityService(bool untrusted = false, bool tls13Only = false);
    ~IdentityService();
    IdentityService(const IdentityService&) = delete;
    IdentityService& operator=(const IdentityService&) = delete;

    int port() const { return m_port; }
    // "https://127.0.0.1:PORT" followed by path.
    std::string url(const std::string& path) const;
    // Replaces the answers of path: served in order, the last one repeating.
    void answer(const std::string& path, const std::vector<ServiceAnswer>& answers);
    // Every request received so far, in arrival order.
    std::vector<ServiceRequest> requests() const;
    // Waits up to timeoutMs for at least count requests.
    bool waitForRequests(size_t count, unsigned long timeoutMs) const;

private:
    TempDir m_state;
    int m_port = 0;
    std::map<std::string, std::vector<ServiceAnswer>> m_answers;
};

}  // namespace tavo::test
