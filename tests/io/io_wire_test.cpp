// The bytes of the class-1 connection: the Forward Open with its electronic key, symbolic path
// and Sockaddr Info item, the item walk of received datagrams, the consumed-data reply, and the
// route lookup of our own address.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "eip/eip_io_connection.h"
#include "support/log_capture.h"

namespace {

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
    p.product.vendorId = 1;
    p.product.deviceType = 0x0E;
    p.product.productCode = 0x36;
    p.product.majorRevision = 20;
    p.product.minorRevision = 11;
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
