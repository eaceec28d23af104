// I/O listening of a device: its own connections and retry worker, apart from polling.
#include "device/eip_device.h"

#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <memory>

#include "common/eip_log.h"
#include "device/device_support.h"
#include "eip/eip_connection.h"
#include "tag/eip_tag.h"

using namespace device_detail;

// ==================================================================================== I/O tags

int EipDevice::StartIOPolling(int interval, uint16_t udpPort, std::string& message) {
    int started = 0;
    for (const auto& info : ListTagInfos(kKindIO, EIP_RW_FLAG_IO)) {
        if (StartIOPollingTag(info.alias, interval, udpPort, message) == 0) {
            ++started;
        }
    }
    return started;
}

// Implicit I/O connections (the class-1 Forward Open and the UDP socket) are
// not part of this build yet: a start is refused with its reason in the log.
int EipDevice::StartIOPollingTag(const std::string& tagAlias, int interval, uint16_t udpPort,
                                 std::string& message) {
    if (FindTagByAlias(tagAlias, kKindIO) == nullptr) {
        message = errorText(tessel::TL_ERR_TAG_NOT_EXIST);
        return -1;
    }
    eiplog::Error(
        "StartIOPollingTag",
        eiplog::Text(GetAlias(), ": I/O listening for ", tagAlias, " (", interval, " ms, UDP ",
                     udpPort, ") is not available: no implicit I/O connection support"));
    message = errorText(tessel::TL_ERR_START_LISTENING);
    return -1;
}

int EipDevice::StopIOPolling(std::string& message) {
    (void)message;
    StopIORetryProcess();
    closeIOConnections(false);
    ioPollingStopped_.store(1);
    SetIOPollingState(0, 0, true);
    return 0;
}

// Closes the UDP listener and drops every I/O connection; at shut-down each
// connection is also told to disconnect first.
void EipDevice::closeIOConnections(bool disconnect) {
    std::lock_guard<std::mutex> lock(ioMutex_);
    if (udpSocket_ >= 0) {
        close(udpSocket_);
        udpSocket_ = -1;
    }
    for (auto& entry : ioConnections_) {
        if (disconnect) {
            entry.second->Disconnect();
        }
        delete entry.second;
    }
    ioConnections_.clear();
}

void EipDevice::SetIOPollingState(uint16_t ioParam1, uint16_t ioParam2, bool notify) {
    ioParam1_.store(ioParam1);
    ioParam2_.store(ioParam2);
    notifyPollingState(notify);
}

void EipDevice::IORetryProcess() {
    uint64_t lastAttempt = steadyMicros();
    while (ioRetryThread_.running.load()) {
        const uint64_t elapsed = steadyMicros() - lastAttempt;
        if (elapsed < kRetryPeriodMicros &&
            !sleepWhileRunning(Worker::IORetry, kRetryPeriodMicros - elapsed)) {
            break;
        }
        std::vector<std::string> closed;
        {
            std::lock_guard<std::mutex> lock(ioMutex_);
            for (const auto& entry : ioConnections_) {
                if (entry.second->GetSocketFd() < 0) {
                    closed.push_back(entry.first);
                }
            }
        }
        for (const auto& tagAlias : closed) {
            std::string message;
            if (StartIOPollingTag(tagAlias, ioParam1_.load(), ioParam2_.load(), message) == 0) {
                eiplog::Info("IORetryProcess", "Retry I/O listening ok!! - " + tagAlias);
            } else {
                eiplog::Info("IORetryProcess",
                             "Retry I/O listening fail!! - " + tagAlias + " - " + message);
            }
        }
        lastAttempt = steadyMicros();
    }
}
