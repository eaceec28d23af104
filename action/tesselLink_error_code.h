#pragma once

// The link's error codes 10001..10052 and their user-visible messages. The numbers never leave
// the process; the broker sees the message text as the error result of an action.

#include <string>
#include <system_error>

namespace link_error {

enum Code : int {
    kNoParameter = 10001,
    kInvalidParameter = 10002,
    kQueueListNull = 10003,
    kIpRouteCommand = 10004,
    kRouteIpNotFound = 10005,
    kCreateNode = 10006,
    kRemoveNode = 10007,
    kPlcNotConnected = 10008,
    kPlcNotExist = 10009,
    kAliasNotInserted = 10010,
    kHostNotInserted = 10011,
    kConnectPlc = 10012,
    kCreatePlcNode = 10013,
    kTagNotFoundInPlc = 10014,
    kTagNotExist = 10015,
    kInvalidJson = 10016,
    kTagsNotInserted = 10017,
    kTagAliasNotInserted = 10018,
    kTagNameNotInserted = 10019,
    kValueNotInserted = 10020,
    kDataLenNotInserted = 10021,
    kPlc5AddressNotPresent = 10022,
    kNewTagAliasExists = 10023,
    kTagNameExists = 10024,
    kTagAliasExists = 10025,
    kInvalidTagName = 10026,
    kInvalidValue = 10027,
    kInvalidOutputType = 10028,
    kInvalidRwFlag = 10029,
    kInvalidOffsetOrDataLen = 10030,
    kPlc5AddressChange = 10031,
    kToBeSupported = 10032,
    kStructRawOnly = 10033,
    kAddTag = 10034,
    kEditTag = 10035,
    kWriteTag = 10036,
    kRemoveTag = 10037,
    kTagNotWriteable = 10038,
    kAddSubtag = 10039,
    kEditSubtag = 10040,
    kRemoveSubtag = 10041,
    kExportSubtag = 10042,
    kImportSubtag = 10043,
    kReadTagsNotExist = 10044,
    kIoTagsNotExist = 10045,
    kSubtagsNotExist = 10046,
    kStartPolling = 10047,
    kPollingRunning = 10048,
    kStartListening = 10049,
    kListeningRunning = 10050,
    kIntervalRange = 10051,
    kPortRange = 10052,
};

constexpr int kFirst = kNoParameter;
constexpr int kLast = kPortRange;

class Category : public std::error_category {
  public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
};

// The single category object, created on first use.
const Category& GetCategory();

// Shorthand for GetCategory().message(code).
std::string Message(int code);

std::error_code make_error_code(Code code);

}  // namespace link_error

namespace std {
template <>
struct is_error_code_enum<link_error::Code> : true_type {};
}  // namespace std
