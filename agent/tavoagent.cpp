#include "agent/tavoagent.h"

#include <windows.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "agent/cloudrequest.h"
#include "agent/tavoconfig.h"
#include "common/tavopath.h"
#include "common/wallclock.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

constexpr int kJsonFileStore = 1;
const char kStoreFileName[] = "tavostore.json";
const char kNoWmiEventType[] = "no-wmi";
// A failing wait is tried again after this pause rather than in a tight loop.
constexpr DWORD kFailedWaitPauseMs = 100;

using Code = IpcRefreshTokenRsp::eRefreshTokenResponse;

CTAVOStoreReaderWriter& processStore() {
    static CTAVOStoreReaderWriter s_storeReaderWriter;
    return s_storeReaderWriter;
}

}  // namespace

uint32_t RateLimitWaitMilliseconds(int64_t now, int64_t retryAfter) {
    if (retryAfter <= now) {
        return 0;
    }
    // retryAfter > now, so the unsigned difference is exact even where the signed one overflows.
    const uint64_t seconds = static_cast<uint64_t>(retryAfter) - static_cast<uint64_t>(now);
    if (seconds > kMaxRateLimitWaitMs / 1000) {
        return kMaxRateLimitWaitMs;
    }
    return static_cast<uint32_t>(seconds * 1000);
}

CTAVOAgent::CTAVOAgent(std::unique_ptr<IAttributeCollector> attributeCollector)
    : m_ptrAttributeCollector(std::move(attributeCollector)), m_ptrStore(&processStore()) {
    std::string dataDir;
    if (GetTAVODirectoryPath(dataDir) != TAVO_OK) {
        throw std::runtime_error("Could not get TAVO Directory Path");
    }
    if (m_ptrStore->Initialize(kJsonFileStore, dataDir + kStoreFileName) != TAVO_OK) {
        throw std::runtime_error("Could not initialize the TAVO Store while starting Agent");
    }
}

CTAVOAgent::~CTAVOAgent() = default;

TAVO_STATUS CTAVOAgent::MainThreadProc() {
    TAVO_LOG(eLogDebug, false, "TAVO agent main thread is starting");
    TAVO_STATUS status = static_cast<TAVO_STATUS>(m_ipcAgent.RegisterRefreshTokenHandler(
        [this](RefreshTokenCallback callback) { return refreshToken(std::move(callback)); }));
    if (TAVO_CONDITION_FAILED(TAVO_STATUS::TAVO_OK != status)) {
        TAVO_LOG(eLogDebug, false, "TAVO agent main thread is exiting with status: %d", static_cast<int>(status));
        return status;
    }
    TAVO_LOG(eLogVerbose, false, "Registered refresh token handler");

    runGuarded(&CTAVOAgent::sendIdentityServiceRequest);

    CWaitableEvent* events[] = {&m_shutdownEvent, &m_responseEvent, &m_idRequestEvent};
    for (;;) {
        uint32_t timeout = kWaitInfinite;
        if (WallClockSeconds() < m_ptrStore->GetRetryTimestamp()) {
            // When the limit ran out between the two readings, the wait returns at once and the
            // request step runs now rather than at the next event.
            timeout = RateLimitWaitMilliseconds(WallClockSeconds(), m_ptrStore->GetRetryTimestamp());
            TAVO_LOG(eLogVerbose, false, "Setting timeout for cloud rate limit to %d milliseconds",
                     static_cast<int32_t>(timeout));
        }
        const uint32_t result = WaitForMultipleEvents(3, events, false, timeout);
        if (result == 0) {
            TAVO_LOG(eLogDebug, false, "TAVO agent received shutdown event");
            break;
        }
        if (result == 1) {
            TAVO_LOG(eLogDebug, false, "TAVO agent received a response");
            runGuarded(&CTAVOAgent::handleCloudResponse);
        } else if (result == 2) {
            TAVO_LOG(eLogDebug, false, "TAVO agent received ID request event");
            runGuarded(&CTAVOAgent::sendIdentityServiceRequest);
        } else if (result == kWaitTimeout) {
            TAVO_LOG(eLogDebug, false, "TAVO agent received Rate Limit Refresh Event after timeout expiry");
            runGuarded(&CTAVOAgent::sendIdentityServiceRequest);
        } else {
            TAVO_LOG(eLogError, false, "TAVO agent received unknown event");
            Sleep(kFailedWaitPauseMs);
        }
    }
    status = TAVO_OK;
    TAVO_LOG(eLogDebug, false, "TAVO agent main thread is exiting with status: %d", static_cast<int>(status));
    return status;
}

void CTAVOAgent::ShutDown() noexcept {
    TAVO_LOG_NOTHROW(eLogDebug, false, "ShutDown is invoked");
    m_shutdownEvent.Set();
}

TAVO_STATUS CTAVOAgent::refreshToken(RefreshTokenCallback callback) {
    TAVO_LOG(eLogDebug, false, "Refresh token callback received");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pendingRefreshCallback) {
        return TAVO_BUSY;
    }
    m_pendingRefreshCallback = std::move(callback);
    m_idRequestEvent.Set();
    return TAVO_OK;
}

