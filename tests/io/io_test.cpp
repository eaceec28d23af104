// Class-1 I/O: the bytes of the connection (the Forward Open with its electronic key, symbolic
// path and Sockaddr Info item, the item walk of received datagrams, the consumed-data reply, the
// route lookup of our own address), and listening end to end: Start Listening and Stop
// Listening through the SDK's invoke, a link wired as the process wires it, and the in-process
// controller producing class-1 data over loopback UDP; a restart of the link on the same node
// store resumes listening.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "device/device_test_support.h"
#include "device/eip_device.h"
#include "device/eip_manager.h"
#include "eip/eip_connection.h"
#include "eip/eip_io_connection.h"
#include "strata_sdk/sdk.h"
#include "support/action_link.h"
#include "support/free_port.h"
#include "support/temp_dir.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using plcsim::IoConnectionView;
using plcsim::IoFault;
using plcsim::IoFaultAction;
using tb_device_test::SimPlc;
using tb_device_test::WaitUntil;

// The identity of plcsim's default controller, which its I/O Forward Open checks.
ProductInfo DemoProduct() {
    ProductInfo product;
    product.vendorId = 1;
    product.deviceType = 0x0E;
    product.productCode = 0x36;
    product.majorRevision = 20;
    product.minorRevision = 11;
    return product;
}

// A UDP port free on every local address (the listener binds them all).
uint16_t FreeUdpPort() {
    return tb_test::UnusedPort(SOCK_DGRAM, INADDR_ANY);
}

class IoListeningTest : public ::testing::Test {
  protected:
    explicit IoListeningTest(plcsim::SimConfig config = SimPlc::Config()) : plc(config) {}

    void SetUp() override {
        ASSERT_TRUE(plc.Started());
        plc.Define("In1", "DINT", 1234);
        plc.Define("In2", "DINT", 5678);
    }

    void TearDown() override { StopLink(); }

    void StartLink(const std::string& dataDir = "") {
        link = std::make_unique<tb_test::ActionLink>(dataDir);
        ASSERT_TRUE(link->Ready());
    }

    void StopLink() { link.reset(); }

    // A link on `dataDir` with PLC1 (`plc`) and its two I/O tags, as AddPlcWithTwoIOTags adds them.
    void StartLinkWithTwoIOTags(const std::string& dataDir = "") {
        StartLink(dataDir);
        AddPlcWithTwoIOTags();
    }

    // A PLC (PLC1: `plc`) with the I/O tags io1 (In1) and io2 (In2) of 8 bytes, each with a
    // DINT subtag "v" over its first four bytes.
    void AddPlcWithTwoIOTags(const std::string& alias = "PLC1", SimPlc* sim = nullptr,
                             const std::string& host = "127.0.0.1") {
        sim = sim != nullptr ? sim : &plc;
        ASSERT_EQ("success!", link->AddPlc(alias, sim->Sim().Port(), "CIP/EIP", host));
        ASSERT_EQ((std::vector<std::string>{"success!", "success!"}),
                  link->Tags("/" + alias + "/IO Tags/Add Tags",
                             R"([{"Tag Alias":"io1","Tag Name":"In1","DataLen":8},
                                 {"Tag Alias":"io2","Tag Name":"In2","DataLen":8}])"));
        for (const std::string tag : {"io1", "io2"}) {
            const std::string path = "/" + alias + "/IO Tags/" + tag;
            ASSERT_TRUE(WaitUntil([&] { return link->Exists(path + "/Add Subtag"); }));
            link->Invoke(path + "/Add Subtag", R"js({"Alias":"v","InnerType":"DINT (4bytes)"})js");
        }
    }

    sdk::InvokeResult StartListening(int interval, const std::string& alias = "PLC1") {
        return link->Invoke("/" + alias + "/IO Tags/Start Listening",
                            "{\"Interval(ms)\":" + std::to_string(interval) +
                                ",\"UDP Port\":" + std::to_string(udpPort) + "}");
    }

    bool ValueIs(const std::string& path, int64_t expected) {
        const sdk::Variant v = link->Value(path);
        return v.is_number() && static_cast<int64_t>(v.as_double()) == expected;
    }

