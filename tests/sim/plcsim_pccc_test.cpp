// plcsim's PCCC controllers (PLC-5, SLC 500, MicroLogix): typed reads, writes and masked
// writes byte for byte through Execute PCCC, block reads and sub-elements of timers, counters
// and control elements, the refusals each kind gives, running timers and counting counters,
// pipelined requests over TCP and the connection behaviours of bridges.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/pccc_cli.h"
#include "sim/pccc_services.h"
#include "support/hex.h"
#include "support/sim_plc.h"
#include "tests/sim/raw_client.h"

using namespace plcsim;
using namespace plcsim_test;
using tb_test::Hex;

namespace {

using Bytes = std::vector<uint8_t>;

// Execute PCCC to the PCCC object with requester ID 07 0000 11223344, then the command.
const std::string kPcccFront = "4B02 2067 2401 07 0000 11223344 ";
// The Execute PCCC reply up to the PCCC reply (requester ID echoed).
const std::string kReplyFront = "CB000000 07 0000 11223344 ";

// The reply bytes of an Execute PCCC request given as hex (CMD onwards).
Bytes Execute(PcccController& plc, const std::string& command) {
    const Bytes request = Hex(kPcccFront + command);
    return plc.Sim().Router().Execute(ByteView{request.data(), request.size()}, nullptr, 1);
}

// Sends an Execute PCCC request (CMD onwards, as hex) in a SendRRData without waiting.
void SendPccc(RawClient& client, uint32_t handle, const std::string& command) {
    const Bytes request = Hex(kPcccFront + command);
    ByteWriter body;
    body.u32(0).u16(0).u16(2).u16(0).u16(0).u16(CPF_ITEM_UNCONNECTED_DATA);
    body.u16(static_cast<uint16_t>(request.size())).bytes(request);
    client.Send(EIP_CMD_SEND_RR_DATA, handle, body.to_vector());
}

}  // namespace