void CTAVOAgent::completeRefresh(Code code) {
    RefreshTokenCallback callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        callback.swap(m_pendingRefreshCallback);
    }
    // Outside the lock: the callback takes the IPC agent's lock, which is taken before ours.
    if (callback) {
        callback(code);
    }
}

void CTAVOAgent::notifyCloudResponse(std::unique_ptr<CloudResponse> response, bool wasNoWmiEvent) {
    TAVO_LOG_NOTHROW(eLogDebug, false, "Response received from cloud");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (response) {
            m_ptrPendingResponse = std::move(response);
        } else {
            m_bResponselessExchange = true;
            m_bResponselessNoWmiEvent = m_bResponselessNoWmiEvent || wasNoWmiEvent;
        }
    }
    m_responseEvent.Set();
}

void CTAVOAgent::runGuarded(TAVO_STATUS (CTAVOAgent::*step)()) {
    try {
        (this->*step)();
        return;
    } catch (const std::exception& e) {
        TAVO_LOG_NOTHROW(eLogError, false, "TAVO agent caught an exception [%s]", e.what());
    } catch (...) {
        TAVO_LOG_NOTHROW(eLogError, false, "TAVO agent caught an unknown exception");
    }
    completeRefresh(IpcRefreshTokenRsp::eRefreshTokenFailure);
}

TAVO_STATUS CTAVOAgent::sendIdentityServiceRequest() {
    if (WallClockSeconds() < m_ptrStore->GetRetryTimestamp()) {
        TAVO_LOG(eLogDebug, false, "Cloud Rate Limit Hit.");
        completeRefresh(IpcRefreshTokenRsp::eRefreshTokenRateLimited);
        return TAVO_OK;
    }
    TAVO_LOG(eLogVerbose, false, "Collecting attributes..");
    const CTAVOConfig config;
    if (m_ptrStore->SetBID(config.m_strBusinessID) != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to update BID in Store");
    }

    std::list<CAttribute> attributes;
    TAVO_STATUS status = static_cast<TAVO_STATUS>(m_ptrAttributeCollector->GetAttributeList(attributes));
    std::unique_ptr<CloudRequest> request;
    bool isNoWmiEvent = false;
    if (status == TAVO_OK) {
        request.reset(new IdentityServiceRequest(*m_ptrStore, config, std::move(attributes)));
    } else if (status == TAVO_WMI_UNAVAILABLE && !m_bNoWmiEventSent) {
        request.reset(new EventRequest(kNoWmiEventType, *m_ptrStore, config, ErrorInfo{0, std::string()}));
        isNoWmiEvent = true;
        status = TAVO_OK;
    } else {
        TAVO_LOG(eLogError, false, "Skipping sending cloud request. Exiting...");
        completeRefresh(IpcRefreshTokenRsp::eRefreshTokenFailure);
        TAVO_CONDITION_FAILED(TAVO_STATUS::TAVO_OK != status);
        return status;
    }

    TAVO_LOG(eLogVerbose, false, "Sending request to cloud..");
    status = static_cast<TAVO_STATUS>(m_cloudCommunicator.MakeRequest(
        std::move(request), [this, isNoWmiEvent](std::unique_ptr<CloudResponse> response) {
            notifyCloudResponse(std::move(response), isNoWmiEvent);
        }));
    if (status != TAVO_OK) {
        completeRefresh(IpcRefreshTokenRsp::eRefreshTokenFailure);
        TAVO_CONDITION_FAILED(TAVO_STATUS::TAVO_OK != status);
        return status;
    }
    // Only an event the communicator took counts as sent; one it refused is tried at the next step.
    if (isNoWmiEvent) {
        m_bNoWmiEventSent = true;
    }
    return TAVO_OK;
}

TAVO_STATUS CTAVOAgent::handleCloudResponse() {
    // Taken out once: a second wake-up for the same delivery finds nothing and answers nobody.
    std::unique_ptr<CloudResponse> response;
    bool responseless = false;
    bool responselessNoWmiEvent = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        response = std::move(m_ptrPendingResponse);
        std::swap(responseless, m_bResponselessExchange);
        std::swap(responselessNoWmiEvent, m_bResponselessNoWmiEvent);
    }
    // An exchange without a response counts even when a real response came in the same wake-up.
    if (responseless) {
        if (responselessNoWmiEvent) {
            // Like an event exchange that failed (-3): the event never reached the service.
            m_bNoWmiEventSent = false;
        }
        // No-throw: a response taken out beside it must still be handled.
        TAVO_LOG_NOTHROW(eLogError, false, "Cloud exchange ended without a response");
    }
    if (!response) {
        if (!responseless) {
            return TAVO_OK;
        }
        completeRefresh(IpcRefreshTokenRsp::eRefreshTokenFailure);
        return TAVO_ERROR;
    }
    switch (response->m_eType) {
    case eResponseIdentity:
        TAVO_LOG(eLogError, false, "TAVO agent received Identity Response");
        return handleIdentityServiceResponse(std::move(response));
    case eResponseEvent:
        TAVO_LOG(eLogError, false, "TAVO agent received Event Response");
        return handleEventResponse(std::move(response));
    default:
        TAVO_LOG(eLogError, false, "TAVO agent received unknown response type");
        return TAVO_OK;
    }
}

