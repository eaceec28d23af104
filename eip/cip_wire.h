#pragma once

// Names of the EtherNet/IP encapsulation and CIP wire values this program and its simulator
// exchange: encapsulation commands and statuses, Common Packet Format item types, CIP services,
// classes, path segments and general / additional status codes (public CIP and EtherNet/IP
// standards). The client (eip/) and the simulator (sim/) share them so that both speak of the
// same bytes by the same names.

#include <cstddef>
#include <cstdint>

// ---- Encapsulation --------------------------------------------------------------------------

// Encapsulation header (24 bytes, little-endian):
// | off | size | field          |
// |   0 |    2 | command        |
// |   2 |    2 | length         | bytes after the header
// |   4 |    4 | session handle |
// |   8 |    4 | status         |
// |  12 |    8 | sender context |
// |  20 |    4 | options        |
constexpr size_t EIP_ENCAP_HEADER_SIZE = 24;
// Largest class-3 connection size this program asks for (Large Forward Open), in bytes each way.
constexpr size_t CIP_LARGE_CONNECTION_SIZE = 4002;
// Connection size of the classic Forward Open, and the most it can express (9 bits).
constexpr size_t CIP_SMALL_CONNECTION_SIZE = 500;
constexpr size_t CIP_SMALL_CONNECTION_MAX = 511;
// Largest encapsulation body this program reads: a whole message of the largest connection
// with its Common Packet Format items and an unconnected front around it.
constexpr size_t EIP_ENCAP_MAX_DATA = CIP_LARGE_CONNECTION_SIZE + 94;               // 4096
constexpr size_t EIP_MSG_BUFFER_SIZE = EIP_ENCAP_HEADER_SIZE + EIP_ENCAP_MAX_DATA;  // 4120
// The RegisterSession reply is read into a buffer of its own.
constexpr size_t EIP_REGISTER_REPLY_BUFFER_SIZE = 640;

constexpr uint16_t EIP_CMD_NOP = 0x0000;
constexpr uint16_t EIP_CMD_LIST_IDENTITY = 0x0063;
constexpr uint16_t EIP_CMD_REGISTER_SESSION = 0x0065;
constexpr uint16_t EIP_CMD_UNREGISTER_SESSION = 0x0066;
constexpr uint16_t EIP_CMD_SEND_RR_DATA = 0x006F;
constexpr uint16_t EIP_CMD_SEND_UNIT_DATA = 0x0070;

constexpr uint32_t EIP_ENCAP_STATUS_SUCCESS = 0x0000;
constexpr uint32_t EIP_ENCAP_STATUS_INVALID_COMMAND = 0x0001;
constexpr uint32_t EIP_ENCAP_STATUS_NO_MEMORY = 0x0002;
constexpr uint32_t EIP_ENCAP_STATUS_INCORRECT_DATA = 0x0003;
constexpr uint32_t EIP_ENCAP_STATUS_INVALID_SESSION = 0x0064;
constexpr uint32_t EIP_ENCAP_STATUS_INVALID_LENGTH = 0x0065;
constexpr uint32_t EIP_ENCAP_STATUS_UNSUPPORTED_PROTOCOL = 0x0069;

// RegisterSession body: protocol version 1, option flags 0.
constexpr uint16_t EIP_PROTOCOL_VERSION = 1;
constexpr size_t EIP_REGISTER_SESSION_DATA_SIZE = 4;

// ---- Common Packet Format ---------------------------------------------------------------------

constexpr uint16_t CPF_ITEM_NULL_ADDRESS = 0x0000;
constexpr uint16_t CPF_ITEM_CONNECTED_ADDRESS = 0x00A1;
constexpr uint16_t CPF_ITEM_CONNECTED_DATA = 0x00B1;
constexpr uint16_t CPF_ITEM_UNCONNECTED_DATA = 0x00B2;
constexpr uint16_t CPF_ITEM_SOCKADDR_O_T = 0x8000;
constexpr uint16_t CPF_ITEM_SOCKADDR_T_O = 0x8001;
// Value of the CPF timeout field in every request this program sends.
constexpr uint16_t CPF_REQUEST_TIMEOUT = 1024;
// Offsets of the fixed request fronts: SendRRData 40 bytes (data item body follows),
// SendUnitData 46 bytes (the connected data item body starts at the 16-bit sequence count at 44).
constexpr size_t EIP_RR_DATA_FRONT_SIZE = 40;
constexpr size_t EIP_UNIT_DATA_FRONT_SIZE = 46;
constexpr size_t EIP_UNIT_DATA_ITEM_START = 44;
constexpr size_t EIP_ENCAP_LENGTH_OFFSET = 2;
constexpr size_t EIP_RR_DATA_ITEM_LENGTH_OFFSET = 38;
constexpr size_t EIP_SESSION_HANDLE_OFFSET = 4;
constexpr size_t EIP_SENDER_CONTEXT_OFFSET = 12;

