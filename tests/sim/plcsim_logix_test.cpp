// plcsim's Logix tag services byte for byte: fragmented reads and writes at every offset,
// connected and unconnected, inside Multiple Service Packets, and replies cut to the room of
// the connection.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "sim/logix_services.h"
#include "tests/sim/raw_client.h"

namespace {

using namespace plcsim_test;

constexpr uint8_t kReadFragmented = 0x52;
constexpr uint8_t kWriteFragmented = 0x53;
constexpr uint32_t kBigElements = 1000;  // DINT[1000]: 4000 bytes
constexpr size_t kBigBytes = kBigElements * 4;

// Symbolic path of "Big": 0x91, length 3, the name, one pad byte.
const std::vector<uint8_t> kBigPath = {0x91, 0x03, 'B', 'i', 'g', 0x00};

std::vector<uint8_t> TagRequest(uint8_t service, const std::vector<uint8_t>& data) {
    ByteWriter w;
    w.u8(service).u8(static_cast<uint8_t>(kBigPath.size() / 2)).bytes(kBigPath).bytes(data);
    return w.to_vector();
}

std::vector<uint8_t> ReadFragment(uint16_t count, uint32_t offset) {
    ByteWriter w;
    w.u16(count).u32(offset);
    return TagRequest(kReadFragmented, w.to_vector());
}

// A Multiple Service Packet of the given requests to the Message Router.
std::vector<uint8_t> Packet(const std::vector<std::vector<uint8_t>>& requests) {
    ByteWriter w;
    w.u8(CIP_SVC_MULTIPLE_SERVICE_PACKET).u8(2).u8(0x20).u8(0x02).u8(0x24).u8(0x01);
    w.u16(static_cast<uint16_t>(requests.size()));
    size_t offset = 2 + requests.size() * 2;
    for (const auto& request : requests) {
        w.u16(static_cast<uint16_t>(offset));
        offset += request.size();
    }
    for (const auto& request : requests) {
        w.bytes(request);
    }
    return w.to_vector();
}

class PlcsimLogixTest : public ::testing::Test {
  protected:
    void SetUp() override { Start({}); }

    void Start(plcsim::SimConfig config) {
        config.port = 0;
        plc = std::make_unique<plcsim::LogixController>(config);
        nlohmann::json values = nlohmann::json::array();
        for (uint32_t i = 0; i < kBigElements; ++i) {
            values.push_back(static_cast<int32_t>(i * 0x01010101u + 0x100));
        }
        plc->DefineTag({"Big", "DINT", {kBigElements}, values, {}});
        ASSERT_TRUE(plc->Sim().Start());
        client = std::make_unique<RawClient>(plc->Sim().Port());
        handle = client->Register();
    }

    // The tag's bytes as stored.
    std::vector<uint8_t> BigBytes() const {
        std::vector<uint8_t> bytes;
        for (uint32_t i = 0; i < kBigElements; ++i) {
            const auto element = plc->Tags().GetBytes("Big[" + std::to_string(i) + "]");
            bytes.insert(bytes.end(), element->begin(), element->end());
        }
        return bytes;
    }

    // The Message Router reply of a connected request.
    std::vector<uint8_t> Connected(uint32_t otId, const std::vector<uint8_t>& request) {
        const std::vector<uint8_t> reply = client->Connected(handle, otId, ++sequence, request);
        return reply.size() >= EIP_UNIT_DATA_FRONT_SIZE
                   ? std::vector<uint8_t>(reply.begin() + EIP_UNIT_DATA_FRONT_SIZE, reply.end())
                   : std::vector<uint8_t>{};
    }

