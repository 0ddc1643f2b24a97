#include "agent/cloudcommunicator.h"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "agent/httpdate.h"
#include "agent/httprequest.h"
#include "agent/httptransport.h"
#include "agent/tavoversion.h"
#include "common/tavostatus.h"
#include "common/timedwait.h"
#include "common/wallclock.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

const char* const kUserAgent = "Ostrel Quenlo/" TAVO_VERSION;

int32_t clampToInt32(int64_t value) {
    return value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
}

// Seconds of a "Retry-After" value: a decimal number (leading digits, optional sign) or an
// HTTP date (seconds until then, 0 when it has passed), held to the 32-bit range. Throws
// std::invalid_argument for anything else.
int32_t retryAfterSeconds(const std::string& value) {
    size_t pos = value.find_first_not_of(" \t\n\v\f\r");
    bool negative = false;
    if (pos != std::string::npos && (value[pos] == '+' || value[pos] == '-')) {
        negative = value[pos] == '-';
        ++pos;
    }
    if (pos < value.size() && value[pos] >= '0' && value[pos] <= '9') {
        int64_t number = 0;
        for (; pos < value.size() && value[pos] >= '0' && value[pos] <= '9'; ++pos) {
            // Past the 32-bit range the digits no longer matter; stop before 64 bits overflow.
            if (number <= INT64_C(1) << 40) {
                number = number * 10 + (value[pos] - '0');
            }
        }
        return clampToInt32(negative ? -number : number);
    }
    const int64_t now = WallClockSeconds();
    int64_t date = 0;
    if (!ParseHttpDate(value, now, date)) {
        throw std::invalid_argument("Retry-After is neither a number of seconds nor a date");
    }
    return clampToInt32(date < now ? 0 : date - now);
}

void invokeResponseCallback(CloudResponseCallback callback, std::unique_ptr<CloudResponse> response) {
    if (!callback) {
        return;
    }
    // The callback runs even when its line cannot be written: it is the caller's only news.
    TAVO_LOG_NOTHROW(eLogVerbose, false, "invoking callback");
    try {
        callback(std::move(response));
    } catch (...) {
        TAVO_LOG_NOTHROW(eLogError, false, "callback threw an exception; ignored");
    }
}

}  // namespace

CloudCommunicator::CloudCommunicator() {
    TAVO_LOG(eLogVerbose, false, "starting");
    // Last, so that nothing can throw once the thread runs: a joinable thread that is destroyed
    // ends the process.
    m_thread = std::thread(&CloudCommunicator::communicationThread, this);
}

CloudCommunicator::~CloudCommunicator() {
    Stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    TAVO_LOG_NOTHROW(eLogVerbose, false, "finished");
}

int CloudCommunicator::MakeRequest(std::unique_ptr<CloudRequest> request, CloudResponseCallback callback) {
    if (!m_thread.joinable() || m_bStop) {
        TAVO_LOG(eLogError, false, "thread not running");
        return TAVO_FAIL;
    }
    if (!callback) {
        TAVO_LOG(eLogError, false, "callback expected");
        return TAVO_INVALID_ARGUMENT;
    }
    bool placed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Tested again under the lock: the thread never takes a request placed after a stop.
        if (!m_bStop) {
            m_ptrPendingRequest = std::move(request);
            m_callback = std::move(callback);
            placed = true;
        }
    }
    if (!placed) {
        TAVO_LOG(eLogError, false, "thread not running");
        return TAVO_FAIL;
    }
    m_cv.notify_one();
    // The request is placed; a line that cannot be written must not make the caller think otherwise.
    TAVO_LOG_NOTHROW(eLogVerbose, false, "placing request");
    return TAVO_OK;
}

void CloudCommunicator::Stop() {
    if (m_bStop) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_one();
}

