// I/O listening of a device: each I/O tag's class-1 connection on a session of its own, handed to
// the IoListener, which receives, answers and reopens them apart from polling.
#include "device/eip_device.h"

#include <memory>

#include "common/eip_log.h"
#include "device/device_support.h"
#include "device/io_listener.h"
#include "eip/eip_connection.h"
#include "eip/eip_io_connection.h"
#include "tag/eip_tag.h"

using namespace device_detail;

// ==================================================================================== I/O tags

int EipDevice::StartIOPolling(int interval, uint16_t udpPort, std::string& message) {
    int started = 0;
    for (const auto& info : ListTagInfos(kKindIO, kRwFlagIo)) {
        if (StartIOPollingTag(info.alias, interval, udpPort, message) == 0) {
            ++started;
        }
    }
    return started;
}

// Opens the tag's class-1 connection on a session of its own and hands it to
// the listener; the first one also opens the UDP socket and marks listening
// as running.
int EipDevice::StartIOPollingTag(const std::string& tagAlias, int interval, uint16_t udpPort,
                                 std::string& message) {
    if (retired_.load()) {
        message = errorText(link_error::kStartListening);
        return -1;
    }
    TagInfo info;
    {
        std::lock_guard<std::mutex> lock(tagMapMutex_);
        auto it = ioTagMap_.find(tagAlias);
        if (it == ioTagMap_.end()) {
            message = errorText(link_error::kTagNotExist);
            return -1;
        }
        info = it->second->GetInfo();
    }
    const ConnectInfo connectInfo = GetConnectionInfo();
    std::unique_ptr<EipConnection> session(
        EipConnection::MakeTestConnection(connectInfo, message, stopFd_));
    if (session == nullptr) {
        if (message.empty()) {
            message = errorText(link_error::kStartListening);
        }
        return -1;
    }
    auto connection = std::make_unique<EipIoConnection>(std::move(session));
    bool opened = false;
    if (interval < 0 || interval > 0xFFFF ||
        connection->OpenIOConnection(info, GetProductInfo(), static_cast<uint16_t>(interval),
                                     udpPort) != 0 ||
        ioListener_->OpenSocket(connectInfo.host, udpPort, opened) < 0 ||
        !ioListener_->Add(info, std::move(connection))) {
        message = errorText(link_error::kStartListening);
        return -1;
    }
    if (opened) {
        ioPollingStopped_.store(0);
        SetIOPollingState(static_cast<uint16_t>(interval), udpPort, true);
    }
    return 0;
}

int EipDevice::StopIOPolling(std::string& message) {
    (void)message;
    ioListener_->Stop();
    ioPollingStopped_.store(1);
    SetIOPollingState(0, 0, true);
    return 0;
}

// The listener's values of one wake-up go to the queue thread as one batch, whatever their size.
void EipDevice::HandOverIOValues(const std::vector<IoValue>& values) {
    ValueBatch batch;
    batch.reserve(values.size());
    for (const IoValue& value : values) {
        auto record = std::make_shared<TagInfo>(*value.tag);
        record->dataLen = static_cast<int32_t>(value.data.size);
        batch.push_back(EipTagValue{std::move(record), {value.data.begin(), value.data.end()}});
        DeviceStats::Add(stats_.valuesPublished);  // stats: value
    }
    HandOver(std::move(batch));
}

void EipDevice::SetIOPollingState(uint16_t ioParam1, uint16_t ioParam2, bool notify) {
    ioParam1_.store(ioParam1);
    ioParam2_.store(ioParam2);
    NotifyPollingState(notify);
}
