#include "strata_sdk/link_options.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "node_store.h"
#include "strata_sdk/json.h"
#include "version.h"

namespace kestrel::strata_sdk {
namespace {

// The option keys shared by the command line and the --config file, in help order.
const char* const kKeys[] = {"data-dir",          "listen",   "log",        "debug",
                             "log-file",          "token",    "token-file", "allowed-host",
                             "insecure-no-token", "tls-cert", "tls-key",    "max-event-clients",
                             "history-points"};
// Keys that may be given more than once (a JSON array in the --config file).
const char* const kRepeatable = "allowed-host";
const char* const kFlag = "insecure-no-token";

bool parse_int(const std::string& text, long min, long max, long& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) {
        return false;
    }
    out = value;
    return true;
}

std::string one_line(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// Tries to bind the address the HTTP front will use, so that a busy port or an
// unknown host ends the process at start instead of leaving it without a console.
bool can_listen(const std::string& host, uint16_t port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string where = host + ":" + std::to_string(port);
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot listen on " + where + ": " + gai_strerror(rc);
        return false;
    }
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    int yes = 1;
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
              bind(fd, found->ai_addr, found->ai_addrlen) == 0;
    if (!ok) {
        error = "cannot listen on " + where + ": " + std::strerror(errno);
    }
    if (fd >= 0) {
        close(fd);
    }
    freeaddrinfo(found);
    return ok;
}

// Loopback only: an address no other machine can reach, so a token is not needed.
bool is_loopback_host(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return host == "localhost";
}

// The whole file without surrounding white space, so that `echo TOKEN > file` works.
bool read_token_file(const std::string& file, std::string& token, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = "--token-file: cannot read " + file + ": " + std::strerror(errno);
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    token = text.str();
    token.erase(token.find_last_not_of(" \t\r\n") + 1);
    token.erase(0, token.find_first_not_of(" \t\r\n"));
    if (token.empty() || token.find_first_of("\r\n") != std::string::npos) {
        error = "--token-file: " + file + " must hold the token on one line";
        return false;
    }
    return true;
}

bool readable(const std::string& file) {
    return access(file.c_str(), R_OK) == 0;
}

// One string per value: texts as they are, numbers and booleans spelled out,
// arrays of those for a repeatable key.
bool config_value_texts(const std::string& key, const Variant& value,
                        std::vector<std::string>& out) {
    if (value.is_array() && key == kRepeatable) {
        for (const auto& item : value.as_array()) {
            if (!item.is_string())
                return false;
            out.push_back(item.as_string());
        }
        return true;
    }
    if (value.is_string())
        out.push_back(value.as_string());
    else if (value.is_int())
        out.push_back(std::to_string(value.as_int()));
    else if (value.is_uint())
        out.push_back(std::to_string(value.as_uint()));
    else if (value.is_bool())
        out.push_back(value.as_bool() ? "true" : "false");
    else
        return false;
    return true;
}

}  // namespace

bool FileConfigLoader::load(const std::string& file, ConfigValues& values, std::string& error,
                            const std::vector<std::string>& extra_keys) const {
    std::ifstream in(file);
    if (!in) {
        error = "cannot read config file " + file;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    Variant doc;
    try {
        doc = json::from_json_string(text.str());
    } catch (const std::exception& e) {
        error = "config file " + file + ": " + e.what();
        return false;
    }
    if (!doc.is_map()) {
        error = "config file " + file + ": expected a JSON object";
        return false;
    }
    for (const auto& [key, value] : doc.as_map()) {
        if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys) &&
            std::find(extra_keys.begin(), extra_keys.end(), key) == extra_keys.end()) {
            error = "config file " + file + ": unknown key \"" + key + "\"";
            return false;
        }
        std::vector<std::string> texts;
        if (!config_value_texts(key, value, texts)) {
            error = "config file " + file + ": \"" + key + "\" must be a string, a number or " +
                    (key == kRepeatable ? "an array of strings" : "a boolean");
            return false;
        }
        values[key] = std::move(texts);
    }
    return true;
}

LinkOptions::LinkOptions(std::string link_name, FileConfigLoader loader)
    : link_name_(std::move(link_name)), loader_(std::move(loader)) {}