// Every row runs on a fresh controller of its kind. A refusal is STS F0 and its EXT STS (01
// illegal field value, 06 unusable address, 09 data too large, 11 illegal data type, 1E
// protected), not a protocol error; a malformed command is STS 10 and recorded.
TEST(PcccControllerTest, CommandsAreAnsweredOrRefusedByteForByte) {
    const auto plc5 = PcccPlcType::kPlc5;
    const auto slc = PcccPlcType::kSlc500;
    const struct {
        PcccPlcType type;
        const char* what;
        const char* command;
        const char* reply;  // after the requester ID; STS 10 rows are protocol errors
    } cases[] = {
        {plc5, "one word", "0F00 3412 A2 02 07 89 03 00", "4F00 3412 3412"},
        {plc5, "block of four words", "0F00 0100 A2 08 07 89 02 00",
         "4F00 0100 0000 3412 0000 0000"},
        {plc5, "3-byte file number", "0F00 0100 A2 04 FF2C01 89 00 00", "4F00 0100 0000 0700"},
        {plc5, "two whole timers", "0F00 0100 A2 0C 04 86 01 00",
         "4F00 0100 0000 6400 0700 0000 0000 0000"},
        {plc5, "T4:1.ACC", "0F00 0100 A2 02 04 86 01 02", "4F00 0100 0700"},
        {plc5, "T4:1.PRE and .ACC", "0F00 0100 A2 04 04 86 01 01", "4F00 0100 6400 0700"},
        {plc5, "C5:2.PRE", "0F00 0100 A2 02 05 87 02 01", "4F00 0100 F4FF"},
        {plc5, "O by its file code", "0F00 0100 A2 02 00 82 01 00", "4F00 0100 5500"},
        {plc5, "O by slot code", "0F00 0100 A2 02 00 8B 01 00", "4F00 0100 5500"},
        {plc5, "sub-element past a timer", "0F00 0900 A2 02 04 86 00 03", "4FF0 0900 06"},
        {plc5, "sub-element of a word", "0F00 0900 A2 02 07 89 00 01", "4FF0 0900 06"},
        {plc5, "past the end", "0F00 0900 A2 02 07 89 40 00", "4FF0 0900 06"},
        {plc5, "no file", "0F00 0900 A2 02 15 89 00 00", "4FF0 0900 06"},
        {plc5, "N read as F", "0F00 0900 A2 04 07 8A 00 00", "4FF0 0900 11"},
        {plc5, "unknown file type", "0F00 0900 A2 02 07 99 00 00", "4FF0 0900 11"},
        {plc5, "0 bytes", "0F00 0900 A2 00 07 89 00 00", "4FF0 0900 01"},
        {plc5, "above 240 bytes", "0F00 0900 A2 F2 07 89 00 00", "4FF0 0900 09"},
        {plc5, "write past the end", "0F00 0900 AA 02 07 89 40 00 0100", "4FF0 0900 06"},
        {plc5, "PLC-5 status words are writable", "0F00 0200 AA 04 02 84 00 00 0100 0200",
         "4F00 0200"},
        {slc, "SLC 500 has no L file", "0F00 0900 A2 04 09 91 00 00", "4FF0 0900 11"},
        {slc, "SLC 500 above 236 bytes", "0F00 0900 A2 EE 07 89 00 00", "4FF0 0900 09"},
        {slc, "SLC 500 processor words", "0F00 0900 AB 02 02 84 3F 00 FFFF 0100", "4FF0 0900 1E"},
        {PcccPlcType::kMicroLogix, "MicroLogix has L", "0F00 0100 A2 04 09 91 01 00",
         "4F00 0100 FFFFFFFF"},
        {plc5, "cut inside the address", "0F00 0100 A2 02 07", "4F10 0100"},
        {plc5, "another command", "0E00 0100 A2 02 07 89 00 00", "4E10 0100"},
        {plc5, "PLC-5 typed read", "0F00 0100 68 00 00 02 00 07 00", "4F10 0100"},
        {plc5, "read with trailing bytes", "0F00 0100 A2 02 07 89 00 00 09", "4F10 0100"},
        {plc5, "write shorter than its size", "0F00 0100 AA 02 07 89 00 00 01", "4F10 0100"},
        {plc5, "masked write without value", "0F00 0100 AB 02 03 85 00 00 0100", "4F10 0100"},
    };
    for (const auto& c : cases) {
        PcccController plc(SimConfig{}, c.type);
        PcccDataTable& table = plc.Table();
        ASSERT_TRUE(table.SetInt(7, 3, 0x1234));
        ASSERT_TRUE(table.DefineFile(300, PCCC_FILE_TYPE_INTEGER, 4));
        ASSERT_TRUE(table.SetInt(300, 1, 7));
        ASSERT_TRUE(table.SetInt(4, 1, 100, kPcccPresetWord));
        ASSERT_TRUE(table.SetInt(4, 1, 7, kPcccAccumulatorWord));
        ASSERT_TRUE(table.SetInt(5, 2, -12, kPcccPresetWord));
        ASSERT_TRUE(table.SetInt(0, 1, 0x55));
        table.SetDint(9, 1, -1);  // no L file on an SLC 500
        const Bytes reply = Hex(c.reply);
        EXPECT_EQ(Execute(plc, c.command), Hex(kReplyFront + c.reply)) << c.what;
        EXPECT_EQ(plc.Sim().ProtocolErrors().size(), reply.at(1) == 0x10 ? 1u : 0u) << c.what;
    }
}

// A read of exactly the limit is answered, one byte more is refused; a write likewise.
TEST(PcccControllerTest, EachKindAnswersUpToItsTransferLimit) {
    for (const auto& [type, limit] :
         {std::pair{PcccPlcType::kPlc5, 240}, std::pair{PcccPlcType::kSlc500, 236},
          std::pair{PcccPlcType::kMicroLogix, 234}}) {
        PcccDataTable table(type);
        ASSERT_EQ(table.TransferLimit(), limit);
        ASSERT_TRUE(table.DefineFile(20, PCCC_FILE_TYPE_INTEGER, 200));
        const PcccAddress n20{20, PCCC_FILE_TYPE_INTEGER, 0, 0};
        Bytes out;
        EXPECT_TRUE(table.Read(n20, static_cast<uint16_t>(limit), out).ok());
        EXPECT_EQ(out.size(), static_cast<size_t>(limit));
        EXPECT_EQ(table.Read(n20, static_cast<uint16_t>(limit + 1), out).extSts, 0x09);
        const Bytes data(limit + 1, 0);
        EXPECT_EQ(table.Write(n20, ByteView{data.data(), data.size()}, false).extSts, 0x09);
    }
}

