#include "action/link_errors.h"

#include <array>

namespace link_error {

namespace {

// Index 0 is code 10001. The texts are shown to users as they are, spelling included.
constexpr std::array<const char*, kLast - kFirst + 1> kMessages = {
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

const char* Category::name() const noexcept {
    return "error";
}

std::string Category::message(int code) const {
    if (code < kFirst || code > kLast) {
        return "<Unknown error>";
    }
    return kMessages[static_cast<size_t>(code - kFirst)];
}

const Category& GetCategory() {
    static const Category category;
    return category;
}

std::string Message(int code) {
    return GetCategory().message(code);
}

std::error_code make_error_code(Code code) {
    return std::error_code(static_cast<int>(code), GetCategory());
}

}  // namespace link_error