    std::vector<IoConnectionView> Produced() { return plc.Sim().Io().Connections(); }
    IoConnectionView ProducedFor(const std::string& tagName) {
        for (const IoConnectionView& view : Produced()) {
            if (view.tagName == tagName) {
                return view;
            }
        }
        return IoConnectionView{};
    }
    // Datagrams sent but not answered, over all connections.
    uint64_t Unanswered() {
        uint64_t unanswered = 0;
        for (const IoConnectionView& view : Produced()) {
            unanswered += view.datagramsSent - view.repliesGood;
        }
        return unanswered;
    }
    // The figures of PLC1's device (zero when there is none).
    DeviceStatsSnapshot Stats() {
        const EipDeviceHandle device = link->Registry().GetPLC("PLC1");
        return device != nullptr ? device->GetStats() : DeviceStatsSnapshot{};
    }
    // Every connection answered at least `count` datagrams, and every datagram was answered
    // except those that arrived before their connection was known (each counted).
    bool AllAnswered(uint64_t count) {
        const auto views = Produced();
        for (const IoConnectionView& view : views) {
            if (view.repliesGood < count) {
                return false;
            }
        }
        return !views.empty() && Unanswered() == Stats().ioForged;
    }

    // Sends a datagram for In2's connection carrying 0x7777 from `from` (an ephemeral port).
    void Forge(const char* from, uint32_t sequence) {
        uint8_t bytes[28];
        ByteWriter writer(bytes, sizeof bytes);  // 2 items: address (ID, sequence), 8 data bytes
        writer.u16(2).u16(CPF_ITEM_SEQUENCED_ADDRESS).u16(8).u32(ProducedFor("In2").toConnectionId);
        writer.u32(sequence).u16(CPF_ITEM_CONNECTED_DATA).u16(10).u16(0).u32(0x7777).u32(0);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, from, &address.sin_addr);
        EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)) << from;
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        address.sin_port = htons(udpPort);
        sendto(fd, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
        close(fd);
    }
    // Runs `forge` and waits until `counted` holds and two more of the PLC's datagrams were
    // answered; how many forged values reached io2.
    int ForgedValuesSeen(const std::function<void()>& forge, const std::function<bool()>& counted) {
        std::atomic<int> seen{0};
        const auto subscription = link->Link().broker().subscribe(
            sdk::NodePath("/PLC1/IO Tags/io2/v"), [&](const sdk::TreeEvent& event) {
                seen += event.value.is_number() && event.value.as_double() == 0x7777;
            });
        forge();
        EXPECT_TRUE(WaitUntil(counted));
        const uint64_t answered = ProducedFor("In2").repliesGood;
        EXPECT_TRUE(WaitUntil([&] { return ProducedFor("In2").repliesGood > answered + 1; }));
        link->Link().broker().unsubscribe(subscription);
        return seen.load();
    }

    tb_device_test::LogCapture log{0};
    SimPlc plc;
    uint16_t udpPort = FreeUdpPort();
    std::unique_ptr<tb_test::ActionLink> link;
};

// A controller that names the UDP port it produces from in its Forward Open reply.
class IoGrantedPortTest : public IoListeningTest {
  protected:
    IoGrantedPortTest() : IoListeningTest(GrantingConfig()) {}
    static plcsim::SimConfig GrantingConfig() {
        plcsim::SimConfig config = SimPlc::Config();
        config.ioGrantSockaddr = true;
        return config;
    }
};

