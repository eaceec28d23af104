#pragma once
// What the MQTT side knows of its packets on the way out: the size of a PUBLISH on the wire
// (checked against the broker's packet limit), and the bytes handed to libmosquitto that it has
// not yet written to the socket (a broker that stops reading must not grow them without bound).
//
// Threads: UnwrittenPublishes has no lock of its own; MqttBridge guards it with its mutex.

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

namespace tbmqtt {

// Bytes of a QoS 0 PUBLISH of `payloadBytes` on `topicBytes`:
//
//   1      fixed header (type and flags)
//   1..4   remaining length (7 bits a byte)
//   2      topic length, then the topic
//   1      MQTT 5 only: properties length (0, no properties)
//   ...    payload
size_t PublishPacketBytes(size_t topicBytes, size_t payloadBytes, bool mqtt5);

// libmosquitto calls its publish callback once it has written a QoS 0 PUBLISH to the socket;
// until then the packet waits in its queue. Messages are known by their mid; a session's end
// drops the queue (libmosquitto frees it on reconnect), so a new session starts from nothing.
class UnwrittenPublishes {
  public:
    // Which session a publish belongs to: read before handing it to libmosquitto.
    uint64_t Session() const { return session_; }
    // A publish of `bytes` that libmosquitto accepted as `mid` during `session`.
    void Handed(uint64_t session, int mid, size_t bytes);
    // libmosquitto wrote `mid` (possibly before Handed was told of it).
    void Written(int mid);
    // The session ended: whatever was queued is gone.
    void Reset();
    size_t Bytes() const { return bytes_; }

  private:
    uint64_t session_ = 0;
    std::unordered_map<int, size_t> unwritten_;  // by mid
    std::unordered_set<int> writtenFirst_;       // written before Handed was told
    size_t bytes_ = 0;
};

}  // namespace tbmqtt
