#pragma once
// Command line and configuration file of a link process.

#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "strata_sdk/logging.h"

namespace kestrel::strata_sdk {

// Option values by key; a repeatable option may have several.
using ConfigValues = std::map<std::string, std::vector<std::string>>;

// Reads the options from a JSON object file given with --config FILE; its keys are
// the long option names without dashes ("data-dir", "listen", "log", "debug",
// "log-file", "token", "token-file", "allowed-host" (a string or an array of
// strings), "insecure-no-token" (a boolean), "tls-cert", "tls-key", "history-points"). Values on
// the command line win over the file.
class FileConfigLoader {
  public:
    FileConfigLoader() = default;
    // false with a one-line reason in `error` when the file is unreadable, not a JSON
    // object, has an unknown key or a value that is not a string or number.
    // `extra_keys` are accepted besides the SDK's own (see LinkOptions::add_extra_option).
    bool load(const std::string& file, ConfigValues& values, std::string& error,
              const std::vector<std::string>& extra_keys = {}) const;
};

class LinkOptions {
  public:
    static constexpr std::size_t kDefaultHistoryPoints = 1000;
    static constexpr std::size_t kMaxHistoryPoints = 1000000;
    enum class ParseOutcome {
        Run,          // options accepted
        ExitSuccess,  // --help or --version printed
        Rejected,     // bad input; a one-line reason was written
    };

    explicit LinkOptions(std::string link_name, FileConfigLoader loader = FileConfigLoader());

    // Options (all optional): --data-dir DIR (default ./tagbridge-data), --listen
    // HOST:PORT (default 127.0.0.1:8080), --log LEVEL (fatal..trace, default info),
    // --debug N (-1..3, default 0), --log-file FILE, --token TOKEN, --token-file FILE,
    // --allowed-host NAME (repeatable), --insecure-no-token, --tls-cert FILE,
    // --tls-key FILE, --history-points N (0..1000000, default 1000), --config FILE, --help,
    // --version. Bad input: one line on `err`, answer false. A --listen address other than loopback
    // needs a token unless --insecure-no-token is given. --help and
    // --version print to standard output and end the process with status 0.
    // Also refuses a data directory whose node store cannot be used (not a database,
    // newer schema) and a --listen address that cannot be bound, so that the
    // process never starts half-working.
    bool parse(int argc, const char* const* argv, std::ostream& err);
    // The same without ending the process; help and version text go to `out`.
    ParseOutcome parse_arguments(int argc, const char* const* argv, std::ostream& out,
                                 std::ostream& err);

    const std::string& link_name() const noexcept { return link_name_; }
    // Empty: keep nodes in memory only (no store).
    const std::string& data_dir() const noexcept { return data_dir_; }
    const std::string& listen_host() const noexcept { return listen_host_; }
    uint16_t listen_port() const noexcept { return listen_port_; }
    LogLevel log_level() const noexcept { return log_level_; }
    int debug_level() const noexcept { return debug_level_; }
    const std::string& log_file() const noexcept { return log_file_; }
    // Empty: the HTTP front asks for no token.
    const std::string& token() const noexcept { return token_; }
    // Host names the HTTP front serves besides its listen address and localhost.
    const std::vector<std::string>& allowed_hosts() const noexcept { return allowed_hosts_; }
    // A non-loopback front without a token was asked for knowingly.
    bool insecure_no_token() const noexcept { return insecure_no_token_; }
    // Both empty: plain HTTP.
    const std::string& tls_cert_file() const noexcept { return tls_cert_file_; }
    const std::string& tls_key_file() const noexcept { return tls_key_file_; }
    // Event streams the HTTP front serves at once.
    std::size_t max_event_clients() const noexcept { return max_event_clients_; }
    // Recent values kept per value node (GET /api/history, the console's trends); 0: none.
    std::size_t history_points() const noexcept { return history_points_; }
    // The HTTP front runs when the options came from parse() or set_listen() was
    // called; options built in code (tests) get no front unless they ask for one.
    bool http_enabled() const noexcept { return http_enabled_; }

    // For tests and embedders. An empty data directory keeps the tree in memory.
    LinkOptions& set_data_dir(std::string dir);
    // Also enables the HTTP front; port 0 picks a free port (Link::http_port()).
    LinkOptions& set_listen(std::string host, uint16_t port);
    LinkOptions& set_log_level(LogLevel level);
    LinkOptions& set_debug_level(int level);
    LinkOptions& set_log_file(std::string file);
    LinkOptions& set_token(std::string token);
    LinkOptions& set_history_points(std::size_t points);

    // Options of the program's own parts beyond the SDK's: `--KEY VALUE` on the command line
    // and "KEY" in the --config file, the command line winning. Register before parsing; the
    // part that owns an option checks its value.
    LinkOptions& add_extra_option(std::string key, std::string description);
    // The value given for an extra option; empty when not given.
    std::string extra_option(const std::string& key) const;

  private:
    bool apply(const std::string& key, const std::string& value, std::string& error);
    bool check_combination(const ConfigValues& values, std::string& error) const;

    std::string link_name_;
    FileConfigLoader loader_;
    std::string data_dir_ = "./tagbridge-data";
    std::string listen_host_ = "127.0.0.1";
    uint16_t listen_port_ = 8080;
    LogLevel log_level_ = LogLevel::info;
    int debug_level_ = 0;
    std::string log_file_;
    std::string token_;
    std::vector<std::string> allowed_hosts_;
    bool insecure_no_token_ = false;
    std::string tls_cert_file_;
    std::string tls_key_file_;
    std::size_t max_event_clients_ = 64;
    bool http_enabled_ = false;
    std::size_t history_points_ = kDefaultHistoryPoints;
    std::vector<std::pair<std::string, std::string>> extra_keys_;  // key, description
    std::map<std::string, std::string> extra_values_;
};

}  // namespace kestrel::strata_sdk
