#pragma once
// A broker link named "Tagbridge" as the tests run it: on a data directory ("" keeps the tree in
// memory), without the HTTP front unless the options ask for one.

#include <functional>
#include <memory>
#include <string>

#include "strata_sdk/sdk.h"

namespace tb_test {

inline std::unique_ptr<kestrel::strata_sdk::Link> MakeLink(
    const std::string& dataDir,
    const std::function<void(kestrel::strata_sdk::LinkOptions&)>& adjust = {}) {
    kestrel::strata_sdk::LinkOptions options("Tagbridge");
    options.set_data_dir(dataDir);
    if (adjust) {
        adjust(options);
    }
    return std::make_unique<kestrel::strata_sdk::Link>(
        std::move(options), kestrel::strata_sdk::LinkType::Responder, "1.4.6");
}

}  // namespace tb_test
