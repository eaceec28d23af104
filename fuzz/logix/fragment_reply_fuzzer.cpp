// The Logix replies of fragmented reads: a poll request that reads a large value fragmented, or a
// test read whose first reply is partial, followed by whatever the peer sends. The first byte
// picks the path, the second how many bytes each recv delivers, the rest is the peer's stream.

#include <cstdint>
#include <memory>

#include "family/controllogix_connection.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/peer_stream.h"
#include "tag/eip_tag.h"

namespace {

// The Logix connection on a descriptor the harness owns, as after a Forward Open.
class FragmentConnection : public ControlLogixConnection {
  public:
    explicit FragmentConnection(int fd) : ControlLogixConnection(nullptr) {
        socketFd = fd;
        sessionHandle = 0x1234;
        otConnectionId = 0xCAFE;
        toConnectionId = 0xBEEF;
        connectionSize = 500;
    }
    ~FragmentConnection() override { socketFd = -1; }
    bool Closed() const { return socketFd < 0; }
};

std::unique_ptr<EipTag> BigTag() {
    std::unique_ptr<EipTag> tag(EipTag::Create(kFamilyCip));
    TagInfo info;
    info.alias = "big";
    info.tagName = "Big[0~999]";
    info.innerType = kInnerTypeDint;
    info.dataLen = 4000;  // more than one reply: read fragmented
    tag->SetInfo(info);
    tag->ParsingTagName();
    return tag;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::unique_ptr<EipTag> tag = BigTag();
    static ReadyPair pair;
    if (size < 2) {
        return 0;
    }
    const bool polled = data[0] % 2 == 0;
    PeerStream peer(data + 1, size - 1);
    bool closed = false;
    {
        FragmentConnection connection(pair.fd());
        peer.Attach(connection);
        auto response = std::make_unique<TagRequestSet>();
        if (polled) {
            const std::vector<EipTag*> list{tag.get()};
            size_t next = 0;
            if (connection.RequestExplicitTags(list, 1, next) == 0) {
                connection.RecvExplicitTags(*response, [](uint16_t) { return nullptr; });
            }
        } else {
            connection.TestExplicitTag(tag.get(), *response);
        }
        // A value handed up is whole and within the record limit.
        for (uint16_t i = 0; i < response->count; ++i) {
            const TagReplySet& record = response->replies[i];
            if (record.dataLength != record.data.size() && record.generalStatus == 0) {
                __builtin_trap();
            }
        }
        closed = connection.Closed();
    }
    // A failed read closes the descriptor it holds; keep the shared pair open.
    if (closed) {
        pair.Reopen();
    }
    return 0;
}