bool LinkOptions::apply(const std::string& key, const std::string& value, std::string& error) {
    long number = 0;
    if (key == "data-dir") {
        if (value.empty()) {
            error = "--data-dir: the directory must not be empty";
            return false;
        }
        data_dir_ = value;
    } else if (key == "listen") {
        auto colon = value.rfind(':');
        if (colon == std::string::npos || colon == 0 ||
            !parse_int(value.substr(colon + 1), 0, 65535, number)) {
            error =
                "--listen: expected HOST:PORT with a port from 0 to 65535, got \"" + value + "\"";
            return false;
        }
        listen_host_ = value.substr(0, colon);
        // "[::1]:8080": the brackets only set the address apart from the port.
        if (listen_host_.size() > 2 && listen_host_.front() == '[' && listen_host_.back() == ']') {
            listen_host_ = listen_host_.substr(1, listen_host_.size() - 2);
        }
        listen_port_ = static_cast<uint16_t>(number);
    } else if (key == "log") {
        if (!parse_log_level(value, log_level_)) {
            error =
                "--log: expected one of fatal, critical, error, warn, info, debug, trace, got \"" +
                value + "\"";
            return false;
        }
    } else if (key == "debug") {
        if (!parse_int(value, -1, 3, number)) {
            error = "--debug: expected a number from -1 to 3, got \"" + value + "\"";
            return false;
        }
        debug_level_ = static_cast<int>(number);
    } else if (key == "log-file") {
        log_file_ = value;
    } else if (key == "token") {
        token_ = value;
    } else if (key == "token-file") {
        return read_token_file(value, token_, error);
    } else if (key == "allowed-host") {
        if (value.empty() || value.find_first_of(" /\t") != std::string::npos) {
            error =
                "--allowed-host: expected a host name, NAME or NAME:PORT, got \"" + value + "\"";
            return false;
        }
        allowed_hosts_.push_back(value);
    } else if (key == kFlag) {
        if (value != "true" && value != "false") {
            error = "--insecure-no-token: expected true or false, got \"" + value + "\"";
            return false;
        }
        insecure_no_token_ = value == "true";
    } else if (key == "tls-cert" || key == "tls-key") {
        if (!readable(value)) {
            error = "--" + key + ": cannot read " + value + ": " + std::strerror(errno);
            return false;
        }
        (key == "tls-cert" ? tls_cert_file_ : tls_key_file_) = value;
    } else if (key == "max-event-clients") {
        if (!parse_int(value, 1, 4096, number)) {
            error = "--max-event-clients: expected a number from 1 to 4096, got \"" + value + "\"";
            return false;
        }
        max_event_clients_ = static_cast<std::size_t>(number);
    } else if (key == "history-points") {
        if (!parse_int(value, 0, static_cast<long>(kMaxHistoryPoints), number)) {
            error = "--history-points: expected a number from 0 to " +
                    std::to_string(kMaxHistoryPoints) + ", got \"" + value + "\"";
            return false;
        }
        history_points_ = static_cast<std::size_t>(number);
    }
    return true;
}

// Combinations of options that cannot work, or that would open the PLCs to the
// network by accident.
bool LinkOptions::check_combination(const ConfigValues& values, std::string& error) const {
    if (values.count("token") && values.count("token-file")) {
        error = "give --token or --token-file, not both";
        return false;
    }
    if (tls_cert_file_.empty() != tls_key_file_.empty()) {
        error = "--tls-cert and --tls-key go together";
        return false;
    }
    if (token_.empty() && !insecure_no_token_ && !is_loopback_host(listen_host_)) {
        error = "refusing to start: --listen " + listen_host_ + ":" + std::to_string(listen_port_) +
                " is reachable from other machines and no --token or --token-file is given "
                "(add --insecure-no-token to let anyone there write to the PLCs)";
        return false;
    }
    return true;
}