// T4:0 runs from power-up (preset 10 s, time base 0.01 s): ACC climbs with TT set, DN follows
// at the preset, and clearing EN resets the timer.
TEST(PcccControllerTest, TimersRunAndReset) {
    auto now = std::chrono::steady_clock::time_point{};
    PcccDataTable table(PcccPlcType::kSlc500, [&now] { return now; });
    const PcccAddress t4{4, PCCC_FILE_TYPE_TIMER, 0, 0};
    const auto element = [&] {
        Bytes out;
        table.Read(t4, 6, out);
        return out;
    };
    now += std::chrono::milliseconds(255);
    EXPECT_EQ(element(), Hex("00C0 E803 1900")) << "EN TT, PRE 1000, ACC 25";
    now += std::chrono::seconds(20);
    EXPECT_EQ(element(), Hex("00A0 E803 E803")) << "EN DN, ACC stops at PRE";
    const Bytes clearEnable = Hex("0080 0000");
    ASSERT_TRUE(table.Write(t4, ByteView{clearEnable.data(), clearEnable.size()}, true).ok());
    EXPECT_EQ(element(), Hex("0000 E803 0000"));
}

// A counter counts each rising CU (up) and CD (down), DN follows ACC >= PRE, and ACC wraps
// with OV past 32767.
TEST(PcccControllerTest, CountersCountRisingEdges) {
    PcccDataTable table(PcccPlcType::kMicroLogix);
    ASSERT_TRUE(table.SetInt(5, 0, 2, kPcccPresetWord));
    const PcccAddress c5{5, PCCC_FILE_TYPE_COUNTER, 0, 0};
    const auto setStatus = [&](const char* maskThenValue) {
        const Bytes data = Hex(maskThenValue);
        return table.Write(c5, ByteView{data.data(), data.size()}, true).ok();
    };
    for (int pulse = 0; pulse < 2; ++pulse) {
        ASSERT_TRUE(setStatus("0080 0080"));
        ASSERT_TRUE(setStatus("0080 0000"));
    }
    EXPECT_EQ(table.GetInt(5, 0, kPcccAccumulatorWord), 2);
    EXPECT_EQ(table.GetInt(5, 0), 0x2000) << "DN";
    ASSERT_TRUE(setStatus("0040 0040"));
    EXPECT_EQ(table.GetInt(5, 0, kPcccAccumulatorWord), 1);
    EXPECT_EQ(table.GetInt(5, 0), 0x4000) << "CD, DN cleared";
    ASSERT_TRUE(table.SetInt(5, 0, 32767, kPcccAccumulatorWord));
    ASSERT_TRUE(setStatus("0080 0080"));
    EXPECT_EQ(table.GetInt(5, 0, kPcccAccumulatorWord), -32768);
    EXPECT_EQ(*table.GetInt(5, 0) & 0x1000, 0x1000) << "OV";
}

// A masked write changes only its bits; a sub-element write only its word of the element.
TEST(PcccControllerTest, WritesTouchOnlyTheirBitsOrWord) {
    PcccController plc{SimConfig{}};
    ASSERT_TRUE(plc.Table().SetInt(3, 0, 0x00F0));
    EXPECT_EQ(Execute(plc, "0F00 0200 AB 02 03 85 00 00 0F01 05FF"),
              Hex(kReplyFront + "4F00 0200"));
    // bits 0-3 and 8 from the value (0101 and 1), the rest kept: 0x01F5.
    EXPECT_EQ(plc.Table().GetInt(3, 0), 0x01F5);
    ASSERT_TRUE(plc.Table().SetInt(4, 1, 7, kPcccAccumulatorWord));
    EXPECT_EQ(Execute(plc, "0F00 0300 AA 02 04 86 01 01 C800"), Hex(kReplyFront + "4F00 0300"));
    EXPECT_EQ(Execute(plc, "0F00 0400 A2 06 04 86 01 00"),
              Hex(kReplyFront + "4F00 0400 0000 C800 0700"));
}

