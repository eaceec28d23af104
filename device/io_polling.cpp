#include "device/io_polling.h"

#include <memory>

#include "common/eip_log.h"
#include "device/device_session.h"
#include "device/device_support.h"
#include "device/io_listener.h"
#include "device/tag_table.h"
#include "device/value_publisher.h"
#include "eip/eip_connection.h"
#include "eip/eip_io_connection.h"

using namespace device_detail;

IoPolling::IoPolling(DeviceSession& session, TagTable& tags, ValuePublisher& publisher,
                     DeviceCallbacks& callbacks, PollingState& state, DeviceStats& stats,
                     const DeviceLife& life, std::shared_ptr<IoSockets> sockets)
    : session_(session),
      tags_(tags),
      publisher_(publisher),
      callbacks_(callbacks),
      state_(state),
      stats_(stats),
      life_(life) {
    IoListenerHooks hooks;
    hooks.alias = [this] { return session_.Alias(); };
    hooks.deliver = [this](const std::vector<IoValue>& values) { HandOver(values); };
    hooks.reopen = [this](const std::string& tagAlias, std::string& message) {
        return StartTag(tagAlias, state_.ioParam1.load(), state_.ioParam2.load(), message);
    };
    hooks.refused = [this](IoRefusal why) {
        switch (why) {
            case IoRefusal::Forged:
                return DeviceStats::Add(stats_.ioForged);  // stats: forged
            case IoRefusal::Foreign:
                return DeviceStats::Add(stats_.ioForeign);  // stats: foreign
            case IoRefusal::Stale:
                return DeviceStats::Add(stats_.ioStale);  // stats: stale
        }
    };
    listener_ = std::make_unique<IoListener>(std::move(sockets), std::move(hooks));
}

IoPolling::~IoPolling() = default;

int IoPolling::Start(int interval, uint16_t udpPort, std::string& message) {
    int started = 0;
    for (const auto& info : tags_.ListTagInfos(kKindIO, kRwFlagIo)) {
        if (StartTag(info.alias, interval, udpPort, message) == 0) {
            ++started;
        }
    }
    return started;
}

// Opens the tag's class-1 connection on a session of its own and hands it to
// the listener; the first one marks listening as running. The UDP port is
// taken first: a Forward Open must never make the PLC send where we do not
// listen (into another program's socket).
int IoPolling::StartTag(const std::string& tagAlias, int interval, uint16_t udpPort,
                        std::string& message) {
    if (life_.retired.load()) {
        message = errorText(link_error::kStartListening);
        return -1;
    }
    TagInfo info;
    if (!tags_.CopyTagInfo(tagAlias, kKindIO, info)) {
        message = errorText(link_error::kTagNotExist);
        return -1;
    }
    const ConnectInfo connectInfo = session_.ConnectionInfo();
    bool opened = false;
    if (listener_->OpenSocket(connectInfo.host, udpPort, opened) < 0) {
        message = errorText(link_error::kStartListening);
        return -1;
    }
    std::unique_ptr<EipConnection> session(
        EipConnection::MakeTestConnection(connectInfo, message, session_.StopFd()));
    if (session == nullptr) {
        listener_->CloseSocketIfIdle();
        if (message.empty()) {
            message = errorText(link_error::kStartListening);
        }
        return -1;
    }
    auto connection = std::make_unique<EipIoConnection>(std::move(session));
    if (interval < 0 || interval > 0xFFFF ||
        connection->OpenIOConnection(info, session_.GetProductInfo(),
                                     static_cast<uint16_t>(interval), udpPort) != 0 ||
        !listener_->Add(info, std::move(connection))) {
        listener_->CloseSocketIfIdle();
        message = errorText(link_error::kStartListening);
        return -1;
    }
    if (opened) {
        state_.ioStopped.store(0);
        SetState(static_cast<uint16_t>(interval), udpPort, true);
    }
    return 0;
}

int IoPolling::Stop(std::string& message) {
    (void)message;
    listener_->Stop();
    state_.ioStopped.store(1);
    SetState(0, 0, true);
    return 0;
}

void IoPolling::EndListening() {
    listener_->Stop();
}

// The listener's values of one wake-up go to the queue thread as one batch, whatever their size.
void IoPolling::HandOver(const std::vector<IoValue>& values) {
    ValueBatch batch;
    batch.reserve(values.size());
    for (const IoValue& value : values) {
        auto record = std::make_shared<TagInfo>(*value.tag);
        record->dataLen = static_cast<int32_t>(value.data.size);
        batch.push_back(EipTagValue{std::move(record), {value.data.begin(), value.data.end()}});
        DeviceStats::Add(stats_.valuesPublished);  // stats: value
    }
    publisher_.HandOver(std::move(batch));
}

void IoPolling::SetState(uint16_t ioParam1, uint16_t ioParam2, bool notify) {
    state_.ioParam1.store(ioParam1);
    state_.ioParam2.store(ioParam2);
    if (notify) {
        state_.Notify(*callbacks_.Get(), session_.Alias());
    }
}
