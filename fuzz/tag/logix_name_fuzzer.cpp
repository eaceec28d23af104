// Logix tag names: any text either parses into a bounded request path or is refused, and the
// encoded address copies into an exactly-sized buffer without passing it.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "family/controllogix_tagdata.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    ControlLogixTagData tagData;
    if (!tagData.ParseTagName(name, "fuzz")) {
        return 0;
    }
    const std::vector<uint8_t>& encoded = tagData.GetEncodedAddress();
    // Path size byte, an even path of at most 510 bytes, the element count.
    if (encoded.size() < 5 || encoded.size() > 513 || encoded.size() != 3 + 2u * encoded[0] ||
        tagData.GetElementCount() == 0) {
        std::abort();
    }
    std::vector<uint8_t> exact(encoded.size());
    if (tagData.FillData(true, exact.data(), 0, static_cast<uint16_t>(exact.size())) !=
            static_cast<int32_t>(exact.size()) ||
        tagData.FillData(true, exact.data(), 1, static_cast<uint16_t>(exact.size())) != -1) {
        std::abort();
    }
    // Re-encoded to the words of a BOOL array of the length the name's end picks, the address
    // still fits its fields and the bits their words.
    const uint32_t length = static_cast<uint32_t>(size) * 32;
    if (tagData.UseBoolArrayWords(length)) {
        const std::vector<uint8_t>& words = tagData.GetEncodedAddress();
        const TagBits& bits = tagData.GetBits();
        if (words.size() != 3 + 2u * words[0] || bits.first >= 32 || bits.count == 0 ||
            uint64_t{bits.first} + bits.count > uint64_t{tagData.GetElementCount()} * 32 ||
            tagData.WordPath(tagData.GetElementCount() - 1u).empty()) {
            std::abort();
        }
    }
    return 0;
}
