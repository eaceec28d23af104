#pragma once

// Wire values of the PCCC commands this program tunnels through the CIP Execute PCCC service
// (0x4B) of the PCCC object (class 0x67, instance 1). The client (family/pccc_connection) and
// the simulated PLC5 (sim/pccc_services) share them.
//
// Execute PCCC request data:
// | size | field                                                     |
// | 1    | requester ID length L (this byte included)                |
// | L-1  | requester vendor ID (2) and serial number (4)             |
// | 1    | CMD 0x0F                                                  |
// | 1    | STS 0x00                                                  |
// | 2    | TNS, transaction number (little-endian)                   |
// | 1    | FNC: 0xA2 read, 0xAA write, 0xAB masked write             |
// | n    | typed logical address: byte size, file number, file type, |
// |      | element, sub-element (numbers: 1 byte, or 0xFF + 16-bit)  |
// | ...  | write: the value bytes; masked write: mask, then value    |
//
// Execute PCCC reply data:
// | size | field                                                     |
// | 1    | requester ID length L, echoed                             |
// | L-1  | requester vendor ID and serial number, echoed             |
// | 1    | CMD 0x4F (request command | 0x40)                         |
// | 1    | STS: 0 success, 0xF0 extended status follows the data     |
// | 2    | TNS, echoed                                               |
// | ...  | read data; EXT STS as the last byte when STS is 0xF0      |

#include <cstdint>

constexpr uint8_t PCCC_CMD_TYPED = 0x0F;
constexpr uint8_t PCCC_CMD_REPLY_BIT = 0x40;
constexpr uint8_t PCCC_CMD_TYPED_REPLY = PCCC_CMD_TYPED | PCCC_CMD_REPLY_BIT;  // 0x4F

// Protected typed logical read / write / masked write with three address fields.
constexpr uint8_t PCCC_FNC_TYPED_READ = 0xA2;
constexpr uint8_t PCCC_FNC_TYPED_WRITE = 0xAA;
constexpr uint8_t PCCC_FNC_MASKED_WRITE = 0xAB;

// STS values.
constexpr uint8_t PCCC_STS_SUCCESS = 0x00;
constexpr uint8_t PCCC_STS_ILLEGAL_COMMAND = 0x10;
constexpr uint8_t PCCC_STS_EXTENDED = 0xF0;
// EXT STS values (after STS 0xF0).
constexpr uint8_t PCCC_EXT_ILLEGAL_FIELD_VALUE = 0x01;
constexpr uint8_t PCCC_EXT_UNUSABLE_ADDRESS = 0x06;
constexpr uint8_t PCCC_EXT_DATA_TOO_LARGE = 0x09;
constexpr uint8_t PCCC_EXT_ILLEGAL_DATA_TYPE = 0x11;

// Number fields of an address: one byte below 0xFF, else 0xFF and a 16-bit value.
constexpr uint8_t PCCC_NUMBER_ESCAPE = 0xFF;

// Requester ID this program sends: length 7, vendor 0x0000, serial 0x44332211.
constexpr uint8_t PCCC_REQUESTER_ID_LENGTH = 7;
constexpr uint16_t PCCC_REQUESTER_VENDOR = 0x0000;
constexpr uint32_t PCCC_REQUESTER_SERIAL = 0x44332211;
