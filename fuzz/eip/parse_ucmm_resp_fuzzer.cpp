// EipParseUCMMRESP on arbitrary bytes: 4 bytes of expected connection ID, then a message whose
// header length is replaced by the bytes actually present (the reader guarantees them).

#include <cstdint>
#include <memory>
#include <vector>

#include "eip/eip_connection.h"
#include "fuzz/fuzz_support.h"
#include "strata_sdk/logging.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4 + EIP_ENCAP_HEADER_SIZE) {
        return 0;
    }
    const uint32_t expectedId = GetLittleEndian32(data);
    // An exact-size copy so that any read past the message is caught.
    const std::vector<uint8_t> message(data + 4, data + size);
    EncapsulationMessage encap;
    EipConnection::EipParseENCAP(message.data(), encap);
    const size_t body = message.size() - EIP_ENCAP_HEADER_SIZE;
    if (body > EIP_ENCAP_MAX_DATA) {
        return 0;
    }
    encap.length = static_cast<uint16_t>(body);
    auto cpf = std::make_unique<CpfMessage>();
    auto response = std::make_unique<ExplicitResponse>();
    if (EipConnection::EipParseUCMMRESP(expectedId, ~expectedId, encap, *cpf, *response) == 0 &&
        response->generalStatus != 0) {
        EipConnection::LogResponseError("fuzz", *response);
    }
    return 0;
}
