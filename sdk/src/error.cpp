#include "strata_sdk/error.h"

namespace kestrel::strata_sdk {
namespace {

class StrataErrorCategory : public std::error_category {
  public:
    const char* name() const noexcept override { return "strata"; }
    std::string message(int code) const override {
        switch (static_cast<strata_errc>(code)) {
            case strata_errc::node_not_found:
                return "node not found";
            case strata_errc::parent_not_found:
                return "parent node not found";
            case strata_errc::invalid_node_name:
                return "invalid node name";
            case strata_errc::no_action:
                return "node has no action";
            case strata_errc::store_failure:
                return "node store failure";
            case strata_errc::not_running:
                return "link is not running";
            case strata_errc::disconnected:
                return "broker session lost";
            case strata_errc::invalid_builder:
                return "node builder holds no node";
            case strata_errc::action_failed:
                return "action handler failed";
            case strata_errc::timed_out:
                return "timed out";
            case strata_errc::listen_failed:
                return "cannot listen on the HTTP address";
            case strata_errc::bad_value:
                return "value of the wrong kind";
            case strata_errc::invalid_json:
                return "invalid JSON";
        }
        return "unknown strata error " + std::to_string(code);
    }
};

}  // namespace

const std::error_category& strata_error_category() noexcept {
    static const StrataErrorCategory category;
    return category;
}

std::error_code make_error_code(strata_errc e) noexcept {
    return {static_cast<int>(e), strata_error_category()};
}

exception::exception(std::error_code code, const std::string& text)
    : std::system_error(code, text), text_(text) {}

exception::exception(strata_errc code, const std::string& text)
    : exception(make_error_code(code), text) {}

}  // namespace kestrel::strata_sdk