    std::unique_ptr<plcsim::LogixController> plc;
    std::unique_ptr<RawClient> client;
    uint32_t handle = 0;
    uint16_t sequence = 0;
};

// Reply of a fragment with room for `room` value bytes: service 0xD2, status 0x06 while bytes
// follow, DINT type, the rest when it fits, else the room down to a 4-byte boundary.
std::vector<uint8_t> FragmentReply(const std::vector<uint8_t>& all, size_t offset, size_t room) {
    const size_t rest = all.size() - offset;
    const size_t end = offset + (rest <= room ? rest : room / 4 * 4);
    std::vector<uint8_t> reply = {
        0xD2, 0x00, end < all.size() ? CIP_STATUS_PARTIAL_TRANSFER : CIP_STATUS_SUCCESS,
        0x00, 0xC4, 0x00};
    reply.insert(reply.end(), all.begin() + offset, all.begin() + end);
    return reply;
}

TEST_F(PlcsimLogixTest, ReadTagFragmentedAnswersEveryOffsetOfA4000ByteArray) {
    const std::vector<uint8_t> all = BigBytes();
    // Unconnected: 504 bytes of reply, 498 for values after the headers.
    for (uint32_t offset = 0; offset < kBigBytes; ++offset) {
        ASSERT_EQ(client->Unconnected(handle, ReadFragment(kBigElements, offset)),
                  FragmentReply(all, offset, 498))
            << "offset " << offset;
    }
    // A 4002-byte connection: 3994 bytes of room, 3992 value bytes, then the last 8.
    ForwardOpenFields large;
    large.large = true;
    large.params = 0x42000000 | 4002;
    const uint32_t otId = OpenConnection(*client, handle, large);
    EXPECT_EQ(Connected(otId, ReadFragment(kBigElements, 0)), FragmentReply(all, 0, 3994));
    EXPECT_EQ(Connected(otId, ReadFragment(kBigElements, 3992)), FragmentReply(all, 3992, 3994));
    // Past the end.
    EXPECT_EQ(client->Unconnected(handle, ReadFragment(kBigElements, kBigBytes)),
              (std::vector<uint8_t>{0xD2, 0x00, 0xFF, 0x01, 0x04, 0x21}));
    EXPECT_TRUE(plc->Sim().ProtocolErrors().empty());
}

TEST_F(PlcsimLogixTest, WriteTagFragmentedWritesEachFragmentAtItsOffset) {
    std::vector<uint8_t> pattern(kBigBytes);
    for (size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    const std::vector<uint8_t> done = {0xD3, 0x00, 0x00, 0x00};
    // Fragments of odd sizes at odd offsets, the last one inside a Multiple Service Packet
    // together with a fragmented read of what it wrote.
    size_t offset = 0;
    for (size_t size : {1u, 3u, 401u, 450u}) {
        while (offset + size <= 3000) {
            ByteWriter data;
            data.u16(plcsim::kLogixTypeDint).u16(kBigElements).u32(static_cast<uint32_t>(offset));
            data.bytes(pattern.data() + offset, size);
            ASSERT_EQ(client->Unconnected(handle, TagRequest(kWriteFragmented, data.to_vector())),
                      done)
                << offset;
            offset += size;
        }
    }
    ByteWriter last;
    last.u16(plcsim::kLogixTypeDint).u16(kBigElements).u32(static_cast<uint32_t>(offset));
    last.bytes(pattern.data() + offset, kBigBytes - offset);
    const std::vector<uint8_t> packet =
        Packet({TagRequest(kWriteFragmented, last.to_vector()), ReadFragment(kBigElements, 3996)});
    ForwardOpenFields large;
    large.large = true;
    large.params = 0x42000000 | 4002;
    const std::vector<uint8_t> reply = Connected(OpenConnection(*client, handle, large), packet);
    std::vector<uint8_t> expected = {0x8A, 0x00, 0x00, 0x00, 0x02, 0x00, 0x06, 0x00, 0x0A, 0x00};
    expected.insert(expected.end(), done.begin(), done.end());
    const std::vector<uint8_t> tail = FragmentReply(pattern, 3996, 4);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(BigBytes(), pattern);
    // A fragment running past the end, and one starting there.
    ByteWriter past;
    past.u16(plcsim::kLogixTypeDint).u16(kBigElements).u32(3998).u32(0);
    EXPECT_EQ(
        CipStatus(client->Unconnected(handle, TagRequest(kWriteFragmented, past.to_vector()))),
        std::make_pair(CIP_STATUS_TOO_MUCH_DATA, uint16_t{0}));
    ByteWriter beyond;
    beyond.u16(plcsim::kLogixTypeDint).u16(kBigElements).u32(kBigBytes).u32(0);
    EXPECT_EQ(client->Unconnected(handle, TagRequest(kWriteFragmented, beyond.to_vector())),
              (std::vector<uint8_t>{0xD3, 0x00, 0xFF, 0x01, 0x04, 0x21}));
    EXPECT_EQ(BigBytes(), pattern);
}

TEST_F(PlcsimLogixTest, RepliesLargerThanTheConnectionAnswerPartialTransfer) {
    ForwardOpenFields small;
    small.params = 0x4000 | 100;
    const uint32_t otId = OpenConnection(*client, handle, small);
    ByteWriter count;
    count.u16(100);  // 400 bytes of values
    const std::vector<uint8_t> partial = {0xCC, 0x00, CIP_STATUS_PARTIAL_TRANSFER, 0x00};
    EXPECT_EQ(Connected(otId, TagRequest(CIP_SVC_READ_TAG, count.to_vector())), partial);
    // The identity reply (about 40 bytes) does not fit a 20-byte connection either.
    small.params = 0x4000 | 20;
    small.serial = 0x0043;
    EXPECT_EQ(Connected(OpenConnection(*client, handle, small), kIdentityRequest),
              (std::vector<uint8_t>{0x81, 0x00, CIP_STATUS_PARTIAL_TRANSFER, 0x00}));
    // Inside a packet only the request that does not fit is refused.
    ByteWriter one;
    one.u16(1);
    const std::vector<uint8_t> reply =
        Connected(otId, Packet({TagRequest(CIP_SVC_READ_TAG, count.to_vector()),
                                TagRequest(CIP_SVC_READ_TAG, one.to_vector())}));
    std::vector<uint8_t> expected = {
        0x8A, 0x00, CIP_STATUS_EMBEDDED_SERVICE_ERROR, 0x00, 0x02, 0x00, 0x06, 0x00, 0x0A, 0x00};
    expected.insert(expected.end(), partial.begin(), partial.end());
    expected.insert(expected.end(), {0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x00, 0x01, 0x00, 0x00});
    EXPECT_EQ(reply, expected);
}

TEST_F(PlcsimLogixTest, ReplyWithOriginToTargetIdOptionAnswersWithTheGrantedId) {
    plcsim::SimConfig config;
    config.replyWithOtConnectionId = true;
    Start(config);
    const uint32_t otId = OpenConnection(*client, handle, {});
    const std::vector<uint8_t> reply = client->Connected(handle, otId, 1, kIdentityRequest);
    ASSERT_GE(reply.size(), EIP_UNIT_DATA_FRONT_SIZE);
    EXPECT_EQ(eip_GetLitEndian32(&reply[36]), otId);
}

// Tags are found by name in any letter case among thousands, also after removals; an array is
// bounded by its total size (16 MiB), not by a count per dimension.
TEST(PlcsimTagDatabaseTest, FindsTagsAmongThousandsAndBoundsArraysByTotalSize) {
    plcsim::LogixTagDatabase tags;
    std::string error;
    for (int i = 0; i < 3000; ++i) {
        ASSERT_TRUE(tags.Define({"Tag" + std::to_string(i), "DINT", {}, i, {}}, error)) << error;
    }
    for (int i = 0; i < 3000; i += 2) {
        ASSERT_TRUE(tags.Remove("TAG" + std::to_string(i)));
    }
    for (int i = 0; i < 3000; ++i) {
        EXPECT_EQ(tags.GetInt("tag" + std::to_string(i)),
                  i % 2 != 0 ? std::optional<int64_t>(i) : std::nullopt)
            << i;
    }
    const struct {
        std::vector<uint32_t> dims;
        bool accepted;
    } cases[] = {
        {{70001}, true},       {{4194304}, true},  // 16 MiB of DINT
        {{4194305}, false},    {{0}, false},      {{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, false},
        {{2, 2, 2, 2}, false},
    };
    for (const auto& c : cases) {
        const std::string name = "Array" + std::to_string(c.dims.front());
        EXPECT_EQ(tags.Define({name, "DINT", c.dims, nullptr, {}}, error), c.accepted) << name;
    }
    EXPECT_EQ(tags.GetInt("Array70001[70000]"), 0);
}

}  // namespace