// Each tag on the one port receives its own data (one longer than an old queue record
// included), every datagram is answered once across the CIP count's wrap, and Stop Listening
// closes the connections and frees the port.
TEST_F(IoListeningTest,
       TagsOnOnePortReceiveTheirOwnDataEveryDatagramIsAnsweredOnceAndStopFreesAll) {
    plc.Define("Big", "DINT", nullptr, {100});
    StartLinkWithTwoIOTags();
    ASSERT_EQ(std::vector<std::string>{"success!"},
              link->Tags("/PLC1/IO Tags/Add Tags",
                         R"([{"Tag Alias":"big","Tag Name":"Big","DataLen":400}])"));
    EXPECT_EQ((std::vector<std::string>{"success!", "success!", "success!"}),
              link->Messages(StartListening(20)));
    ASSERT_TRUE(WaitUntil([this] { return link->Exists("/PLC1/IO Tags/Stop Listening"); }));
    EXPECT_FALSE(link->Exists("/PLC1/IO Tags/Add Tags"));

    EXPECT_TRUE(WaitUntil([this] { return ValueIs("/PLC1/IO Tags/io1/v", 1234); }));
    EXPECT_TRUE(WaitUntil([this] { return ValueIs("/PLC1/IO Tags/io2/v", 5678); }));
    EXPECT_TRUE(WaitUntil([this] {
        const sdk::Variant data = link->Value("/PLC1/IO Tags/big/Data");
        return data.is_array() && data.as_array().size() == 400;
    })) << sdk::json::to_json_string(link->Value("/PLC1/IO Tags/big/Data"));
    plc.Tags().SetInt("In2", -9);
    EXPECT_TRUE(WaitUntil([this] { return ValueIs("/PLC1/IO Tags/io2/v", -9); }));
    ASSERT_EQ(3u, Produced().size());
    EXPECT_NE(ProducedFor("In1").toConnectionId, ProducedFor("In2").toConnectionId);

    // The producer's CIP count starts near 65535: the replies must follow it across the wrap.
    EXPECT_TRUE(WaitUntil([this] {
        const auto views = Produced();
        return std::all_of(views.begin(), views.end(),
                           [](const IoConnectionView& v) { return v.repliesGood >= 20; });
    }));
    plc.Sim().Io().InjectFault(IoFault{IoFaultAction::StopProducing, 0});
    EXPECT_TRUE(WaitUntil([this] { return AllAnswered(20); })) << log.All();
    for (const IoConnectionView& view : Produced()) {
        EXPECT_EQ(0u, view.repliesBad) << view.tagName;
    }
    EXPECT_EQ(0u, plc.Sim().Io().StrayReplies());

    const auto result = link->Invoke("/PLC1/IO Tags/Stop Listening", "{}");
    ASSERT_EQ(1u, result.rows.size());
    EXPECT_TRUE(result.rows[0][0].as_bool());
    EXPECT_TRUE(WaitUntil([this] { return Produced().empty(); }));
    EXPECT_TRUE(WaitUntil([this] { return link->Exists("/PLC1/IO Tags/Start Listening"); }));
    EXPECT_TRUE(link->Exists("/PLC1/IO Tags/Add Tags"));
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(udpPort);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    close(fd);
}

TEST_F(IoListeningTest, ForeignOrMalformedDatagramsAreDroppedWithTheirLineAndNoReply) {
    StartLinkWithTwoIOTags();
    StartListening(50);
    ASSERT_TRUE(
        WaitUntil([this] { return ValueIs("/PLC1/IO Tags/io2/v", 5678) && AllAnswered(1); }));
    // Every datagram is answered but the dropped ones. Two bad ones in a row stay within the
    // data time-out of four intervals.
    uint64_t unanswered = Stats().ioForged;
    struct Case {
        IoFaultAction action;
        std::function<uint64_t()> count;  // lines logged or datagrams counted
    };
    const Case cases[] = {
        {IoFaultAction::ItemCountThree,
         [this] { return log.Count("I/O Message item count is wrong"); }},
        {IoFaultAction::WrongConnectionId, [this] { return Stats().ioForged; }},
    };
    for (const Case& c : cases) {
        const uint64_t before = c.count();
        plc.Sim().Io().InjectFault(IoFault{c.action, 2});
        EXPECT_TRUE(WaitUntil([&] { return c.count() >= before + 2; }));
        unanswered += 2;
        EXPECT_TRUE(WaitUntil([&] { return Unanswered() == unanswered; }));
        EXPECT_EQ(before + 2, c.count());
    }
    EXPECT_EQ(0u, plc.Sim().Io().StrayReplies());
    EXPECT_FALSE(log.Contains("no I/O data")) << log.All();
}