TAVO_STATUS CTAVOAgent::handleIdentityServiceResponse(std::unique_ptr<CloudResponse> response) {
    const IdentityServiceResponse* identity = dynamic_cast<const IdentityServiceResponse*>(response.get());
    if (identity == nullptr) {
        completeRefresh(IpcRefreshTokenRsp::eRefreshTokenFailure);
        return TAVO_ERROR;
    }
    Code code = IpcRefreshTokenRsp::eRefreshTokenFailure;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (identity->m_iResult == TAVO_RATE_LIMITED) {
        TAVO_LOG(eLogDebug, false, "Rate limit response received from cloud");
        code = IpcRefreshTokenRsp::eRefreshTokenRateLimited;
        if (m_ptrStore->SetRetryTimestamp(WallClockSeconds() + identity->m_iRetryAfterSeconds) != TAVO_OK) {
            TAVO_LOG(eLogError, false, "Failed to update Retry Timestamp");
        }
    } else if (identity->m_iResult == TAVO_CLOUD_ERROR_RESPONSE) {
        TAVO_LOG(eLogError, false, "Error response received from  cloud: %s", identity->m_strErrorMsg.c_str());
        code = IpcRefreshTokenRsp::eRefreshTokenCloudError;
    } else if (identity->m_iResult != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Error occured in communication with cloud service: %d", identity->m_iResult);
    } else if (!identity->m_bBodyValid) {
        // Writing the values of a body that failed validation would replace the stored identity
        // with empty or partial text.
        TAVO_LOG(eLogError, false, "Invalid Identity Response received from cloud. Store not updated");
    } else {
        TAVO_LOG(eLogDebug, false, "TAVO received from cloud");
        // A client told of success reads the token from the store, so success needs every write.
        bool stored = true;
        if (m_ptrStore->SetToken(identity->m_strToken) != TAVO_OK) {
            TAVO_LOG(eLogError, false, "Failed to update Token");
            stored = false;
        }
        if (m_ptrStore->SetTAVO(identity->m_strTAVO) != TAVO_OK) {
            TAVO_LOG(eLogError, false, "Failed to update TAVO");
            stored = false;
        }
        if (!identity->m_strInstanceKey.empty() && m_ptrStore->SetInstanceKey(identity->m_strInstanceKey) != TAVO_OK) {
            TAVO_LOG(eLogError, false, "Failed to update Instance Key");
            stored = false;
        }
        if (m_ptrStore->SetEventURL(identity->m_strEventURL) != TAVO_OK) {
            TAVO_LOG(eLogError, false, "Failed to update Event URL");
            stored = false;
        }
        if (m_ptrStore->SetCatalogURL(identity->m_strCatalogURL) != TAVO_OK) {
            TAVO_LOG(eLogError, false, "Failed to update Catalog URL");
            stored = false;
        }
        if (m_ptrStore->SetCheckinURL(identity->m_strCheckinURL) != TAVO_OK) {
            TAVO_LOG(eLogError, false, "Failed to update Checkin URL");
            stored = false;
        }
        code = stored ? IpcRefreshTokenRsp::eRefreshTokenSuccess : IpcRefreshTokenRsp::eRefreshTokenFailure;
    }
    lock.unlock();
    completeRefresh(code);
    return TAVO_OK;
}

TAVO_STATUS CTAVOAgent::handleEventResponse(std::unique_ptr<CloudResponse> response) {
    const EventResponse* event = dynamic_cast<const EventResponse*>(response.get());
    if (event == nullptr) {
        completeRefresh(IpcRefreshTokenRsp::eRefreshTokenFailure);
        return TAVO_ERROR;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (event->m_iResult == TAVO_CLOUD_ERROR_RESPONSE) {
            TAVO_LOG(eLogError, false, "Error response received from cloud: %s", event->m_strErrorMsg.c_str());
            m_bNoWmiEventSent = false;
        } else if (event->m_iResult == TAVO_OK) {
            TAVO_LOG(eLogDebug, false, "Event Count received from cloud %d", event->m_iEventCount);
        } else {
            TAVO_LOG(eLogError, false, "Error occured in communication with cloud service: %d", event->m_iResult);
            // An exchange that never completed (no network yet) did not reach the service; a
            // rate limit (-12) asked for quiet and keeps the event sent.
            if (event->m_iResult == TAVO_ERROR || event->m_iResult == TAVO_INVALID_ARGUMENT) {
                m_bNoWmiEventSent = false;
            }
        }
    }
    completeRefresh(IpcRefreshTokenRsp::eRefreshTokenFailure);
    return TAVO_OK;
}

}  // namespace tavo
