#include "action/tesselLink_error_code.h"

#include <gtest/gtest.h>

#include <map>

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

TEST(LinkErrorCategory, EveryCodeHasItsExactMessageAndOthersAreUnknown) {
    ASSERT_EQ(kExpected.size(), 52u);
    for (const auto& [code, text] : kExpected) {
        EXPECT_EQ(tesselLink_error_category().message(code), text) << "code " << code;
    }
    for (int code : {10000, 10053, 0, -1, 9013, 20001}) {
        EXPECT_EQ(tesselLink_error_category().message(code), "<Unknown error>") << code;
    }
    std::error_code ec = tessel::TL_ERR_PLC_NOT_CONNECTED;
    EXPECT_EQ(ec.value(), 10008);
    EXPECT_EQ(ec.message(), "PLC is not connected.");
    EXPECT_EQ(tessel::tesselLink_error_message(tessel::TL_ERR_TAG_NOT_EXIST),
              "Tag does not exist.");
}

}  // namespace
