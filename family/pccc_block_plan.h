#pragma once

// Block reads of PCCC data tables: the tags of one file are grouped into as few typed reads as
// the controller's reply limit allows (a small gap between their elements is read rather than
// split), and each tag's value is cut from the bytes of its block.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/byte_codec.h"

class PcccTagData;
struct TagReplySet;

// Elements between two tags of a file that are read rather than split into two requests: a
// request and its reply cost about as many bytes of headers.
constexpr uint16_t kPcccMaxGapBytes = 64;

// One typed read: whole elements of one file, and the tags whose values lie in them.
struct PcccBlock {
    uint16_t file = 0;
    uint8_t type = 0;
    uint8_t elementBytes = 0;
    uint16_t firstElement = 0;
    uint16_t elementCount = 0;
    std::vector<size_t> members;  // indices into the planned addresses

    size_t ByteCount() const { return size_t{elementCount} * elementBytes; }
};

// Groups the addresses (null entries are left out) into blocks of at most limitBytes data
// bytes; an address flagged in readAlone (when given) gets a block of its own. Blocks follow
// file type, file and element order.
std::vector<PcccBlock> PlanBlocks(const std::vector<const PcccTagData*>& addresses,
                                  size_t limitBytes, const std::vector<bool>& readAlone = {});

// The PCCC part of an Execute PCCC reply (layout in family/pccc_wire.h).
struct PcccReply {
    uint8_t requesterIdLength = 0;
    uint8_t command = 0;
    uint8_t status = 0;
    uint16_t tns = 0;
    ByteView data;  // after the TNS, up to the end of the reply
};

// Splits the Execute PCCC reply data; false when it ends before the TNS. A requester ID length
// below 2 puts the command at position 1.
bool DecodePcccReply(ByteView replyData, PcccReply& out);

// Fills record with the value of address cut from the data of its block: the bit of a word as
// BOOL 0/1, a word as INT, a float, a long or a string element. False (record untouched) when
// the data ends before the value.
bool CutValue(const PcccTagData& address, const PcccBlock& block, ByteView data,
              TagReplySet& record);