void CloudCommunicator::communicationThread() {
    HttpTransport transport;
    while (!m_bStop) {
        std::unique_ptr<CloudRequest> request;
        CloudResponseCallback callback;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!WaitUntil(m_cv, lock, std::chrono::steady_clock::now() + std::chrono::hours(24),
                           [this] { return m_bStop || m_ptrPendingRequest; })) {
                continue;
            }
            if (m_bStop) {
                TAVO_LOG_NOTHROW(eLogVerbose, false, "exiting");
                return;
            }
            request = std::move(m_ptrPendingRequest);
            callback = std::move(m_callback);
            m_callback = nullptr;
        }
        std::unique_ptr<CloudResponse> response;
        try {
            response = request->CreateResponse();
        } catch (const std::exception& e) {
            TAVO_LOG_NOTHROW(eLogError, false, "Error [%s]", e.what());
        } catch (...) {
            TAVO_LOG_NOTHROW(eLogError, false, "Error [unknown exception]");
        }
        if (!response) {
            // The caller still learns that the exchange is over, or its waiting clients never would.
            invokeResponseCallback(std::move(callback), nullptr);
            continue;
        }
        std::string body;
        try {
            response->m_iResult = request->Serialize(body);
            if (response->m_iResult != TAVO_OK || body.empty()) {
                // An empty body with success would read as a successful answer.
                if (response->m_iResult == TAVO_OK) {
                    response->m_iResult = TAVO_ERROR;
                }
                TAVO_LOG(eLogError, false, "failed to serialise");
            }
        } catch (const std::exception& e) {
            // Whatever it throws, std::invalid_argument included, the request could not be serialised.
            response->m_iResult = TAVO_ERROR;
            TAVO_LOG_NOTHROW(eLogError, false, "Error [%s]", e.what());
        } catch (...) {
            response->m_iResult = TAVO_ERROR;
            TAVO_LOG_NOTHROW(eLogError, false, "Error [unknown exception]");
        }
        if (response->m_iResult == TAVO_OK) {
            // Nothing thrown by one exchange may end the thread, and with it the process.
            try {
                TAVO_LOG(eLogDebug, false, "Sending request to cloud service : %s", request->m_strURL.c_str());
                HttpRequest httpRequest(eHttpPost, request->m_strURL, body);
                httpRequest.SetUserAgent(kUserAgent);
                HttpResponse httpResponse;
                response->m_iResult = transport.SendRequest(httpRequest, httpResponse);
                if (response->m_iResult == TAVO_OK) {
                    response->m_iResult = httpResponse.IsSuccess() ? TAVO_OK : TAVO_CLOUD_ERROR_RESPONSE;
                    // Header names are case-insensitive; of several spellings the first received counts.
                    const std::string retryAfter = response->m_iResult == TAVO_CLOUD_ERROR_RESPONSE
                                                       ? httpResponse.GetHeaderAnyCase("Retry-After")
                                                       : std::string();
                    if (!retryAfter.empty()) {
                        const int32_t seconds = retryAfterSeconds(retryAfter);
                        response->m_iRetryAfterSeconds = seconds;
                        TAVO_LOG(eLogVerbose, false, "Retry After Seconds set to %d seconds", static_cast<int>(seconds));
                        response->m_iResult = TAVO_RATE_LIMITED;
                    }
                    response->m_bBodyValid = response->Deserialize(httpResponse.m_strBody) == TAVO_OK;
                    if (!response->m_bBodyValid) {
                        TAVO_LOG(eLogWarning, false, "failed to deserialise");
                    }
                }
            } catch (const std::invalid_argument& e) {
                response->m_iResult = TAVO_INVALID_ARGUMENT;
                TAVO_LOG_NOTHROW(eLogError, false, "Error [%s]", e.what());
            } catch (const std::exception& e) {
                response->m_iResult = TAVO_ERROR;
                TAVO_LOG_NOTHROW(eLogError, false, "Error [%s]", e.what());
            } catch (...) {
                response->m_iResult = TAVO_ERROR;
                TAVO_LOG_NOTHROW(eLogError, false, "Error [unknown exception]");
            }
        }
        invokeResponseCallback(std::move(callback), std::move(response));
    }
}

}  // namespace tavo
