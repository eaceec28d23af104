#pragma once
// Helpers shared by the SDK tests: temporary data directories, waiting for
// conditions set on other threads, and a link with a store in a temporary place.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "strata_sdk/sdk.h"
#include "support/wait_until.h"

namespace sdk_test {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sdk-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

using tb_test::WaitUntil;

// A link named "Tagbridge" on `data_dir` ("" keeps the tree in memory), without
// the HTTP front.
inline std::unique_ptr<kestrel::strata_sdk::Link> make_link(const std::string& data_dir) {
    kestrel::strata_sdk::LinkOptions options("Tagbridge");
    options.set_data_dir(data_dir);
    return std::make_unique<kestrel::strata_sdk::Link>(
        std::move(options), kestrel::strata_sdk::LinkType::Responder, "1.4.6");
}

}  // namespace sdk_test
