#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace tavo {

enum eHttpMethod : int {
    eHttpGet = 0,
    eHttpPost = 1,
    eHttpHead = 2,
    eHttpDelete = 3,
};

// One request to a service: the URL split into host, port and path, and what is sent with it.
class HttpRequest {
public:
    // Longest URL that is matched at all: the matcher recurses once per character.
    static constexpr std::size_t kMaxUrlLength = 2048;

    // Throws std::invalid_argument("Unsupported URI encountered") for a URL outside the pattern.
    HttpRequest(eHttpMethod method, const std::string& url, const std::string& body);

    void SetUserAgent(const std::string& userAgent);
    // "Name: value" for each header, in map order.
    std::vector<std::string> GetHeaderLines() const;
    static std::string GetHttpMethodString(eHttpMethod method);
    // Keeps an existing value of the same name.
    void AddHeader(const std::string& name, const std::string& value);
    std::string GetHeader(const std::string& name) const;
    void RemoveHeader(const std::string& name);
    void SetContentType(const std::string& value);

    eHttpMethod m_eMethod;
    std::string m_strPath;
    std::string m_strHost;
    int m_iPort = 443;
    std::string m_strUserAgent;
    std::map<std::string, std::string> m_headers;
    std::string m_strBody;
};

// What came back for one request. Header names are kept as received.
struct HttpResponse {
    bool IsSuccess() const { return m_iStatusCode >= 200 && m_iStatusCode <= 299; }
    // Exact name, letter case included.
    std::string GetHeader(const std::string& name) const;
    // The value of the first header received whose name matches in any letter case.
    std::string GetHeaderAnyCase(const std::string& name) const;
    // Adds the "Name: value" lines of raw header text; the first occurrence of a name wins.
    void ParseHeaders(const std::string& rawHeaders);

    int m_iStatusCode = 0;
    std::map<std::string, std::string> m_headers;
    std::string m_strBody;
    // The names of m_headers in the order they arrived.
    std::vector<std::string> m_headerOrder;
};

}  // namespace tavo
