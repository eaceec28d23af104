#include "action/tesselLink_error_code.h"

#include <array>

namespace tessel {

namespace {

// Index 0 is code 10001. The texts are shown to users as they are, spelling included.
constexpr std::array<const char*, TL_ERR_LAST - TL_ERR_FIRST + 1> kMessages = {
    "No parameter",
    "Invalid parameter",
    "Queue List is NULL",
    "Can't excute ip route command",
    "Can't find route ip address",
    "Can't create node",
    "Can't remove node",
    "PLC is not connected.",
    "PLC does not exist.",
    "\"Alias\" not inserted.",
    "\"Host\" not inserted.",
    "Can't connect to PLC.",
    "Can't create PLC Node.",
    "Could not find Tag from PLC.",
    "Tag does not exist.",
    "Invalid json format.",
    "Tags(json) not inserted.",
    "\"Tag Alias\" not inserted.",
    "\"Tag Name\" not inserted.",
    "\"value\" not inserted.",
    "\"DataLen\" not inserted.",
    "PLC5 address not present",
    "Inserted \"New Tag Alias\" already exists",
    "Inserted \"Tag Name\" already exists",
    "Inserted \"Tag Alias\" already exists",
    "Invalid \"Tag Name\" format.",
    "Invalid \"value\" format.",
    "Invalid \"OutputType\"",
    "Invalid \"RW Flag\"",
    "Invalid \"Offset\" or \"DataLen\"",
    "Not allowed to change PLC5 address",
    "to be supported",
    "struct (currently supporting raw data only)",
    "Adding Tag failed.",
    "Editing Tag failed.",
    "Writing Tag failed.",
    "Removing Tag failed.",
    "Tag is not writeable",
    "Adding Subtag failed.",
    "Editing Subtag failed.",
    "Removing Subtag failed.",
    "Exporting Subtag failed.",
    "Importing Subtag failed.",
    "Read Tags does not exist.",
    "IO Tags does not exist.",
    "Subtags does not exist.",
    "Failed to Start Polling.",
    "Polling already running.",
    "Failed to Start Listening.",
    "Listening already running.",
    "Interval is out of range(10~10000) ",
    "Port number is out of range(1~65535)",
};

}  // namespace

const char* tesselLink_error_category_t::name() const noexcept {
    return "error";
}

std::string tesselLink_error_category_t::message(int code) const {
    if (code < TL_ERR_FIRST || code > TL_ERR_LAST) {
        return "<Unknown error>";
    }
    return kMessages[static_cast<size_t>(code - TL_ERR_FIRST)];
}

const tesselLink_error_category_t& tesselLink_error_category() {
    static const tesselLink_error_category_t category;
    return category;
}

std::string tesselLink_error_message(int code) {
    return tesselLink_error_category().message(code);
}

std::error_code make_error_code(tesselLink_error_code_t code) {
    return std::error_code(static_cast<int>(code), tesselLink_error_category());
}

}  // namespace tessel
