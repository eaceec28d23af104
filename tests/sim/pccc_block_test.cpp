// PCCC block reads and writes against plcsim's PLC-5, SLC 500 and MicroLogix on loopback: one
// request per reply limit, timer fields that follow the running timer, bit and field writes
// that change nothing else, refusals with their reason, and replies that answer nothing asked.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "family/wire_support.h"
#include "sim/pccc_cli.h"
#include "sim/pccc_services.h"
#include "support/log_capture.h"
#include "support/sim_plc.h"
#include "support/wait_until.h"

using tb_test::WaitUntil;
using wire_test::Bytes;
using wire_test::Plc5Tag;

namespace {

class PcccBlockTest : public ::testing::Test {
  protected:
    void Start(plcsim::PcccPlcType simType, PlcType type, uint8_t inFlight = 4) {
        plc = std::make_unique<plcsim::PcccController>(tb_test::LoopbackConfig(), simType);
        ASSERT_TRUE(plc->Sim().Start()) << plc->Sim().LastStartError();
        info = tb_test::LoopbackInfo(plc->Sim().Port(), "", 0, kFamilyPccc);
        info.plcType = type;
        info.requestsInFlight = inFlight;
        connection = std::make_unique<PcccConnection>(&info);
        ASSERT_EQ(connection->Connect(info.host, info.port, 2), 0);
        ASSERT_EQ(connection->RegisterSession(2), 0);
        polled = {};
    }
    void TearDown() override { EXPECT_TRUE(plc->Sim().ProtocolErrors().empty()); }

    // One full read of the poll list into values; the requests it took, -1 when it failed.
    int Cycle() {
        const uint64_t before = plc->Sim().Stats().requests;
        values.clear();
        size_t next = 0;
        do {
            if (connection->RequestExplicitTags(polled.list, polled.list.size(), next) != 0 ||
                connection->RecvExplicitTags(*records, {}) < 1) {
                return -1;
            }
            values.insert(values.end(), records->replies, records->replies + records->count);
        } while (next != 0);
        return static_cast<int>(plc->Sim().Stats().requests - before);
    }
    int16_t Int(size_t i) const {
        return values[i].generalStatus == 0
                   ? static_cast<int16_t>(GetLittleEndian16(values[i].data.data()))
                   : int16_t{-9999};
    }
    int Write(const std::string& address, const Bytes& value) {
        auto tag = Plc5Tag(address);
        return connection->WriteDataToTag(tag->GetInfo(), tag->GetTagData(), value.data(),
                                          static_cast<uint16_t>(value.size()));
    }
    static Bytes Word(int16_t value) {
        return {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>((value >> 8) & 0xFF)};
    }