// ---- CIP services -----------------------------------------------------------------------------

constexpr uint8_t CIP_SERVICE_REPLY = 0x80;  // bit set in every reply service code
constexpr uint8_t CIP_SVC_GET_ATTRIBUTES_ALL = 0x01;
constexpr uint8_t CIP_SVC_GET_ATTRIBUTE_SINGLE = 0x0E;
constexpr uint8_t CIP_SVC_MULTIPLE_SERVICE_PACKET = 0x0A;
constexpr uint8_t CIP_SVC_READ_TAG = 0x4C;
constexpr uint8_t CIP_SVC_WRITE_TAG = 0x4D;
constexpr uint8_t CIP_SVC_FORWARD_CLOSE = 0x4E;
constexpr uint8_t CIP_SVC_READ_MODIFY_WRITE_TAG = 0x4E;  // same code, Logix symbol class
constexpr uint8_t CIP_SVC_UNCONNECTED_SEND = 0x52;
constexpr uint8_t CIP_SVC_READ_TAG_FRAGMENTED = 0x52;  // same code, Logix symbol class
constexpr uint8_t CIP_SVC_WRITE_TAG_FRAGMENTED = 0x53;
constexpr uint8_t CIP_SVC_FORWARD_OPEN = 0x54;
constexpr uint8_t CIP_SVC_LARGE_FORWARD_OPEN = 0x5B;
constexpr uint8_t CIP_SVC_EXECUTE_PCCC = 0x4B;

// ---- CIP classes and path segments ------------------------------------------------------------

constexpr uint16_t CIP_CLASS_IDENTITY = 0x01;
constexpr uint16_t CIP_CLASS_MESSAGE_ROUTER = 0x02;
constexpr uint16_t CIP_CLASS_CONNECTION_MANAGER = 0x06;
constexpr uint16_t CIP_CLASS_PCCC = 0x67;

constexpr uint8_t CIP_SEG_CLASS_8 = 0x20;
constexpr uint8_t CIP_SEG_CLASS_16 = 0x21;
constexpr uint8_t CIP_SEG_INSTANCE_8 = 0x24;
constexpr uint8_t CIP_SEG_INSTANCE_16 = 0x25;
constexpr uint8_t CIP_SEG_MEMBER_8 = 0x28;
constexpr uint8_t CIP_SEG_MEMBER_16 = 0x29;
constexpr uint8_t CIP_SEG_CONNECTION_POINT_8 = 0x2C;
constexpr uint8_t CIP_SEG_ATTRIBUTE_8 = 0x30;
constexpr uint8_t CIP_SEG_ANSI_SYMBOL = 0x91;
constexpr uint8_t CIP_SEG_ELECTRONIC_KEY = 0x34;
// Port segment without extended link address: port number in the low nibble.
constexpr uint8_t CIP_SEG_PORT_MASK = 0xE0;
constexpr uint8_t CIP_SEG_PORT = 0x00;
constexpr uint8_t CIP_SEG_PORT_EXTENDED_LINK = 0x10;
constexpr uint8_t CIP_PORT_BACKPLANE = 0x01;

// ---- Connection Manager -----------------------------------------------------------------------

