#include "mqtt/publish_flow.h"

namespace tbmqtt {
namespace {

constexpr size_t kFixedHeaderBytes = 1;
constexpr size_t kTopicLengthBytes = 2;
constexpr size_t kEmptyPropertiesBytes = 1;
constexpr size_t kRemainingLengthDigitBits = 7;

size_t RemainingLengthBytes(size_t remaining) {
    size_t bytes = 1;
    while (remaining >>= kRemainingLengthDigitBits) {
        ++bytes;
    }
    return bytes;
}

}  // namespace

size_t PublishPacketBytes(size_t topicBytes, size_t payloadBytes, bool mqtt5) {
    const size_t remaining =
        kTopicLengthBytes + topicBytes + (mqtt5 ? kEmptyPropertiesBytes : 0) + payloadBytes;
    return kFixedHeaderBytes + RemainingLengthBytes(remaining) + remaining;
}

void UnwrittenPublishes::Handed(uint64_t session, int mid, size_t bytes) {
    if (session != session_ || writtenFirst_.erase(mid) > 0) {
        return;
    }
    unwritten_[mid] += bytes;
    bytes_ += bytes;
}

void UnwrittenPublishes::Written(int mid) {
    auto found = unwritten_.find(mid);
    if (found == unwritten_.end()) {
        writtenFirst_.insert(mid);
        return;
    }
    bytes_ -= found->second;
    unwritten_.erase(found);
}

void UnwrittenPublishes::Reset() {
    ++session_;
    unwritten_.clear();
    writtenFirst_.clear();
    bytes_ = 0;
}

}  // namespace tbmqtt
