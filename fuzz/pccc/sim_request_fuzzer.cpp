// plcsim's Execute PCCC handler on arbitrary request data (requester ID, PCCC command, address
// and values), through the Message Router as a client's request arrives; the input's length
// picks the controller kind (PLC-5, SLC 500, MicroLogix), so every seed reaches each kind.

#include <cstdint>
#include <vector>

#include "family/pccc_wire.h"
#include "sim/pccc_services.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static plcsim::PcccController* const kinds[] = {
        new plcsim::PcccController(plcsim::SimConfig{}, plcsim::PcccPlcType::kPlc5),
        new plcsim::PcccController(plcsim::SimConfig{}, plcsim::PcccPlcType::kSlc500),
        new plcsim::PcccController(plcsim::SimConfig{}, plcsim::PcccPlcType::kMicroLogix)};
    plcsim::PcccController* plc = kinds[size % 3];
    // Execute PCCC to the PCCC object, instance 1, then the fuzzed request data.
    std::vector<uint8_t> request{CIP_SVC_EXECUTE_PCCC, 0x02, CIP_SEG_CLASS_8, CIP_CLASS_PCCC,
                                 CIP_SEG_INSTANCE_8,   0x01};
    request.insert(request.end(), data, data + size);
    const std::vector<uint8_t> reply =
        plc->Sim().Router().Execute(ByteView{request.data(), request.size()}, nullptr, 1);
    if (reply.size() < 4 || reply[0] != (CIP_SVC_EXECUTE_PCCC | CIP_SERVICE_REPLY)) {
        __builtin_trap();
    }
    // A successful reply echoes the requester ID and carries at least CMD, STS and TNS.
    if (reply[2] == CIP_STATUS_SUCCESS && (size < 1 || reply.size() < 4u + data[0] + 4u)) {
        __builtin_trap();
    }
    return 0;
}
