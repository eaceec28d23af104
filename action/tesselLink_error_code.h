#pragma once

// The link's error codes 10001..10052 and their user-visible messages. The numbers never leave
// the process; the broker sees the message text as the error result of an action.

#include <string>
#include <system_error>

namespace tessel {

enum tesselLink_error_code_t : int {
    TL_ERR_NO_PARAMETER = 10001,
    TL_ERR_INVALID_PARAMETER = 10002,
    TL_ERR_QUEUE_LIST_NULL = 10003,
    TL_ERR_IP_ROUTE_COMMAND = 10004,
    TL_ERR_ROUTE_IP_NOT_FOUND = 10005,
    TL_ERR_CREATE_NODE = 10006,
    TL_ERR_REMOVE_NODE = 10007,
    TL_ERR_PLC_NOT_CONNECTED = 10008,
    TL_ERR_PLC_NOT_EXIST = 10009,
    TL_ERR_ALIAS_NOT_INSERTED = 10010,
    TL_ERR_HOST_NOT_INSERTED = 10011,
    TL_ERR_CONNECT_PLC = 10012,
    TL_ERR_CREATE_PLC_NODE = 10013,
    TL_ERR_TAG_NOT_FOUND_IN_PLC = 10014,
    TL_ERR_TAG_NOT_EXIST = 10015,
    TL_ERR_INVALID_JSON = 10016,
    TL_ERR_TAGS_NOT_INSERTED = 10017,
    TL_ERR_TAG_ALIAS_NOT_INSERTED = 10018,
    TL_ERR_TAG_NAME_NOT_INSERTED = 10019,
    TL_ERR_VALUE_NOT_INSERTED = 10020,
    TL_ERR_DATALEN_NOT_INSERTED = 10021,
    TL_ERR_PLC5_ADDRESS_NOT_PRESENT = 10022,
    TL_ERR_NEW_TAG_ALIAS_EXISTS = 10023,
    TL_ERR_TAG_NAME_EXISTS = 10024,
    TL_ERR_TAG_ALIAS_EXISTS = 10025,
    TL_ERR_INVALID_TAG_NAME = 10026,
    TL_ERR_INVALID_VALUE = 10027,
    TL_ERR_INVALID_OUTPUT_TYPE = 10028,
    TL_ERR_INVALID_RW_FLAG = 10029,
    TL_ERR_INVALID_OFFSET_OR_DATALEN = 10030,
    TL_ERR_PLC5_ADDRESS_CHANGE = 10031,
    TL_ERR_TO_BE_SUPPORTED = 10032,
    TL_ERR_STRUCT_RAW_ONLY = 10033,
    TL_ERR_ADD_TAG = 10034,
    TL_ERR_EDIT_TAG = 10035,
    TL_ERR_WRITE_TAG = 10036,
    TL_ERR_REMOVE_TAG = 10037,
    TL_ERR_TAG_NOT_WRITEABLE = 10038,
    TL_ERR_ADD_SUBTAG = 10039,
    TL_ERR_EDIT_SUBTAG = 10040,
    TL_ERR_REMOVE_SUBTAG = 10041,
    TL_ERR_EXPORT_SUBTAG = 10042,
    TL_ERR_IMPORT_SUBTAG = 10043,
    TL_ERR_READ_TAGS_NOT_EXIST = 10044,
    TL_ERR_IO_TAGS_NOT_EXIST = 10045,
    TL_ERR_SUBTAGS_NOT_EXIST = 10046,
    TL_ERR_START_POLLING = 10047,
    TL_ERR_POLLING_RUNNING = 10048,
    TL_ERR_START_LISTENING = 10049,
    TL_ERR_LISTENING_RUNNING = 10050,
    TL_ERR_INTERVAL_RANGE = 10051,
    TL_ERR_PORT_RANGE = 10052,
};

constexpr int TL_ERR_FIRST = TL_ERR_NO_PARAMETER;
constexpr int TL_ERR_LAST = TL_ERR_PORT_RANGE;

class tesselLink_error_category_t : public std::error_category {
  public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
};

// The single category object, created on first use.
const tesselLink_error_category_t& tesselLink_error_category();

// Shorthand for tesselLink_error_category().message(code).
std::string tesselLink_error_message(int code);

std::error_code make_error_code(tesselLink_error_code_t code);

}  // namespace tessel

namespace std {
template <>
struct is_error_code_enum<tessel::tesselLink_error_code_t> : true_type {};
}  // namespace std
