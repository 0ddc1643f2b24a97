#include "agent/httptransport.h"

#include <windows.h>

#include <cstring>

#include "common/tavostatus.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

size_t appendBounded(const char* data, size_t size, size_t count, std::string& text) {
    const size_t bytes = size * count;
    if (bytes > HttpTransport::kMaxTransferText - text.size()) {
        return 0;
    }
    try {
        text.append(data, bytes);
    } catch (...) {
        // Nothing may be thrown through libcurl's frames; 0 fails the transfer instead.
        return 0;
    }
    return bytes;
}

// True when a libcurl call failed, which is then logged as "libcurl error: %d %s" under the name and
// line of the step that made the call (CURL_FAILED passes them). Never throws: the logger's strings
// can throw std::bad_alloc, and the constructor, which runs these steps, must not.
bool curlFailed(CURLcode code, const char* functionName, long line) {
    if (code == CURLE_OK) {
        return false;
    }
    try {
        CTAVOLogger::GetInstance(std::string())
            .log(eLogError, false, __FILE_NAME__, functionName, line, "libcurl error: %d %s", code,
                 curl_easy_strerror(code));
    } catch (...) {
    }
    return true;
}

#define CURL_FAILED(code) curlFailed((code), __PRETTY_FUNCTION__, __LINE__)

}  // namespace

HttpTransport::HttpTransport() {
    // libcurl appends the secrets of every TLS session to the file that SSLKEYLOGFILE names when it
    // starts; with them a captured exchange gives up the token and the installer key. The agent
    // writes no key material anywhere.
    SetEnvironmentVariableW(L"SSLKEYLOGFILE", nullptr);
    CURL_FAILED(curl_global_init(CURL_GLOBAL_ALL));
    m_pCurl.reset(curl_easy_init());
    if (setSupportedHttpVersion() != TAVO_OK) {
        TAVO_LOG_NOTHROW(eLogError, false, "unable to initialize http version");
    }
    if (setSecurityProtocols() != TAVO_OK) {
        TAVO_LOG_NOTHROW(eLogError, false, "unable to initialize security protocols");
    }
    CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA)));
    if (setTimeouts(5) != TAVO_OK) {
        TAVO_LOG_NOTHROW(eLogError, false, "unable to set timeout values");
    }
}

HttpTransport::~HttpTransport() = default;

int HttpTransport::setSupportedHttpVersion() {
    return CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)))
               ? TAVO_ERROR
               : TAVO_OK;
}

int HttpTransport::setSecurityProtocols() {
    return CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_SSLVERSION,
                                        static_cast<long>(CURL_SSLVERSION_TLSv1_0 | CURL_SSLVERSION_MAX_TLSv1_2)))
               ? TAVO_ERROR
               : TAVO_OK;
}

int HttpTransport::setTimeouts(long seconds) {
    return CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_TIMEOUT, seconds)) ? TAVO_ERROR : TAVO_OK;
}

int HttpTransport::setSecurityFlagsToIgnore() {
    return CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_SSL_VERIFYPEER, 0L)) ? TAVO_ERROR : TAVO_OK;
}

int HttpTransport::setUserAgent(const std::string& userAgent) {
    return CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_USERAGENT, userAgent.c_str())) ? TAVO_ERROR : TAVO_OK;
}

int HttpTransport::setRequestHeader(const std::vector<std::string>& lines) {
    // The new list is complete before it replaces the old one, so a failed append leaves nothing
    // half-built behind.
    HeaderList list;
    for (const std::string& line : lines) {
        curl_slist* head = curl_slist_append(list.get(), line.c_str());
        if (head == nullptr) {
            TAVO_LOG(eLogError, false, "curl_slist_append failed");
            return TAVO_ERROR;
        }
        list.release();
        list.reset(head);
    }
    if (CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_HTTPHEADER, list.get()))) {
        return TAVO_ERROR;
    }
    m_pHeaderList = std::move(list);
    return TAVO_OK;
}

