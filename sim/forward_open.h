#pragma once

// The Forward Open as both kinds of connection plcsim grants read and answer it: the class-3
// connections of the simulator (sim/plc_simulator.h) and the class-1 connections of the I/O
// producer (sim/io_producer.h). Plain functions over bytes; no state, no threads.

#include <cstdint>
#include <vector>

#include "common/byte_codec.h"

namespace plcsim {

// The fields of a Forward Open or Large Forward Open request.
struct ForwardOpenRequest {
    uint32_t toId = 0;
    uint16_t serial = 0;
    uint16_t vendor = 0;
    uint32_t originatorSerial = 0;
    uint8_t timeoutMultiplier = 0;
    uint32_t otRpi = 0;
    uint32_t toRpi = 0;
    uint32_t otParameters = 0;  // network connection parameters as sent (16 or 32 bits)
    uint32_t toParameters = 0;
    uint16_t otSize = 0;
    uint16_t toSize = 0;
    bool pointToPoint = false;  // both directions
    uint8_t transport = 0;
    ByteView path;
};

// Reads a Forward Open (large: a Large Forward Open, 32-bit connection parameters). ok() of the
// returned reader tells whether the fields were all there; at_end() whether no bytes trail.
ByteReader ReadForwardOpen(ByteView data, bool large, ForwardOpenRequest& out);

// Reply data of a refused Forward Open and of a Forward Close: the triad, remaining path size
// (or application reply size) 0, reserved.
std::vector<uint8_t> TriadReply(uint16_t serial, uint16_t vendor, uint32_t originatorSerial);

// Reply data of a granted Forward Open: O->T ID, T->O ID, the triad, O->T API, T->O API,
// application reply size 0, reserved.
std::vector<uint8_t> GrantReply(uint32_t otId, uint32_t toId, uint16_t serial, uint16_t vendor,
                                uint32_t originatorSerial, uint32_t otApi, uint32_t toApi);

}  // namespace plcsim