// A datagram from another address than the PLC's (naming a live connection), or one replaying a
// sequence number already seen, changes no value, gets no answer and is counted.
TEST_F(IoListeningTest, ForgedAndReplayedDatagramsChangeNothingAndAreCounted) {
    StartLinkWithTwoIOTags();
    StartListening(50);
    ASSERT_TRUE(WaitUntil([this] { return ValueIs("/PLC1/IO Tags/io2/v", 5678); }));
    const uint32_t ahead = static_cast<uint32_t>(ProducedFor("In2").datagramsSent + 1000);
    EXPECT_EQ(0, ForgedValuesSeen([&] { Forge("127.0.0.2", ahead); },
                                  [this] { return Stats().ioForeign == 1; }));
    // The PLC's first datagram again, from its address (any port: it granted none).
    EXPECT_EQ(0, ForgedValuesSeen([&] { Forge("127.0.0.1", 1); },
                                  [this] { return Stats().ioStale == 1; }));
}

// Once the PLC named its producing port, a datagram from its address but another port is
// refused; its own keep coming in.
TEST_F(IoGrantedPortTest, ADatagramFromThePlcAddressButAnotherPortIsRefused) {
    StartLinkWithTwoIOTags();
    StartListening(50);
    ASSERT_TRUE(WaitUntil([this] { return ValueIs("/PLC1/IO Tags/io2/v", 5678); }));
    const uint32_t ahead = static_cast<uint32_t>(ProducedFor("In2").datagramsSent + 1000);
    EXPECT_EQ(0, ForgedValuesSeen([&] { Forge("127.0.0.1", ahead); },
                                  [this] { return Stats().ioForeign == 1; }));
    EXPECT_EQ(0u, Stats().ioStale);
}

// PLCs listening on one port share its socket: each gets its own values, and one stopping
// leaves the other listening.
TEST_F(IoListeningTest, TwoPlcsOnOnePortEachGetTheirOwnValues) {
    SimPlc plc2(SimPlc::Config("127.0.0.2"));
    ASSERT_TRUE(plc2.Started());
    plc2.Define("In1", "DINT", 111);
    plc2.Define("In2", "DINT", 222);
    StartLinkWithTwoIOTags();
    AddPlcWithTwoIOTags("PLC2", &plc2, "127.0.0.2");
    const std::vector<std::string> started{"success!", "success!"};
    EXPECT_EQ(started, link->Messages(StartListening(20)));
    EXPECT_EQ(started, link->Messages(StartListening(20, "PLC2"))) << log.All();
    EXPECT_TRUE(WaitUntil([this] {
        return ValueIs("/PLC1/IO Tags/io2/v", 5678) && ValueIs("/PLC2/IO Tags/io2/v", 222);
    }));
    link->Invoke("/PLC1/IO Tags/Stop Listening", "{}");
    plc2.Tags().SetInt("In1", 333);
    EXPECT_TRUE(WaitUntil([this] { return ValueIs("/PLC2/IO Tags/io1/v", 333); }));
    EXPECT_EQ(0u, Stats().ioForeign + Stats().ioStale);
}

// A port another program holds: Start Listening fails before any Forward Open, saying why.
TEST_F(IoListeningTest, APortTakenElsewhereFailsBeforeAnyForwardOpen) {
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(udpPort);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address));
    StartLinkWithTwoIOTags();
    EXPECT_EQ((std::vector<std::string>(2, "Failed to Start Listening.")),
              link->Messages(StartListening(20)));
    EXPECT_TRUE(log.Contains("open IO udp socket error. port " + std::to_string(udpPort) +
                             ": Address already in use"));
    EXPECT_EQ(0u, plc.Sim().Io().ForwardOpens());
    close(holder);
}

