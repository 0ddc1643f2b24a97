#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "agent/httprequest.h"

namespace tavo {

// Sends one request at a time over HTTPS through one reused libcurl easy handle: HTTP/1.1, TLS 1.0
// to 1.2 against the system's trusted roots, 5 seconds for the whole transfer, no redirects.
class HttpTransport {
public:
    // Most bytes kept of one answer's body, and of its header text; a longer answer fails.
    static constexpr size_t kMaxTransferText = 1024 * 1024;

    // Never throws; a step that fails is logged and the transport goes on.
    HttpTransport();
    ~HttpTransport();
    HttpTransport(const HttpTransport&) = delete;
    HttpTransport& operator=(const HttpTransport&) = delete;

    // 0 when an answer arrived (any status) and fills response; -3 otherwise, response untouched.
    int SendRequest(HttpRequest& request, HttpResponse& response);
    // Stops verifying the server's certificate chain, so that an untrusted server is answered; the
    // host-name check is left as it is. The agent never calls it.
    int setSecurityFlagsToIgnore();

    // Appends the bytes to the std::string at userData; 0 (failing the transfer) past the bound.
    static size_t WriteCallback(char* data, size_t size, size_t count, void* userData);
    // The same for header lines, except that a status line starts the text afresh: only the
    // final response's headers are kept.
    static size_t HeaderCallback(char* data, size_t size, size_t count, void* userData);

private:
    struct CurlCleanup {
        void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
    };
    struct HeaderListFree {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };
    using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;

    int setUserAgent(const std::string& userAgent);
    int setRequestHeader(const std::vector<std::string>& lines);
    int setProtocol(const std::string& scheme);
    int setUrl(const std::string& host, int port, const std::string& path);
    int doGet(HttpResponse& response);
    int doPost(const std::string& body, HttpResponse& response);
    int setupCurlRequest(std::string& headerText, std::string& bodyText);
    int parseCurlResponse(HttpResponse& response, const std::string& headerText, const std::string& bodyText);
    int setSupportedHttpVersion();
    int setSecurityProtocols();
    int setTimeouts(long seconds);

    std::unique_ptr<CURL, CurlCleanup> m_pCurl;
    HeaderList m_pHeaderList;
};

}  // namespace tavo
