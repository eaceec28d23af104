// PLC5 data-table addresses: any text either parses into a 5-to-9-byte PCCC address or is
// refused, and the address copies into an exactly-sized buffer without passing it.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "family/pccc_tagdata.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string address(reinterpret_cast<const char*>(data), size);
    PcccTagData tagData;
    if (!tagData.ParseTagName(address, "fuzz")) {
        return 0;
    }
    const std::vector<uint8_t>& encoded = tagData.GetEncodedAddress();
    if (encoded.size() < 5 || encoded.size() > 9 || encoded[0] != tagData.GetDataLen()) {
        std::abort();
    }
    std::vector<uint8_t> exact(encoded.size());
    if (tagData.FillData(true, exact.data(), 0, static_cast<uint16_t>(exact.size())) !=
            static_cast<int32_t>(exact.size()) ||
        exact.back() != 0) {
        std::abort();
    }
    tagData.Dump();
    return 0;
}