// A connection the PLC closes, or one without data for four packet intervals (a cable pulled, a
// PLC halted), is reopened about a second later and listening comes back.
TEST_F(IoListeningTest, AConnectionClosedOrWithoutDataIsReopenedAboutASecondLater) {
    StartLinkWithTwoIOTags();
    StartListening(20);
    ASSERT_TRUE(WaitUntil([this] { return ValueIs("/PLC1/IO Tags/io1/v", 1234); }));
    struct Case {
        std::function<void()> cut;
        std::string line;
        bool io1Only;
    };
    const Case cases[] = {
        {[this] { plc.Sim().CloseSession(ProducedFor("In1").sessionHandle); },
         "I/O listening end. - io1", true},
        {[this] { plc.Sim().Io().InjectFault(IoFault{IoFaultAction::StopProducing}); },
         ": no I/O data for 80 ms - io1", false},
    };
    int32_t value = 4321;
    for (const Case& c : cases) {
        log.Clear();
        const uint32_t before = ProducedFor("In1").otConnectionId;
        c.cut();
        EXPECT_TRUE(WaitUntil([&] { return log.Contains(c.line); })) << log.All();
        EXPECT_TRUE(WaitUntil([this] { return log.Contains("Retry I/O listening ok!! - io1"); }))
            << log.All();
        if (c.io1Only) {
            EXPECT_FALSE(log.Contains("Retry I/O listening ok!! - io2"));
        }
        plc.Sim().Io().ClearFaults();
        EXPECT_NE(before, ProducedFor("In1").otConnectionId);
        plc.Tags().SetInt("In1", ++value);
        EXPECT_TRUE(WaitUntil([&] { return ValueIs("/PLC1/IO Tags/io1/v", value); })) << c.line;
    }
}

TEST_F(IoListeningTest, ARestartResumesListeningWithTheStoredIntervalAndPort) {
    const tb_test::TempDir dir;
    StartLinkWithTwoIOTags(dir.path());
    StartListening(40);
    ASSERT_TRUE(WaitUntil([this] { return ValueIs("/PLC1/IO Tags/io2/v", 5678); }));
    StopLink();
    ASSERT_TRUE(WaitUntil([this] { return Produced().empty(); }));

    StartLink(dir.path());
    EXPECT_TRUE(WaitUntil([this] { return Produced().size() == 2; })) << log.All();
    EXPECT_EQ(40000u, ProducedFor("In1").rpiMicroseconds);
    EXPECT_TRUE(WaitUntil([this] { return ValueIs("/PLC1/IO Tags/io1/v", 1234); }));
    EXPECT_TRUE(WaitUntil([this] { return link->Exists("/PLC1/IO Tags/Stop Listening"); }));
    const EipDeviceHandle device = link->Registry().GetPLC("PLC1");
    ASSERT_NE(nullptr, device);
    EXPECT_EQ(40, device->GetIOParam1());
    EXPECT_EQ(udpPort, device->GetIOParam2());
    StopLink();
}

// ---- the connection on its own -----------------------------------------------------------------

class IoConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Started());
        plc.Define("In1", "DINT", 1);
        product = DemoProduct();
        tag.tagName = "In1";
        tag.dataLen = 4;
    }

    int Open(uint16_t interval) {
        std::string error;
        std::unique_ptr<EipConnection> session(
            EipConnection::MakeTestConnection(plc.Info("PLC1"), error));
        EXPECT_NE(nullptr, session) << error;
        connection = std::make_unique<EipIoConnection>(std::move(session));
        return connection->OpenIOConnection(tag, product, interval, FreeUdpPort());
    }

    tb_device_test::LogCapture log{0};
    SimPlc plc;
    ProductInfo product;
    TagInfo tag;
    std::unique_ptr<EipIoConnection> connection;
};

TEST_F(IoConnectionTest, AcceptsAnIntervalOfTenThousandAndRefusesTenThousandAndOne) {
    EXPECT_EQ(0, Open(10000));
    EXPECT_EQ(10000000u, plc.Sim().Io().Connections().at(0).rpiMicroseconds);
    EXPECT_EQ(-1, Open(10001));
    EXPECT_TRUE(log.Contains("Interval must be smaller than 10000 : 10001"));
    EXPECT_TRUE(log.Contains("Try to close IO connection...(test)"));
}

