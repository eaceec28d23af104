#pragma once
// Error codes of the SDK and the exception its value accessors throw.

#include <string>
#include <system_error>

namespace kestrel::strata_sdk {

// Codes of strata_error_category(). 9013 is the wrong-kind / bad-value code that
// Variant accessors raise; the others are reported through completion callbacks.
enum class strata_errc : int {
    node_not_found = 9001,     // no node at the given path
    parent_not_found = 9002,   // create_node under a path that does not exist
    invalid_node_name = 9003,  // empty name or a name holding '/'
    no_action = 9004,          // invoke on a node that carries no action
    store_failure = 9005,      // the node store could not be opened, read or written
    not_running = 9006,        // the link has been stopped
    disconnected = 9007,       // broker session lost (forced by tests)
    invalid_builder = 9008,    // NodeBuilder with no node in it
    action_failed = 9009,      // an action handler threw
    timed_out = 9010,          // invoke_and_wait gave up waiting
    listen_failed = 9011,      // the HTTP front could not bind its address
    bad_value = 9013,          // Variant accessor on the wrong kind, or a bad value
    invalid_json = 9014,       // json::from_json_string on text that is not JSON
};

const std::error_category& strata_error_category() noexcept;
std::error_code make_error_code(strata_errc e) noexcept;

// Thrown by the value accessors (code 9013) and by json parsing (code 9014).
// what() is exactly the text given ("not a string", "not an uint", ...).
class exception : public std::system_error {
  public:
    exception(std::error_code code, const std::string& text);
    exception(strata_errc code, const std::string& text);
    const char* what() const noexcept override { return text_.c_str(); }

  private:
    std::string text_;
};

}  // namespace kestrel::strata_sdk

namespace std {
template <>
struct is_error_code_enum<kestrel::strata_sdk::strata_errc> : true_type {};
}  // namespace std
