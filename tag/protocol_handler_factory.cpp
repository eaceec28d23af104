#include "tag/protocol_handler_factory.h"

#include <new>

#include "common/eip_log.h"
#include "tag/controllogix_handler.h"
#include "tag/pccc_handler.h"

ProtocolHandler* ProtocolHandlerFactory::Create(ProtocolFamily family) {
    switch (family) {
        case kFamilyCip:
            return new (std::nothrow) ControlLogixHandler();
        case kFamilyPccc:
            return new (std::nothrow) PcccHandler();
        default:
            eiplog::Error("Create", "Failed to create ProtocolHandler: family not supported (" +
                                        std::to_string(static_cast<int>(family)) + ")");
            return nullptr;
    }
}
