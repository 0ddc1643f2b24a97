#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

#include "agent/cloudcommunicator.h"
#include "agent/cloudresponse.h"
#include "agent/ipcagent.h"
#include "agent/tavostorereaderwriter.h"
#include "agent/windows/attributecollectorwin.h"
#include "common/ipcmessage.h"
#include "common/tavostatus.h"
#include "common/waitableevent.h"

namespace tavo {

// The longest rate-limit wait the loop asks for; a longer limit is waited out in several turns.
// It stays within the signed range so that the timeout's log line reads right.
constexpr uint32_t kMaxRateLimitWaitMs = 0x7FFFFFFF;

// Milliseconds from now until retryAfter (both in seconds since 1970): 0 when that time is not
// ahead, at most kMaxRateLimitWaitMs.
uint32_t RateLimitWaitMilliseconds(int64_t now, int64_t retryAfter);

// The agent: owns the attribute collector, the cloud communicator and the refresh-token front end,
// and serialises all its work (collecting, sending, storing, answering) on the agent thread.
class CTAVOAgent {
public:
    // Throws std::runtime_error when the data directory or the store is unusable, and what the
    // owned parts' constructors throw.
    explicit CTAVOAgent(std::unique_ptr<IAttributeCollector> attributeCollector = CreateAttributeCollector());
    ~CTAVOAgent();
    CTAVOAgent(const CTAVOAgent&) = delete;
    CTAVOAgent& operator=(const CTAVOAgent&) = delete;

    // The agent thread's body; returns once ShutDown was called.
    TAVO_STATUS MainThreadProc();
    // Any thread. Throws nothing: the entry calls it while the agent thread runs, where a throw
    // would end the process in std::terminate.
    void ShutDown() noexcept;

    // The refresh-token handler, called on the IPC receiver thread under the IPC agent's lock:
    // keeps the completion and wakes the agent thread; TAVO_BUSY while another refresh is pending.
    TAVO_STATUS refreshToken(RefreshTokenCallback callback);
    // The completion of every cloud request, on the cloud thread. A null response: the
    // communicator could make none, but the exchange is over all the same; wasNoWmiEvent tells
    // whether it was the "no-wmi" event. A log line that fails under short memory cannot lose it.
    void notifyCloudResponse(std::unique_ptr<CloudResponse> response, bool wasNoWmiEvent);

private:
    // Answers the pending refresh, if any, outside the lock.
    void completeRefresh(IpcRefreshTokenRsp::eRefreshTokenResponse code);

    TAVO_STATUS sendIdentityServiceRequest();
    TAVO_STATUS handleCloudResponse();
    TAVO_STATUS handleIdentityServiceResponse(std::unique_ptr<CloudResponse> response);
    TAVO_STATUS handleEventResponse(std::unique_ptr<CloudResponse> response);
    // Runs one step of the loop; what it throws is logged and answers the pending refresh with a
    // failure, so that neither the thread nor the waiting clients are lost.
    void runGuarded(TAVO_STATUS (CTAVOAgent::*step)());

    std::unique_ptr<IAttributeCollector> m_ptrAttributeCollector;
    CTAVOStoreReaderWriter* m_ptrStore;
    RefreshTokenCallback m_pendingRefreshCallback;
    std::mutex m_mutex;
    std::unique_ptr<CloudResponse> m_ptrPendingResponse;
    // The communicator finished exchanges without a response to deliver, and whether the "no-wmi"
    // event was one of them.
    bool m_bResponselessExchange = false;
    bool m_bResponselessNoWmiEvent = false;
    bool m_bNoWmiEventSent = false;
    CWaitableEvent m_idRequestEvent{true};
    CWaitableEvent m_responseEvent{true};
    CWaitableEvent m_shutdownEvent{true};
    CloudCommunicator m_cloudCommunicator;
    CIPCAgent m_ipcAgent;
};

}  // namespace tavo
