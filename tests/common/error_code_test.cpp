#include "action/tesselLink_error_code.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>
#include <vector>

namespace {

using tessel::tesselLink_error_category;

// The texts users see, as they must read.
const std::map<int, std::string> kExpected = {
    {10001, "No parameter"},
    {10002, "Invalid parameter"},
    {10003, "Queue List is NULL"},
    {10004, "Can't excute ip route command"},
    {10005, "Can't find route ip address"},
    {10006, "Can't create node"},
    {10007, "Can't remove node"},
    {10008, "PLC is not connected."},
    {10009, "PLC does not exist."},
    {10010, "\"Alias\" not inserted."},
    {10011, "\"Host\" not inserted."},
    {10012, "Can't connect to PLC."},
    {10013, "Can't create PLC Node."},
    {10014, "Could not find Tag from PLC."},
    {10015, "Tag does not exist."},
    {10016, "Invalid json format."},
    {10017, "Tags(json) not inserted."},
    {10018, "\"Tag Alias\" not inserted."},
    {10019, "\"Tag Name\" not inserted."},
    {10020, "\"value\" not inserted."},
    {10021, "\"DataLen\" not inserted."},
    {10022, "PLC5 address not present"},
    {10023, "Inserted \"New Tag Alias\" already exists"},
    {10024, "Inserted \"Tag Name\" already exists"},
    {10025, "Inserted \"Tag Alias\" already exists"},
    {10026, "Invalid \"Tag Name\" format."},
    {10027, "Invalid \"value\" format."},
    {10028, "Invalid \"OutputType\""},
    {10029, "Invalid \"RW Flag\""},
    {10030, "Invalid \"Offset\" or \"DataLen\""},
    {10031, "Not allowed to change PLC5 address"},
    {10032, "to be supported"},
    {10033, "struct (currently supporting raw data only)"},
    {10034, "Adding Tag failed."},
    {10035, "Editing Tag failed."},
    {10036, "Writing Tag failed."},
    {10037, "Removing Tag failed."},
    {10038, "Tag is not writeable"},
    {10039, "Adding Subtag failed."},
    {10040, "Editing Subtag failed."},
    {10041, "Removing Subtag failed."},
    {10042, "Exporting Subtag failed."},
    {10043, "Importing Subtag failed."},
    {10044, "Read Tags does not exist."},
    {10045, "IO Tags does not exist."},
    {10046, "Subtags does not exist."},
    {10047, "Failed to Start Polling."},
    {10048, "Polling already running."},
    {10049, "Failed to Start Listening."},
    {10050, "Listening already running."},
    {10051, "Interval is out of range(10~10000) "},
    {10052, "Port number is out of range(1~65535)"},
};

TEST(LinkErrorCategory, EveryCodeHasItsExactMessage) {
    ASSERT_EQ(kExpected.size(), 52u);
    for (const auto& [code, text] : kExpected) {
        EXPECT_EQ(tesselLink_error_category().message(code), text) << "code " << code;
    }
}

TEST(LinkErrorCategory, IntervalMessageKeepsItsTrailingBlank) {
    EXPECT_EQ(tesselLink_error_category().message(10051).size(), 35u);
    EXPECT_EQ(tesselLink_error_category().message(10051).back(), ' ');
}

TEST(LinkErrorCategory, CodesOutsideTheTableAreUnknown) {
    for (int code : {10000, 10053, 0, -1, 9013, 20001}) {
        EXPECT_EQ(tesselLink_error_category().message(code), "<Unknown error>") << code;
    }
}

TEST(LinkErrorCategory, NameIsError) {
    EXPECT_STREQ(tesselLink_error_category().name(), "error");
}

TEST(LinkErrorCategory, NamedCodesMatchTheirNumbers) {
    EXPECT_EQ(tessel::TL_ERR_PLC_NOT_EXIST, 10009);
    EXPECT_EQ(tessel::TL_ERR_TO_BE_SUPPORTED, 10032);
    EXPECT_EQ(tessel::TL_ERR_INTERVAL_RANGE, 10051);
    EXPECT_EQ(tessel::tesselLink_error_message(tessel::TL_ERR_TAG_NOT_EXIST),
              "Tag does not exist.");
}

TEST(LinkErrorCategory, MakesStdErrorCodes) {
    std::error_code ec = tessel::TL_ERR_PLC_NOT_CONNECTED;
    EXPECT_EQ(ec.value(), 10008);
    EXPECT_EQ(&ec.category(), &tesselLink_error_category());
    EXPECT_EQ(ec.message(), "PLC is not connected.");
    EXPECT_TRUE(ec);
}

TEST(LinkErrorCategory, IsOneObjectAcrossThreads) {
    std::vector<const void*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &tesselLink_error_category(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    const std::set<const void*> distinct(seen.begin(), seen.end());
    EXPECT_EQ(distinct.size(), 1u);
    EXPECT_EQ(*distinct.begin(), &tesselLink_error_category());
}

}  // namespace
