#include "agent/httprequest.h"

#include <cctype>
#include <regex>
#include <stdexcept>

#include "common/tavoutils.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

// Groups: 1 host, 2 port, 3 path.
const std::regex& urlPattern() {
    static const std::regex pattern("(?:https://)?([^/ :]+)(?::([0-9]{1,5}))?(/[^:#?\\s]*)?",
                                    std::regex::ECMAScript | std::regex::icase);
    return pattern;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        if (x != y && !(x < 0x80 && y < 0x80 && tolower(x) == tolower(y))) {
            return false;
        }
    }
    return true;
}

}  // namespace

HttpRequest::HttpRequest(eHttpMethod method, const std::string& url, const std::string& body)
    : m_eMethod(method), m_strBody(body) {
    std::smatch match;
    if (url.size() > kMaxUrlLength || !std::regex_match(url, match, urlPattern())) {
        throw std::invalid_argument("Unsupported URI encountered");
    }
    m_strHost = match[1].str();
    m_strPath = match[3].str();
    if (match[2].length() > 0) {
        m_iPort = std::stoi(match[2].str());
    }
    m_headers.emplace("Content-Type", "application/json");
}

void HttpRequest::SetUserAgent(const std::string& userAgent) {
    m_strUserAgent = userAgent;
}

std::vector<std::string> HttpRequest::GetHeaderLines() const {
    std::vector<std::string> lines;
    for (const auto& header : m_headers) {
        lines.push_back(header.first + ": " + header.second);
    }
    return lines;
}

std::string HttpRequest::GetHttpMethodString(eHttpMethod method) {
    switch (method) {
        case eHttpGet:
            return "GET";
        case eHttpPost:
            return "POST";
        case eHttpHead:
            return "HEAD";
        case eHttpDelete:
            return "DELETE";
    }
    TAVO_LOG(eLogError, false, "Unknown HTTP Request Method");
    return std::string();
}

void HttpRequest::AddHeader(const std::string& name, const std::string& value) {
    m_headers.emplace(name, value);
}

std::string HttpRequest::GetHeader(const std::string& name) const {
    const auto found = m_headers.find(name);
    return found == m_headers.end() ? std::string() : found->second;
}

void HttpRequest::RemoveHeader(const std::string& name) {
    m_headers.erase(name);
}

void HttpRequest::SetContentType(const std::string& value) {
    m_headers.emplace("Content-Type", value);
}

std::string HttpResponse::GetHeader(const std::string& name) const {
    const auto found = m_headers.find(name);
    return found == m_headers.end() ? std::string() : found->second;
}

std::string HttpResponse::GetHeaderAnyCase(const std::string& name) const {
    for (const std::string& received : m_headerOrder) {
        if (equalsIgnoringCase(received, name)) {
            return GetHeader(received);
        }
    }
    return std::string();
}

void HttpResponse::ParseHeaders(const std::string& rawHeaders) {
    size_t start = 0;
    size_t end = rawHeaders.find_first_of("\r\n");
    while (end != std::string::npos) {
        const std::string line = rawHeaders.substr(start, end - start);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            std::string value = line.substr(colon + 1);
            Trim(name);
            Trim(value);
            if (m_headers.emplace(name, value).second) {
                m_headerOrder.push_back(name);
            }
        }
        start = end + 1;
        if (start >= rawHeaders.size()) {
            break;
        }
        end = rawHeaders.find_first_of("\r\n", start);
    }
}

}  // namespace tavo