TEST_F(IoConnectionTest, IsRefusedForAnotherProductOrAnUnknownTag) {
    product.productCode = 0x99;
    EXPECT_EQ(-1, Open(100));
    product.productCode = 0x36;
    tag.tagName = "Missing";
    EXPECT_EQ(-1, Open(100));
    EXPECT_EQ(2u, log.Count("unexpected : explicit response error"));
    tag.tagName = std::string(100, 'x');
    EXPECT_EQ(-1, Open(100));
    EXPECT_TRUE(plc.Sim().Io().Connections().empty());
    EXPECT_TRUE(plc.Sim().ProtocolErrors().empty());
}

// ---- the bytes of the connection ---------------------------------------------------------------

IoForwardOpenParams Params(const std::string& tagName, uint16_t dataLen) {
    IoForwardOpenParams p;
    p.sessionHandle = 0x11223344;
    p.proposedTOConnectionId = 0xA1B2C3D4;
    p.connectionSerial = 0x0042;
    p.originatorSerial = 0x0BADBEEF;
    p.intervalMs = 250;
    p.udpPort = 2222;
    inet_pton(AF_INET, "127.0.0.1", &p.ownAddress);
    p.tagName = tagName;
    p.dataLen = dataLen;
    p.product = DemoProduct();
    return p;
}

std::vector<uint8_t> Build(const IoForwardOpenParams& p) {
    std::vector<uint8_t> buffer(2025);
    const int total = EipIoConnection::BuildIOForwardOpen(buffer.data(), buffer.size(), p);
    buffer.resize(total < 0 ? 0 : static_cast<size_t>(total));
    return buffer;
}

struct NameCase {
    std::string name;
    size_t padded;
};

class ForwardOpenName : public ::testing::TestWithParam<NameCase> {};

// The symbol is padded to whole words and the pad counted in every length; the socket address
// is the one big-endian field.
TEST_P(ForwardOpenName, IsTheWholeRequestByteForByte) {
    const NameCase c = GetParam();
    ByteWriter e;
    e.u16(0x006F).u16(static_cast<uint16_t>(90 + c.padded)).u32(0x11223344).zeros(16);
    e.u32(0).u16(1024).u16(3).u16(0).u16(0).u16(0x00B2).u16(static_cast<uint16_t>(54 + c.padded));
    e.u8(0x54).u8(2).u8(0x20).u8(0x06).u8(0x24).u8(0x01).u8(0x05).u8(0x9C);
    e.u32(0).u32(0xA1B2C3D4).u16(0x0042).u16(0x0100).u32(0x0BADBEEF).u8(0).zeros(3);
    e.u32(250000).u16(0x4802).u32(250000).u16(0x480A);  // dataLen 8: a T->O size of 10
    e.u8(0x01).u8(static_cast<uint8_t>(6 + c.padded / 2));
    e.u8(0x34).u8(0x04).u16(1).u16(0x0E).u16(0x36).u8(20).u8(11);
    e.u8(0x91)
        .u8(static_cast<uint8_t>(c.name.size()))
        .bytes(c.name)
        .zeros(c.padded - c.name.size());
    e.u16(0x8001).u16(16).u16_be(2).u16_be(2222).u8(127).u8(0).u8(0).u8(1).zeros(8);
    EXPECT_EQ(e.to_vector(), Build(Params(c.name, 8)));
}

INSTANTIATE_TEST_SUITE_P(EvenAndOdd, ForwardOpenName,
                         ::testing::Values(NameCase{"Tank", 4}, NameCase{"Level", 6},
                                           NameCase{std::string(99, 'x'), 100}));

TEST(ForwardOpenLimits, RefusesATagNameOfOneHundredCharacters) {
    EXPECT_TRUE(Build(Params(std::string(100, 'x'), 4)).empty());
}

// ---- datagrams ---------------------------------------------------------------------------------

std::vector<uint8_t> Datagram(uint16_t count, uint32_t id, uint32_t sequence, uint16_t cip,
                              std::vector<uint8_t> data) {
    ByteWriter w;
    w.u16(count).u16(0x8002).u16(8).u32(id).u32(sequence);
    w.u16(0x00B1).u16(static_cast<uint16_t>(2 + data.size())).u16(cip).bytes(data);
    return w.to_vector();
}