TEST(PcccControllerTest, WrongServicePathOrRequesterIdIsACipError) {
    PcccController plc{SimConfig{}};
    const auto status = [&plc](const std::string& request) {
        const Bytes bytes = Hex(request);
        return plc.Sim().Router().Execute(ByteView{bytes.data(), bytes.size()}, nullptr, 1).at(2);
    };
    EXPECT_EQ(status("4C02 2067 2401 07 0000 11223344 0F00 0100 A2 02 07 89 00 00"),
              CIP_STATUS_SERVICE_NOT_SUPPORTED);
    EXPECT_EQ(status("4B02 2067 2402 07 0000 11223344 0F00 0100 A2 02 07 89 00 00"),
              CIP_STATUS_OBJECT_DOES_NOT_EXIST);
    EXPECT_EQ(status("4B02 2067 2401 2000"), CIP_STATUS_NOT_ENOUGH_DATA);
}

// Three requests sent before any reply are answered in order, each with its own TNS.
TEST(PcccControllerTest, PipelinedRequestsAreAnsweredInOrder) {
    PcccController plc(tb_test::LoopbackConfig(), PcccPlcType::kSlc500);
    ASSERT_TRUE(plc.Table().SetInt(7, 1, 0x0102));
    ASSERT_TRUE(plc.Sim().Start());
    RawClient client(plc.Sim().Port());
    const uint32_t handle = client.Register();
    for (const char* command : {"0F00 0A00 A2 02 07 89 01 00", "0F00 0B00 A2 04 09 91 00 00",
                                "0F00 0C00 A2 02 07 89 00 00"}) {
        SendPccc(client, handle, command);
    }
    for (const char* reply : {"4F00 0A00 0201", "4FF0 0B00 11", "4F00 0C00 0000"}) {
        const Bytes message = client.Receive();
        ASSERT_GE(message.size(), EIP_RR_DATA_FRONT_SIZE);
        EXPECT_EQ(Bytes(message.begin() + EIP_RR_DATA_FRONT_SIZE, message.end()),
                  Hex(kReplyFront + reply));
    }
}

// What a bridge in front of a controller may do: no Identity object, no ListIdentity answer,
// replies with a zero sender context.
TEST(PcccControllerTest, BridgeBehavioursCanBeArmed) {
    PcccController plc(tb_test::LoopbackConfig(), PcccPlcType::kSlc500);
    HideIdentityObject(plc.Sim());
    IgnoreListIdentity(plc.Sim());
    ZeroSenderContext(plc.Sim());
    ASSERT_TRUE(plc.Sim().Start());
    RawClient client(plc.Sim().Port());
    const uint32_t handle = client.Register();
    EXPECT_EQ(CipStatus(client.Unconnected(handle, kIdentityRequest)).first,
              CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    client.Send(EIP_CMD_LIST_IDENTITY, 0, {});
    EXPECT_TRUE(client.Receive(200).empty());
    SendPccc(client, handle, "0F00 0100 A2 02 07 89 00 00");
    const Bytes reply = client.Receive();
    ASSERT_GE(reply.size(), 20u);
    EXPECT_EQ(Bytes(reply.begin() + 12, reply.begin() + 20), Bytes(8, 0));
}

// The kind and files from the command line or the JSON tag file; the command line wins.
TEST(PcccControllerTest, KindAndFilesComeFromOptionsOrTagFile) {
    const std::string path = ::testing::TempDir() + "pccc_tags.json";
    std::ofstream(path) << R"({"plcType": "micrologix", "pcccFiles": ["N7:500"], "tags": []})";
    PcccCliOptions options;
    options.files = {"t4:3"};
    PcccPlcType type = PcccPlcType::kPlc5;
    std::string error;
    ASSERT_TRUE(ResolvePcccOptions(options, path, type, error)) << error;
    EXPECT_EQ(type, PcccPlcType::kMicroLogix);
    PcccController plc(SimConfig{}, type);
    ASSERT_TRUE(ApplyPcccOptions(options, plc.Table(), plc.Sim(), error)) << error;
    EXPECT_TRUE(plc.Table().GetInt(7, 499).has_value());
    EXPECT_FALSE(plc.Table().GetInt(4, 3).has_value());
    options = PcccCliOptions{};
    options.plcType = "slc500";
    ASSERT_TRUE(ResolvePcccOptions(options, path, type, error));
    EXPECT_EQ(type, PcccPlcType::kSlc500);
    PcccController slc(SimConfig{}, type);
    for (const char* bad : {"L9:10", "X7:10", "N7", "N7:0"}) {
        options.files = {bad};
        EXPECT_FALSE(ApplyPcccOptions(options, slc.Table(), slc.Sim(), error)) << bad;
    }
    std::remove(path.c_str());
}