    std::unique_ptr<plcsim::PcccController> plc;
    ConnectInfo info;
    std::unique_ptr<PcccConnection> connection;
    wire_test::PollList polled;
    std::unique_ptr<TagRequestSet> records = std::make_unique<TagRequestSet>();
    std::vector<TagReplySet> values;
};

// 500 words and 64 floats take as many requests as the kind's reply limit needs, whether the
// reads go one at a time or four at once.
TEST_F(PcccBlockTest, BlockReadsTakeOneRequestPerReplyLimit) {
    struct Case {
        plcsim::PcccPlcType simType;
        PlcType type;
        uint8_t inFlight;
        bool floats;
        int count;
        int requests;
    };
    const Case cases[] = {
        {plcsim::PcccPlcType::kPlc5, PlcType::kPlc5, 4, false, 500, 5},  // 120 words
        {plcsim::PcccPlcType::kPlc5, PlcType::kPlc5, 1, false, 500, 5},
        {plcsim::PcccPlcType::kSlc500, PlcType::kSlc500, 4, false, 500, 5},          // 118 words
        {plcsim::PcccPlcType::kMicroLogix, PlcType::kMicroLogix, 4, false, 500, 5},  // 117
        {plcsim::PcccPlcType::kPlc5, PlcType::kPlc5, 4, true, 64, 2},                // 60 floats
        {plcsim::PcccPlcType::kSlc500, PlcType::kSlc500, 2, true, 64, 2},            // 59 floats
    };
    for (const Case& k : cases) {
        Start(k.simType, k.type, k.inFlight);
        const uint16_t file = k.floats ? 8 : 7;
        ASSERT_TRUE(plc->Table().DefineFile(file, k.floats ? 0x8A : 0x89, 500));
        for (int i = 0; i < k.count; ++i) {
            const auto element = static_cast<uint16_t>(i);
            k.floats ? plc->Table().SetReal(file, element, i + 0.5f)
                     : plc->Table().SetInt(file, element, static_cast<int16_t>(3 * i));
            polled.Add(Plc5Tag((k.floats ? "F8:" : "N7:") + std::to_string(i)));
        }
        EXPECT_EQ(Cycle(), k.requests) << k.count << (k.floats ? " floats" : " words");
        ASSERT_EQ(values.size(), static_cast<size_t>(k.count));
        for (int i = 0; i < k.count; ++i) {
            const uint8_t* bytes = values[i].data.data();
            EXPECT_EQ(k.floats ? GetLittleEndianFloat(bytes) : GetLittleEndian16(bytes),
                      k.floats ? i + 0.5f : 3 * i)
                << i;
        }
    }
}

TEST_F(PcccBlockTest, TimerAccumulatorMovesAndDoneFollows) {
    Start(plcsim::PcccPlcType::kSlc500, PlcType::kSlc500);
    for (const char* address : {"T4:1.ACC", "T4:1/DN", "T4:1.PRE", "T4:1/TT"}) {
        polled.Add(Plc5Tag(address));
    }
    ASSERT_EQ(Write("T4:1.PRE", Word(30)), 0);
    ASSERT_EQ(Write("T4:1/EN", Word(1)), 0);
    int16_t lastAcc = 0;
    bool moved = false;
    ASSERT_TRUE(WaitUntil([&] {
        if (Cycle() < 1) {
            return false;
        }
        moved = moved || Int(0) > lastAcc;
        lastAcc = Int(0);
        return values[1].data[0] == 1;
    }));
    EXPECT_TRUE(moved);
    EXPECT_EQ(Int(0), 30);
    EXPECT_EQ(Int(2), 30);
    EXPECT_EQ(values[3].data[0], 0) << "TT is off once done";
}

// A bit, a word's bit and a field are written alone: the rest of the word and element stay.
TEST_F(PcccBlockTest, BitAndFieldWritesChangeNothingElse) {
    Start(plcsim::PcccPlcType::kPlc5, PlcType::kPlc5);
    ASSERT_TRUE(plc->Table().SetInt(3, 2, static_cast<int16_t>(0xF0F0)));
    ASSERT_TRUE(plc->Table().SetInt(7, 5, 0x00FF));
    for (const char* address : {"B3:2", "N7:5", "C5:1", "C5:1.PRE", "C5:1.ACC"}) {
        polled.Add(Plc5Tag(address));
    }
    ASSERT_EQ(Write("C5:1.PRE", Word(100)), 0);
    ASSERT_EQ(Write("C5:1.ACC", Word(7)), 0);
    ASSERT_EQ(Write("C5:1/CU", Word(1)), 0);  // counts up: ACC 8
    ASSERT_EQ(Cycle(), 3);
    const int16_t control = Int(2);
    ASSERT_EQ(Write("B3/32", Word(1)), 0);  // B3:2/0
    ASSERT_EQ(Write("N7:5/15", Word(1)), 0);
    ASSERT_EQ(Write("C5:1.PRE", Word(90)), 0);
    ASSERT_EQ(Cycle(), 3);
    EXPECT_EQ(static_cast<uint16_t>(Int(0)), 0xF0F1);
    EXPECT_EQ(static_cast<uint16_t>(Int(1)), 0x80FF);
    EXPECT_EQ(Int(2), control);
    EXPECT_EQ(Int(3), 90);
    EXPECT_EQ(Int(4), 8);
    // A status bit the counter sets is never written.
    EXPECT_EQ(Write("C5:1/DN", Word(1)), -1);
}

// The link says why: an SLC 500 has no L files (nothing is asked), an element past the file is
// the PLC's refusal (logged once); the other tags of the poll are still read.
TEST_F(PcccBlockTest, RefusalsCarryTheirReason) {
    tb_test::LogCapture log;
    Start(plcsim::PcccPlcType::kSlc500, PlcType::kSlc500);
    auto tag = Plc5Tag("L9:0");
    EXPECT_EQ(connection->TestExplicitTag(tag.get(), *records), -1);
    EXPECT_EQ(Write("L9:0", {1, 0, 0, 0}), -1);
    EXPECT_EQ(log.Count("SLC 500 controllers have no L files"), 2u);
    ASSERT_TRUE(plc->Table().SetInt(7, 1, 11));
    ASSERT_TRUE(plc->Table().SetInt(7, 63, 63));
    for (const char* address : {"L9:0", "N7:1", "N7:63", "N7:64"}) {
        polled.Add(Plc5Tag(address));
    }
    // N7:63 and N7:64 share a block the PLC refuses: both are read again alone, at once.
    for (int requests : {4, 3}) {
        ASSERT_EQ(Cycle(), requests);
        EXPECT_NE(values[0].generalStatus, 0);
        EXPECT_EQ(Int(1), 11);
        EXPECT_EQ(Int(2), 63);
        EXPECT_NE(values[3].generalStatus, 0);
    }
    EXPECT_EQ(log.Count("N7:64: read refused by the PLC - address does not point"), 1u);
}

// A reply naming a transaction nobody waits for is dropped; a reply without the sender
// context is taken while it is the only request outstanding.
TEST_F(PcccBlockTest, StaleAndContextlessRepliesAreTakenOnlyWhenTheyCanBeTold) {
    tb_test::LogCapture log;
    Start(plcsim::PcccPlcType::kPlc5, PlcType::kPlc5, 1);
    ASSERT_TRUE(plc->Table().SetInt(7, 0, 5));
    polled.Add(Plc5Tag("N7:0"));
    plcsim::Fault stale;
    stale.action = plcsim::FaultAction::Mutate;
    stale.mutate = [](std::vector<uint8_t>& reply) {
        std::vector<uint8_t> old = reply;
        constexpr size_t kTns = 53;  // 40 SendRRData front, 4 reply front, 7 requester ID, 2
        old[kTns] = static_cast<uint8_t>(old[kTns] + 100);
        reply.insert(reply.begin(), old.begin(), old.end());
    };
    plc->Sim().InjectFault(stale);
    ASSERT_EQ(Cycle(), 1);
    EXPECT_EQ(Int(0), 5);
    EXPECT_TRUE(log.Contains("unknown transaction number"));
    plcsim::ZeroSenderContext(plc->Sim());
    ASSERT_EQ(Cycle(), 1);
    EXPECT_EQ(Int(0), 5);
}

// Without the Identity object the controller is named by ListIdentity; without either it is
// still connected, and its name says so.
TEST_F(PcccBlockTest, IdentityFallsBackToListIdentityAndThenToNone) {
    Start(plcsim::PcccPlcType::kMicroLogix, PlcType::kMicroLogix);
    plcsim::HideIdentityObject(plc->Sim());
    ProductInfo product;
    ASSERT_EQ(connection->ReadPLCProductInfo(0, product), 0);
    EXPECT_EQ(product.productName, plc->Sim().Config().identity.productName);
    plcsim::IgnoreListIdentity(plc->Sim());
    ASSERT_EQ(connection->ReadPLCProductInfo(0, product), 0);
    EXPECT_EQ(product.productName, PcccConnection::kNoIdentityName);
}

}  // namespace
