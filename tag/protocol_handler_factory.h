#pragma once

#include "common/eip_utils.h"
#include "tag/protocol_handler.h"

class ProtocolHandlerFactory {
  public:
    // 1 (CIP/EIP) gives a ControlLogixHandler, 0 (PCCC) a PcccHandler; any other family (or no
    // memory) null. The caller owns the result.
    static ProtocolHandler* Create(ProtocolFamily family);
};
