#pragma once
// Helpers shared by the SDK tests: temporary data directories, waiting for conditions set on
// other threads, a link with a store in a temporary place, and the option parser's outcome.

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "strata_sdk/sdk.h"
#include "support/temp_dir.h"
#include "support/test_link.h"
#include "support/wait_until.h"

namespace sdk_test {

using tb_test::TempDir;
using tb_test::WaitUntil;

inline std::unique_ptr<kestrel::strata_sdk::Link> make_link(const std::string& data_dir) {
    return tb_test::MakeLink(data_dir);
}

// What the option parser made of a command line, and what it wrote.
struct Parsed {
    kestrel::strata_sdk::LinkOptions::ParseOutcome outcome;
    std::string out;
    std::string err;
    kestrel::strata_sdk::LinkOptions options{"Tagbridge"};
};

// `extend` adds options of the caller's own before the parse.
inline Parsed parse(std::vector<std::string> args,
                    const std::function<void(kestrel::strata_sdk::LinkOptions&)>& extend = {}) {
    args.insert(args.begin(), "tagbridge");
    std::vector<const char*> argv;
    for (const auto& a : args) {
        argv.push_back(a.c_str());
    }
    Parsed p;
    if (extend) {
        extend(p.options);
    }
    std::ostringstream out, err;
    p.outcome = p.options.parse_arguments(static_cast<int>(argv.size()), argv.data(), out, err);
    p.out = out.str();
    p.err = err.str();
    return p;
}

}  // namespace sdk_test