struct ParseCase {
    const char* what;
    std::vector<uint8_t> bytes;
    IoDatagramStatus status;
};

TEST(IoDatagramWalk, FindsItsItemsOrSaysWhyNot) {
    const std::vector<uint8_t> good = Datagram(2, 0x01020304, 9, 77, {1, 2, 3});
    std::vector<uint8_t> unknownFirst = good;
    unknownFirst.insert(unknownFirst.begin() + 2, {0x34, 0x12});  // a type field of 2 bytes
    std::vector<uint8_t> addressOnly(good.begin(), good.begin() + 14);
    const std::vector<ParseCase> cases = {
        {"well formed", good, IoDatagramStatus::Ok},
        {"unknown item type skipped", unknownFirst, IoDatagramStatus::Ok},
        {"item count 3", Datagram(3, 1, 1, 1, {}), IoDatagramStatus::WrongItemCount},
        {"cut in the address item", std::vector<uint8_t>(good.begin(), good.begin() + 9),
         IoDatagramStatus::Truncated},
        {"no data item", addressOnly, IoDatagramStatus::MissingItem},
        {"empty", {}, IoDatagramStatus::Truncated},
    };
    for (const ParseCase& c : cases) {
        IoDatagram d;
        EXPECT_EQ(c.status, ParseIODatagram(ByteView{c.bytes.data(), c.bytes.size()}, d)) << c.what;
        if (c.status == IoDatagramStatus::Ok) {
            EXPECT_EQ(0x01020304u, d.connectionId) << c.what;
            EXPECT_EQ(9u, d.sequence) << c.what;
            EXPECT_EQ(77, d.cipSequence) << c.what;
            EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), d.data.to_vector()) << c.what;
        }
    }
}

TEST(IoReply, AnswersWithTheNextSequenceNumbersAndWrapsTheCipCount) {
    struct Case {
        uint32_t sequence;
        uint16_t cip;
        uint32_t nextSequence;
        uint16_t nextCip;
    };
    for (const Case c : {Case{7, 100, 8, 101}, Case{41, 65535, 42, 0}, Case{0xFFFFFFFF, 5, 0, 6}}) {
        IoDatagram received;
        received.sequence = c.sequence;
        received.cipSequence = c.cip;
        uint8_t reply[IO_REPLY_SIZE];
        ASSERT_TRUE(BuildIOReply(0xCAFE0001, received, reply, sizeof reply));
        ByteWriter expected;
        expected.u16(2).u16(0x8002).u16(8).u32(0xCAFE0001).u32(c.nextSequence);
        expected.u16(0x00B1).u16(2).u16(c.nextCip);
        EXPECT_EQ(expected.to_vector(), std::vector<uint8_t>(reply, reply + sizeof reply));
    }
    uint8_t small[IO_REPLY_SIZE - 1];
    EXPECT_FALSE(BuildIOReply(1, IoDatagram{}, small, sizeof small));
}

// ---- route and UDP socket ----------------------------------------------------------------------

TEST(RouteIP, IsTheSourceAddressTowardsThePlcAndRefusesNames) {
    tb_test::LogCapture log(0);
    std::string own;
    ASSERT_EQ(0, EipIoConnection::GetRouteIP("127.0.0.1", own));
    EXPECT_EQ("127.0.0.1", own);
    EXPECT_EQ(-1, EipIoConnection::GetRouteIP("plc.local", own));
    EXPECT_TRUE(log.Contains("error, invalid character in IPv4 address - plc.local"));
    EXPECT_EQ(-1, EipIoConnection::GetRouteIP("1.2.3", own));
    EXPECT_TRUE(log.Contains("error, invalid IPv4 address - 1.2.3"));
}

TEST(OpenUDP, FallsBackToLoopbackForTheMulticastInterfaceOfANamedHost) {
    tb_test::LogCapture log(0);
    const int fd = EipIoConnection::OpenUDP("plc.local", 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(log.Contains("Can not find Route IP"));
    in_addr interface {};
    socklen_t length = sizeof interface;
    ASSERT_EQ(0, getsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, &length));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), interface.s_addr);
    close(fd);
}

}  // namespace