LinkOptions::ParseOutcome LinkOptions::parse_arguments(int argc, const char* const* argv,
                                                       std::ostream& out, std::ostream& err) {
    CLI::App app(link_name_ + ": EtherNet/IP PLCs as broker nodes", link_name_);
    std::map<std::string, std::string> given;
    const char* const descriptions[] = {
        "directory of the node store (default ./tagbridge-data)",
        "address of the HTTP console and API (default 127.0.0.1:8080)",
        "log level: fatal, critical, error, warn, info, debug, trace (default info)",
        "link debug lines: -1 none, 0 info and errors, up to 3 traces (default 0)",
        "write the log to FILE instead of standard error",
        "require this bearer token on every HTTP request",
        "read the token from FILE (keeps it out of the process list)",
        "also serve requests whose Host is NAME or NAME:PORT (repeatable)",
        "allow a non-loopback --listen without a token",
        "serve HTTPS with this certificate (PEM; needs --tls-key)",
        "private key of --tls-cert (PEM)",
        "event streams served at once (default 64)",
        "recent values kept per value node for trends, 0: none (default 1000)",
    };
    std::vector<std::string> hosts;
    bool insecure = false;
    for (size_t i = 0; i < std::size(kKeys); ++i) {
        const std::string name = std::string("--") + kKeys[i];
        if (kKeys[i] == std::string(kRepeatable)) {
            app.add_option(name, hosts, descriptions[i])->allow_extra_args(false);
        } else if (kKeys[i] == std::string(kFlag)) {
            app.add_flag(name, insecure, descriptions[i]);
        } else {
            app.add_option(name, given[kKeys[i]], descriptions[i]);
        }
    }
    std::vector<std::string> extra_keys;
    for (const auto& [key, description] : extra_keys_) {
        app.add_option("--" + key, given[key], description);
        extra_keys.push_back(key);
    }
    std::string config_file;
    app.add_option("--config", config_file, "read options from a JSON file (command line wins)");
    bool version = false;
    app.add_flag("--version", version, "print the version and exit");

    std::vector<std::string> args;
    for (int i = argc - 1; i >= 1; --i) {
        args.emplace_back(argv[i]);  // CLI11 takes them in reverse order
    }
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return ParseOutcome::ExitSuccess;
    } catch (const CLI::ParseError& e) {
        err << link_name_ << ": " << one_line(e.what()) << " (see --help)\n";
        return ParseOutcome::Rejected;
    }
    if (version) {
        out << link_name_ << " (strata_sdk " << kSdkVersion << ")\n";
        return ParseOutcome::ExitSuccess;
    }

    ConfigValues values;
    std::string error;
    if (!config_file.empty() && !loader_.load(config_file, values, error, extra_keys)) {
        err << link_name_ << ": " << error << "\n";
        return ParseOutcome::Rejected;
    }
    given[kFlag] = insecure ? "true" : "false";
    for (const auto& key : kKeys) {
        if (app.count(std::string("--") + key) > 0) {
            values[key] =
                key == std::string(kRepeatable) ? hosts : std::vector<std::string>{given[key]};
        }
    }
    for (const auto& key : extra_keys) {
        if (app.count("--" + key) > 0) {
            values[key] = {given[key]};
        }
    }
    // A token source given on the command line replaces the file's, whichever kind each is.
    for (const auto& [line, file] :
         {std::pair<const char*, const char*>{"token", "token-file"}, {"token-file", "token"}}) {
        if (app.count(std::string("--") + line) > 0 && app.count(std::string("--") + file) == 0)
            values.erase(file);
    }
    for (const auto& [key, texts] : values) {
        if (std::find(extra_keys.begin(), extra_keys.end(), key) != extra_keys.end()) {
            extra_values_[key] = texts.empty() ? std::string() : texts.back();
            continue;
        }
        for (const auto& text : texts) {
            if (!apply(key, text, error)) {
                err << link_name_ << ": " << error << "\n";
                return ParseOutcome::Rejected;
            }
        }
    }
    if (!check_combination(values, error)) {
        err << link_name_ << ": " << error << "\n";
        return ParseOutcome::Rejected;
    }
    if (!data_dir_.empty() && !detail::NodeStore::check(data_dir_, error)) {
        err << link_name_ << ": refusing to start: " << error << "\n";
        return ParseOutcome::Rejected;
    }
    if (!can_listen(listen_host_, listen_port_, error)) {
        err << link_name_ << ": refusing to start: " << error << "\n";
        return ParseOutcome::Rejected;
    }
    http_enabled_ = true;
    return ParseOutcome::Run;
}

bool LinkOptions::parse(int argc, const char* const* argv, std::ostream& err) {
    switch (parse_arguments(argc, argv, std::cout, err)) {
        case ParseOutcome::Run:
            return true;
        case ParseOutcome::ExitSuccess:
            std::cout.flush();
            std::exit(0);
        case ParseOutcome::Rejected:
            break;
    }
    return false;
}

LinkOptions& LinkOptions::set_data_dir(std::string dir) {
    data_dir_ = std::move(dir);
    return *this;
}

LinkOptions& LinkOptions::set_listen(std::string host, uint16_t port) {
    listen_host_ = std::move(host);
    listen_port_ = port;
    http_enabled_ = true;
    return *this;
}

LinkOptions& LinkOptions::set_log_level(LogLevel level) {
    log_level_ = level;
    return *this;
}

LinkOptions& LinkOptions::set_debug_level(int level) {
    debug_level_ = level;
    return *this;
}

LinkOptions& LinkOptions::set_log_file(std::string file) {
    log_file_ = std::move(file);
    return *this;
}

LinkOptions& LinkOptions::set_token(std::string token) {
    token_ = std::move(token);
    return *this;
}

LinkOptions& LinkOptions::set_history_points(std::size_t points) {
    history_points_ = points;
    return *this;
}

LinkOptions& LinkOptions::add_extra_option(std::string key, std::string description) {
    extra_keys_.emplace_back(std::move(key), std::move(description));
    return *this;
}

std::string LinkOptions::extra_option(const std::string& key) const {
    auto it = extra_values_.find(key);
    return it == extra_values_.end() ? std::string() : it->second;
}

}  // namespace kestrel::strata_sdk