// Priority / time tick byte and time-out ticks of an Unconnected Send: a tick of 2^7 = 128 ms
// and 950 / 128 = 7 ticks (896 ms).
constexpr uint8_t CIP_UCMM_TICK = 0x07;
constexpr uint8_t CIP_UCMM_TIMEOUT_TICKS = 0x07;
// Forward Open / Forward Close: a tick of 2^3 = 8 ms, 250 ticks = 2000 ms.
constexpr uint8_t CIP_FO_TICK = 0x03;
constexpr uint8_t CIP_FO_TIMEOUT_TICKS = 0xFA;
// Originator vendor ID of the connection triad this program sends.
constexpr uint16_t CIP_ORIGINATOR_VENDOR_ID = 0x0100;
// Network connection parameters: point-to-point, low priority, variable size, 500 bytes.
constexpr uint16_t CIP_FO_CONNECTION_PARAMS = 0x43F4;
constexpr uint16_t CIP_NCP_SIZE_MASK = 0x01FF;
constexpr uint16_t CIP_NCP_TYPE_MASK = 0x6000;
constexpr uint16_t CIP_NCP_TYPE_POINT_TO_POINT = 0x4000;
// The same parameters in the 32-bit form of the Large Forward Open: type in bits 29-30,
// variable size in bit 25, the size in the low 16 bits.
constexpr uint32_t CIP_LFO_CONNECTION_PARAMS = 0x42000000;
constexpr uint32_t CIP_LFO_SIZE_MASK = 0xFFFF;
// Transport class and trigger: server, application-object trigger, class 3.
constexpr uint8_t CIP_TRANSPORT_SERVER_CLASS3 = 0xA3;
constexpr uint8_t CIP_TRANSPORT_CLASS_MASK = 0x0F;
// Forward Open reply data: two IDs, triad, two actual RPIs, application reply size, reserved.
constexpr size_t CIP_FO_REPLY_SIZE = 26;
// Forward Close reply data (and a refused Forward Open's data): triad, size byte, reserved.
constexpr size_t CIP_FC_REPLY_SIZE = 10;

// ---- CIP statuses -----------------------------------------------------------------------------

constexpr uint8_t CIP_STATUS_SUCCESS = 0x00;
constexpr uint8_t CIP_STATUS_CONNECTION_FAILURE = 0x01;
constexpr uint8_t CIP_STATUS_RESOURCE_UNAVAILABLE = 0x02;
constexpr uint8_t CIP_STATUS_INVALID_PARAMETER_VALUE = 0x03;
constexpr uint8_t CIP_STATUS_PATH_SEGMENT_ERROR = 0x04;
constexpr uint8_t CIP_STATUS_PATH_DESTINATION_UNKNOWN = 0x05;
constexpr uint8_t CIP_STATUS_PARTIAL_TRANSFER = 0x06;
constexpr uint8_t CIP_STATUS_SERVICE_NOT_SUPPORTED = 0x08;
constexpr uint8_t CIP_STATUS_ATTRIBUTE_NOT_SETTABLE = 0x0E;
constexpr uint8_t CIP_STATUS_NOT_ENOUGH_DATA = 0x13;
constexpr uint8_t CIP_STATUS_TOO_MUCH_DATA = 0x15;
constexpr uint8_t CIP_STATUS_OBJECT_DOES_NOT_EXIST = 0x16;
constexpr uint8_t CIP_STATUS_EMBEDDED_SERVICE_ERROR = 0x1E;
constexpr uint8_t CIP_STATUS_GENERAL_ERROR = 0x1F;
constexpr uint8_t CIP_STATUS_PATH_SIZE_INVALID = 0x26;

// Additional status words of general status 0x01 (Connection Manager).
constexpr uint16_t CIP_EXT_CONNECTION_IN_USE = 0x0100;
constexpr uint16_t CIP_EXT_TRANSPORT_NOT_SUPPORTED = 0x0103;
constexpr uint16_t CIP_EXT_CONNECTION_NOT_FOUND = 0x0107;
constexpr uint16_t CIP_EXT_INVALID_CONNECTION_TYPE = 0x0108;
constexpr uint16_t CIP_EXT_INVALID_CONNECTION_SIZE = 0x0109;
constexpr uint16_t CIP_EXT_RPI_NOT_SUPPORTED = 0x0111;
constexpr uint16_t CIP_EXT_OUT_OF_CONNECTIONS = 0x0113;
constexpr uint16_t CIP_EXT_UCMM_TIMEOUT = 0x0204;
constexpr uint16_t CIP_EXT_INVALID_PORT = 0x0311;
constexpr uint16_t CIP_EXT_INVALID_LINK_ADDRESS = 0x0312;
constexpr uint16_t CIP_EXT_INVALID_SEGMENT = 0x0315;

// Largest number of additional status words a reply may carry (ExplicitResponse).
constexpr size_t CIP_MAX_EXT_STATUS_WORDS = 16;