int HttpTransport::setProtocol(const std::string& scheme) {
    return CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_DEFAULT_PROTOCOL, scheme.c_str())) ? TAVO_ERROR
                                                                                                  : TAVO_OK;
}

int HttpTransport::setUrl(const std::string& host, int port, const std::string& path) {
    const std::string url = host + ":" + std::to_string(port) + path;
    return CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_URL, url.c_str())) ? TAVO_ERROR : TAVO_OK;
}

int HttpTransport::SendRequest(HttpRequest& request, HttpResponse& response) {
    if (setUserAgent(request.m_strUserAgent) != TAVO_OK) {
        TAVO_LOG(eLogError, false, "unable to set curl user agent");
        return TAVO_ERROR;
    }
    if (setRequestHeader(request.GetHeaderLines()) != TAVO_OK) {
        TAVO_LOG(eLogError, false, "unable to set request header");
        return TAVO_ERROR;
    }
    if (setProtocol("https") != TAVO_OK) {
        TAVO_LOG(eLogError, false, "unable to set protocol(scheme) for schemeless URLs ");
        return TAVO_ERROR;
    }
    if (setUrl(request.m_strHost, request.m_iPort, request.m_strPath) != TAVO_OK) {
        TAVO_LOG(eLogError, false, "unable to set curl url");
        return TAVO_ERROR;
    }
    switch (request.m_eMethod) {
        case eHttpGet:
            return doGet(response);
        case eHttpPost:
            return doPost(request.m_strBody, response);
        default:
            TAVO_LOG(eLogError, false, "unknown HTTP request method");
            return TAVO_ERROR;
    }
}

int HttpTransport::doGet(HttpResponse& response) {
    std::string headerText;
    std::string bodyText;
    if (CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_HTTPGET, 1L)) ||
        setupCurlRequest(headerText, bodyText) != TAVO_OK || CURL_FAILED(curl_easy_perform(m_pCurl.get()))) {
        return TAVO_ERROR;
    }
    return parseCurlResponse(response, headerText, bodyText);
}

int HttpTransport::doPost(const std::string& body, HttpResponse& response) {
    std::string headerText;
    std::string bodyText;
    if (CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_POST, 1L)) ||
        setupCurlRequest(headerText, bodyText) != TAVO_OK ||
        CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_POSTFIELDS, body.c_str())) ||
        CURL_FAILED(curl_easy_perform(m_pCurl.get()))) {
        return TAVO_ERROR;
    }
    return parseCurlResponse(response, headerText, bodyText);
}

int HttpTransport::setupCurlRequest(std::string& headerText, std::string& bodyText) {
    if (CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_WRITEFUNCTION, &HttpTransport::WriteCallback)) ||
        CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_WRITEDATA, &bodyText)) ||
        CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_HEADERFUNCTION, &HttpTransport::HeaderCallback)) ||
        CURL_FAILED(curl_easy_setopt(m_pCurl.get(), CURLOPT_HEADERDATA, &headerText))) {
        return TAVO_ERROR;
    }
    return TAVO_OK;
}

int HttpTransport::parseCurlResponse(HttpResponse& response, const std::string& headerText,
                                     const std::string& bodyText) {
    long status = 0;
    if (CURL_FAILED(curl_easy_getinfo(m_pCurl.get(), CURLINFO_RESPONSE_CODE, &status))) {
        return TAVO_ERROR;
    }
    response.m_iStatusCode = static_cast<int>(status);
    response.ParseHeaders(headerText);
    response.m_strBody = bodyText;
    return TAVO_OK;
}

size_t HttpTransport::WriteCallback(char* data, size_t size, size_t count, void* userData) {
    return appendBounded(data, size, count, *static_cast<std::string*>(userData));
}

size_t HttpTransport::HeaderCallback(char* data, size_t size, size_t count, void* userData) {
    std::string& text = *static_cast<std::string*>(userData);
    if (size * count >= 5 && memcmp(data, "HTTP/", 5) == 0) {
        text.clear();
    }
    return appendBounded(data, size, count, text);
}

}  // namespace tavo
