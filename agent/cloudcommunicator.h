#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "agent/cloudrequest.h"
#include "agent/cloudresponse.h"

namespace tavo {

// Receives the finished response, on the cloud thread; null when no response could be made.
using CloudResponseCallback = std::function<void(std::unique_ptr<CloudResponse>)>;

// Runs the exchanges with the cloud services on a thread of its own. One request can wait: a newer
// one replaces it, and the replaced one is never sent nor completed.
class CloudCommunicator {
public:
    // Starts the cloud thread; throws what std::thread throws.
    CloudCommunicator();
    // Stops and joins the cloud thread; a request still waiting is dropped unsent.
    ~CloudCommunicator();
    CloudCommunicator(const CloudCommunicator&) = delete;
    CloudCommunicator& operator=(const CloudCommunicator&) = delete;

    // 0 placed; -1 the cloud thread is not running or was asked to stop; -8 no callback. A request
    // that is not placed is destroyed at once.
    int MakeRequest(std::unique_ptr<CloudRequest> request, CloudResponseCallback callback);
    void Stop();

private:
    void communicationThread();

    std::condition_variable m_cv;
    std::mutex m_mutex;
    std::atomic<bool> m_bStop{false};
    std::unique_ptr<CloudRequest> m_ptrPendingRequest;
    CloudResponseCallback m_callback;
    std::thread m_thread;
};

}  // namespace tavo
