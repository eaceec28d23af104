#include "http_front.h"

#include <httplib.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "strata_sdk/broker.h"
#include "strata_sdk/error.h"
#include "strata_sdk/json.h"
#include "strata_sdk/logging.h"
#include "strata_sdk_web_assets.h"

namespace kestrel::strata_sdk {
namespace {

constexpr const char* kJson = "application/json";
// Threads for ordinary requests, on top of one per event stream.
constexpr std::size_t kRequestThreads = 16;
// Idle keep-alive connections hold a server thread; a short wait keeps stop() quick.
constexpr time_t kKeepAliveSeconds = 2;
// A write of an event stream carries at most this much (and at least one event).
constexpr std::size_t kEventWriteBytes = 64u << 10;
// Events of a stream are written at most this often: people see no difference,
// and many streams cost a few writes per second each instead of one per change.
constexpr std::chrono::milliseconds kEventBatchDelay{20};
// The TLS 1.2 suites offered; TLS 1.3 suites are all forward-secret.
constexpr const char* kTls12Suites = "ECDHE+AESGCM:ECDHE+CHACHA20";
// How often a waiting request looks at the stop flag.
constexpr std::chrono::milliseconds kStopPoll{100};

std::string json_text(const std::string& text) {
    return json::to_json_string(Variant(text));
}

std::string error_body(const std::string& reason) {
    return "{\"error\":" + json_text(reason) + "}";
}

void reply_error(httplib::Response& res, int status, const std::string& reason) {
    res.status = status;
    res.set_content(error_body(reason), kJson);
}

// Constant time in the length of the expected token, so that timing tells nothing.
bool same_secret(const std::string& given, const std::string& expected) {
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        diff |= g ^ static_cast<unsigned char>(expected[i]);
    }
    return diff == 0;
}

std::optional<std::string> base64_decode(const std::string& text) {
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=')
            break;
        else
            return std::nullopt;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

// "Bearer TOKEN", or "Basic base64(user:TOKEN)" as browsers send after a login prompt.
bool authorized(const httplib::Request& req, const std::string& token) {
    const std::string header = req.get_header_value("Authorization");
    const std::string bearer = "Bearer ";
    const std::string basic = "Basic ";
    if (header.compare(0, bearer.size(), bearer) == 0) {
        return same_secret(header.substr(bearer.size()), token);
    }
    if (header.compare(0, basic.size(), basic) == 0) {
        const auto decoded = base64_decode(header.substr(basic.size()));
        const auto colon = decoded ? decoded->find(':') : std::string::npos;
        return colon != std::string::npos && same_secret(decoded->substr(colon + 1), token);
    }
    return false;
}

bool is_api(const httplib::Request& req) {
    return req.path.compare(0, 5, "/api/") == 0;
}

// A page on another site may make the browser POST to a loopback address; only the
// console's own origin may change anything.
bool cross_site(const httplib::Request& req, const char* scheme) {
    if (req.method != "POST" || !req.has_header("Origin"))
        return false;
    return req.get_header_value("Origin") != scheme + req.get_header_value("Host");
}

std::string lower_case(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A Host header value or an allowed name: lower-case name without IPv6 brackets,
// and the port text (empty when none was given).
struct HostName {
    std::string name;
    std::string port;
};

std::optional<HostName> split_host(const std::string& text) {
    HostName host;
    std::string rest;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos)
            return std::nullopt;
        host.name = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        const auto colon = text.find(':');
        host.name = text.substr(0, colon);
        rest = colon == std::string::npos ? "" : text.substr(colon);
    }
    if (!rest.empty()) {
        if (rest.front() != ':' || rest.size() == 1 ||
            rest.find_first_not_of("0123456789", 1) != std::string::npos)
            return std::nullopt;
        host.port = rest.substr(1);
    }
    if (host.name.empty())
        return std::nullopt;
    host.name = lower_case(std::move(host.name));
    return host;
}

// The names a browser uses for this machine's own loopback interface.
bool is_loopback_name(const std::string& name) {
    return name == "localhost" || name == "127.0.0.1" || name == "::1";
}

// A listen address that binds every interface names no host: a browser sent to
// 0.0.0.0 reaches the front too, so it must not count as this front's name.
bool is_wildcard(const std::string& name) {
    return name == "0.0.0.0" || name == "::" || name.empty();
}

NodePath path_param(const httplib::Request& req) {
    return NodePath(req.has_param("path") ? req.get_param_value("path") : std::string("/"));
}

// A time stamp in milliseconds since the Unix epoch: digits with an optional minus sign.
std::optional<int64_t> parse_ms(const std::string& text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || at != end)
        return std::nullopt;
    return value;
}

// {"path": P, "historyPoints": N, "series": [{"path": NODE, "points": [[ts, value], ...]}]}
std::string history_body(const NodePath& path, std::size_t capacity,
                         const std::vector<HistorySeries>& series) {
    std::string body = "{\"path\":" + json_text(path.to_string()) +
                       ",\"historyPoints\":" + std::to_string(capacity) + ",\"series\":[";
    for (std::size_t s = 0; s < series.size(); ++s) {
        body += (s ? ",{\"path\":" : "{\"path\":") + json_text(series[s].path.to_string()) +
                ",\"points\":[";
        for (std::size_t p = 0; p < series[s].points.size(); ++p) {
            const HistoryPoint& point = series[s].points[p];
            body += (p ? ",[" : "[") + std::to_string(point.ts_ms) + "," +
                    json::to_json_string(point.value) + "]";
        }
        body += "]}";
    }
    return body + "]}";
}

const char* reason_of(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 404:
            return "no such endpoint";
        case 405:
            return "method not allowed";
        case 413:
            return "request body too large";
        case 414:
            return "request URI too long";
        default:
            return status >= 500 ? "internal error of the HTTP front" : "request refused";
    }
}

// ------------------------------------------------------------------ process figures

// Seconds since this process started, from the kernel's own start time.
double process_uptime_seconds() {
    std::ifstream stat("/proc/self/stat");
    std::string text;
    std::getline(stat, text);
    // Field 22 (starttime, in clock ticks since boot) counts from after the
    // command name, which may itself hold spaces and ends with ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    double since_boot = 0;
    std::ifstream("/proc/uptime") >> since_boot;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return std::max(0.0, since_boot - std::strtod(field.c_str(), nullptr) / ticks);
}

double resident_memory_bytes() {
    long pages_total = 0;
    long pages_resident = 0;
    std::ifstream("/proc/self/statm") >> pages_total >> pages_resident;
    return static_cast<double>(pages_resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double open_descriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return 0;
    double count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1;  // the descriptor of the listing itself
}

// ------------------------------------------------------------------ event streams

// How a stream's client is keeping up, as its queue tells.
struct EventLimits {
    std::size_t backlog;            // pending events at most
    std::chrono::milliseconds lag;  // longest time the oldest pending event may wait
};

// One formatted event, shared by every stream that waits to write it.
// One formatted event, shared by every stream that waits to write it. `node` is the path of a
// value event's node, empty for a tree event.
struct SharedEvent {
    std::string node;
    std::string text;
};
using EventPtr = std::shared_ptr<const SharedEvent>;

// One connected event stream: events waiting to be written by its server thread.
// A value event replaces the pending one of its node (the console shows the latest value), so
// a slow client costs at most one event per node changed since its last write; a tree event
// is always kept and ends the replacing, so that no value moves before a tree change.
struct EventClient {
    enum class Next { Data, Heartbeat, Closed, Overflow };
    using Clock = std::chrono::steady_clock;

    EventClient(NodePath below_path, EventLimits event_limits)
        : below(std::move(below_path)), limits(event_limits) {}

    // Waits up to `heartbeat` for data; hands back up to kEventWriteBytes of it, or the final
    // event saying why the stream ends.
    Next next(std::chrono::milliseconds heartbeat, std::string& out) {
        std::unique_lock<std::mutex> lock(mutex);
        ready.wait_for(lock, heartbeat,
                       [&] { return !pending.empty() || closed || !overflow.empty(); });
        if (!pending.empty() && !closed && overflow.empty() && !more) {
            // Let a burst gather, so that one wake-up and one write carry many events.
            ready.wait_for(lock, kEventBatchDelay, [&] { return closed || !overflow.empty(); });
        }
        if (overflow.empty() && !pending.empty() && Clock::now() - oldest > limits.lag)
            end_stream(lag_reason());
        if (!overflow.empty()) {
            out = "event: closed\ndata: {\"reason\":" + json_text(overflow) + "}\n\n";
            return Next::Overflow;
        }
        if (!pending.empty()) {
            take(out);
            return Next::Data;
        }
        return closed ? Next::Closed : Next::Heartbeat;
    }

    // Wakes the writer only when the queue turns non-empty: under load the writer
    // then takes many events per wake-up and per write.
    void push(const EventPtr& event) {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closed || !overflow.empty())
                return;
            const bool was_empty = pending.empty();
            wake = queue(event) || was_empty;
        }
        if (wake)
            ready.notify_one();
    }

    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closed = true;
        }
        ready.notify_one();
    }

    // The first text a stream writes.
    void greet() {
        pending.push_back(std::make_shared<const SharedEvent>(
            SharedEvent{std::string(), "retry: 3000\n: connected\n\n"}));
        oldest = Clock::now();
    }

    const NodePath below;
    const EventLimits limits;

  private:
    // Queues one event; true when the stream ended instead (the writer must wake).
    bool queue(const EventPtr& event) {
        if (pending.empty()) {
            oldest = Clock::now();
        } else if (Clock::now() - oldest > limits.lag) {
            end_stream(lag_reason());
            return true;
        }
        if (event->node.empty()) {
            pending_values.clear();
        } else if (auto found = pending_values.find(event->node); found != pending_values.end()) {
            // The key views the node of the event it indexes, so it moves to the new one.
            const uint64_t sequence = found->second;
            pending_values.erase(found);
            pending[sequence - first_sequence] = event;
            pending_values.emplace(event->node, sequence);
            return false;
        }
        if (pending.size() >= limits.backlog) {
            end_stream("the client fell more than " + std::to_string(limits.backlog) +
                       " events behind");
            return true;
        }
        if (!event->node.empty())
            pending_values.emplace(event->node, first_sequence + pending.size());
        pending.push_back(event);
        return false;
    }

    // Moves events from the front of the queue into `out`: at least one, then as many as fit
    // in kEventWriteBytes, so that a write never copies a whole backlog.
    void take(std::string& out) {
        out.clear();
        while (!pending.empty() &&
               (out.empty() || out.size() + pending.front()->text.size() <= kEventWriteBytes)) {
            const SharedEvent& event = *pending.front();
            out += event.text;
            if (auto found = pending_values.find(event.node);
                found != pending_values.end() && found->second == first_sequence) {
                pending_values.erase(found);
            }
            pending.pop_front();
            ++first_sequence;
        }
        more = !pending.empty();
    }

    std::string lag_reason() const {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limits.lag);
        return "the client stayed behind for more than " + std::to_string(seconds.count()) + " s";
    }

    void end_stream(std::string why) {
        overflow = std::move(why);
        pending.clear();
        pending.shrink_to_fit();
        pending_values.clear();
    }

    std::mutex mutex;
    std::condition_variable ready;
    std::deque<EventPtr> pending;
    uint64_t first_sequence = 0;  // counts the events taken from the front of `pending`
    // The sequence number of each node's value event in `pending`, keyed by a view of its node.
    std::unordered_map<std::string_view, uint64_t> pending_values;
    Clock::time_point oldest;  // when `pending` last turned non-empty
    bool more = false;         // the last take left events behind: no gathering pause
    bool closed = false;
    std::string overflow;  // why the stream ends; the writer sends it as the last event
};

// Formats each broker event once and hands it to every stream that covers its path.
// Threads: publish() runs on the broker's dispatch thread, add/remove/close_all on
// server threads; `mutex_` guards the client list and is taken before a client's own
// mutex, never the other way round.
class EventHub {
  public:
    EventHub(std::size_t max_clients, EventLimits limits)
        : max_clients_(max_clients), limits_(limits) {}

    std::shared_ptr<EventClient> add(const NodePath& below) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_ || clients_.size() >= max_clients_)
            return nullptr;
        auto client = std::make_shared<EventClient>(below, limits_);
        client->greet();
        clients_.push_back(client);
        return client;
    }

    void remove(const std::shared_ptr<EventClient>& client) {
        std::lock_guard<std::mutex> lock(mutex_);
        clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
    }

    void close_all() {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        for (auto& client : clients_)
            client->close();
    }

    void publish(const TreeEvent& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (clients_.empty())
            return;
        const auto shared = std::make_shared<const SharedEvent>(SharedEvent{
            event.kind == TreeEvent::Kind::Value ? event.path.to_string() : std::string(),
            format(event)});
        for (auto& client : clients_) {
            if (event.path.is_within(client->below))
                client->push(shared);
        }
    }

    std::size_t max_clients() const noexcept { return max_clients_; }
    std::size_t client_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return clients_.size();
    }

  private:
    static std::string format(const TreeEvent& event) {
        const std::string path = json_text(event.path.to_string());
        if (event.kind == TreeEvent::Kind::Value) {
            return "event: value\ndata: {\"path\":" + path +
                   ",\"value\":" + json::to_json_string(event.value) +
                   ",\"ts\":" + std::to_string(event.ts_ms) + "}\n\n";
        }
        return std::string("event: tree\ndata: {\"op\":\"") + tree_event_kind_name(event.kind) +
               "\",\"path\":" + path + "}\n\n";
    }

    const std::size_t max_clients_;
    const EventLimits limits_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<EventClient>> clients_;
    bool closing_ = false;
};

// ------------------------------------------------------------------ invocations

// Carries one invocation's result from the dispatch thread to the waiting request.
struct InvokeWaiter {
    void finish(const InvokeResult& outcome) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            result = outcome;
        }
        ready.notify_one();
    }

    // Empty when the deadline passed or `stopping` was raised first.
    std::optional<InvokeResult> wait(std::chrono::milliseconds timeout,
                                     const std::atomic<bool>& stopping) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock<std::mutex> lock(mutex);
        while (!result && !stopping && std::chrono::steady_clock::now() < deadline) {
            const auto left = deadline - std::chrono::steady_clock::now();
            ready.wait_for(lock, std::min<std::chrono::steady_clock::duration>(left, kStopPoll));
        }
        return result;
    }

    std::mutex mutex;
    std::condition_variable ready;
    std::optional<InvokeResult> result;
};

std::string result_body(const InvokeResult& result) {
    Variant columns = Variant::new_array();
    for (const auto& column : result.columns) {
        Variant entry = Variant::new_map();
        entry["name"] = column.name();
        entry["type"] = value_type_name(column.type());
        columns.as_array().push_back(std::move(entry));
    }
    Variant rows = Variant::new_array();
    for (const auto& row : result.rows)
        rows.as_array().push_back(Variant(row));
    Variant body = Variant::new_map();
    body["columns"] = std::move(columns);
    body["rows"] = std::move(rows);
    return json::to_json_string(body);
}

}  // namespace

// ------------------------------------------------------------------ the front

// Threads: start() and stop() on the owner's thread; request handlers on the
// server's pool; broker events on the dispatch thread (EventHub guards itself).
// `stopping` is the only state the handlers change besides the hub; `server` and
// `bound_port` are set by start() before the server thread exists. The metrics
// source runs on the server's pool.
struct HttpFront::Impl {
    Impl(Broker& b, HttpFrontOptions o)
        : broker(b),
          options(std::move(o)),
          hub(options.max_event_clients, {options.max_event_backlog, options.max_event_lag}) {}

    void install_routes();
    bool host_allowed(const std::string& header) const;
    bool check_access(const httplib::Request& req, httplib::Response& res) const;
    void get_metrics(httplib::Response& res);
    void get_node(const httplib::Request& req, httplib::Response& res) const;
    void post_invoke(const httplib::Request& req, httplib::Response& res);
    void get_events(const httplib::Request& req, httplib::Response& res);
    void get_history(const httplib::Request& req, httplib::Response& res) const;
    Variant child_summary(const NodePath& path) const;

    Broker& broker;
    const HttpFrontOptions options;
    const bool tls = !options.tls_cert_file.empty();
    std::unique_ptr<httplib::Server> server;
    EventHub hub;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> listen_returned{false};
    // The broker subscription feeding `hub`, held only while a stream is open: without one,
    // value events cost the broker nothing. Guarded by subscription_mutex, which is never
    // taken with the hub's lock (an unsubscribe waits for a delivery into the hub).
    void follow_events();
    std::mutex subscription_mutex;
    std::optional<SubscriptionId> subscription;
    uint16_t bound_port = 0;
    bool running = false;
};

// Checked before the token, so that a rebinding page learns nothing, not even
// whether a token is needed.
bool HttpFront::Impl::host_allowed(const std::string& header) const {
    const auto host = split_host(header);
    if (!host)
        return false;
    for (const auto& allowed : options.allowed_hosts) {
        const auto name = split_host(allowed);
        if (name && name->name == host->name && (name->port.empty() || name->port == host->port))
            return true;
    }
    if (host->port != std::to_string(bound_port))
        return false;
    const std::string own = lower_case(options.host);
    return is_loopback_name(host->name) || (!is_wildcard(own) && own == host->name);
}

bool HttpFront::Impl::check_access(const httplib::Request& req, httplib::Response& res) const {
    const std::string host = req.get_header_value("Host");
    if (!host_allowed(host)) {
        reply_error(res, 421,
                    "host \"" + host +
                        "\" is not served here (the console answers to its listen address, "
                        "localhost and the names given with --allowed-host)");
        return false;
    }
    if (!options.token.empty() && !authorized(req, options.token)) {
        // A browser opening the console gets a login prompt; programs see Bearer.
        res.set_header("WWW-Authenticate", is_api(req)
                                               ? "Bearer realm=\"Tagbridge\""
                                               : "Basic realm=\"Tagbridge\", charset=\"UTF-8\"");
        reply_error(res, 401, "missing or wrong access token (send Authorization: Bearer TOKEN)");
        return false;
    }
    if (cross_site(req, tls ? "https://" : "http://")) {
        reply_error(res, 403, "cross-site request refused");
        return false;
    }
    return true;
}

// The child list of /api/node carries a summary of each child so that a tree can
// be drawn from one request.
Variant HttpFront::Impl::child_summary(const NodePath& path) const {
    const auto info = broker.node_info(path);
    if (!info)
        return Variant();
    bool browsable_children = false;
    for (const auto& name : info->children) {
        const auto child = broker.node_info(path / name);
        if (child && !child->has_action) {
            browsable_children = true;
            break;
        }
    }
    Variant summary = Variant::new_map();
    summary["name"] = info->name;
    summary["displayName"] = info->display_name;
    summary["kind"] = info->kind;
    summary["action"] = info->has_action;
    summary["hasChildren"] = browsable_children;
    summary["value"] = info->value;
    summary["valueType"] = info->type ? Variant(value_type_name(*info->type)) : Variant();
    summary["configs"] = Variant(info->configs);
    return summary;
}

void HttpFront::Impl::get_node(const httplib::Request& req, httplib::Response& res) const {
    const NodePath path = path_param(req);
    auto node = broker.describe(path);
    if (!node)
        return reply_error(res, 404, "no node at " + path.to_string());
    Variant children = Variant::new_array();
    if (node->has("children") && node->at("children").is_array()) {
        for (const auto& name : node->at("children").as_array()) {
            if (!name.is_string())
                continue;
            Variant summary = child_summary(path / name.as_string());
            if (!summary.is_null())
                children.as_array().push_back(std::move(summary));
        }
    }
    (*node)["childNodes"] = std::move(children);
    res.set_content(json::to_json_string(*node), kJson);
}

void HttpFront::Impl::post_invoke(const httplib::Request& req, httplib::Response& res) {
    const NodePath path = path_param(req);
    Variant params = Variant::new_map();
    const bool blank = req.body.find_first_not_of(" \t\r\n") == std::string::npos;
    if (!blank) {
        try {
            params = json::from_json_string(req.body);
        } catch (const std::exception& e) {
            return reply_error(res, 400, std::string("body is not JSON: ") + e.what());
        }
        if (!params.is_map())
            return reply_error(res, 400, "body must be a JSON object of parameters");
    }
    auto waiter = std::make_shared<InvokeWaiter>();
    // The same deadline for the handler: once this request answered 504, it stops its work.
    const std::error_code refused = broker.invoke(
        path, std::move(params), [waiter](const InvokeResult& r) { waiter->finish(r); },
        options.invoke_timeout);
    if (refused == strata_errc::node_not_found)
        return reply_error(res, 404, "no node at " + path.to_string());
    if (refused == strata_errc::no_action)
        return reply_error(res, 404, "node " + path.to_string() + " has no action");
    if (refused)
        return reply_error(res, 503, "the link cannot run actions now: " + refused.message());

    const auto outcome = waiter->wait(options.invoke_timeout, stopping);
    if (!outcome && stopping)
        return reply_error(res, 503, "the link is stopping");
    if (!outcome) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(options.invoke_timeout).count();
        return reply_error(res, 504,
                           "the action did not complete within " + std::to_string(seconds) + " s");
    }
    if (!outcome->ok()) {
        const std::string why =
            outcome->error_text.empty() ? outcome->error.message() : outcome->error_text;
        return reply_error(res, 500, "the action failed: " + why);
    }
    res.set_content(result_body(*outcome), kJson);
}

void HttpFront::Impl::get_events(const httplib::Request& req, httplib::Response& res) {
    auto client = hub.add(path_param(req));
    if (!client) {
        return reply_error(
            res, 503, "too many event streams (at most " + std::to_string(hub.max_clients()) + ")");
    }
    follow_events();
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");
    const auto heartbeat = options.heartbeat_interval;
    res.set_chunked_content_provider(
        "text/event-stream",
        [client, heartbeat](std::size_t, httplib::DataSink& sink) {
            std::string chunk;
            switch (client->next(heartbeat, chunk)) {
                case EventClient::Next::Data:
                    return sink.write(chunk.data(), chunk.size());
                case EventClient::Next::Heartbeat:
                    return sink.write(": heartbeat\n\n", 13);
                case EventClient::Next::Closed:
                    sink.done();
                    return true;
                case EventClient::Next::Overflow:
                    sink.write(chunk.data(), chunk.size());
                    return false;
            }
            return false;
        },
        [this, client](bool) {
            hub.remove(client);
            follow_events();
        });
}

void HttpFront::Impl::get_history(const httplib::Request& req, httplib::Response& res) const {
    const NodePath path = path_param(req);
    std::optional<int64_t> since = std::numeric_limits<int64_t>::min();
    if (req.has_param("since"))
        since = parse_ms(req.get_param_value("since"));
    if (!since) {
        return reply_error(res, 400,
                           "since must be a time in milliseconds since the Unix epoch, got \"" +
                               req.get_param_value("since") + "\"");
    }
    const auto series = broker.history(path, *since);
    if (!series)
        return reply_error(res, 404, "no node at " + path.to_string());
    res.set_header("Cache-Control", "no-cache");
    res.set_content(history_body(path, broker.history_points(), *series), kJson);
}

void HttpFront::Impl::follow_events() {
    std::lock_guard<std::mutex> lock(subscription_mutex);
    const bool wanted = hub.client_count() > 0 && !stopping;
    if (wanted && !subscription) {
        subscription =
            broker.subscribe(NodePath("/"), [this](const TreeEvent& event) { hub.publish(event); });
    } else if (!wanted && subscription) {
        broker.unsubscribe(*subscription);
        subscription.reset();
    }
}

void HttpFront::Impl::get_metrics(httplib::Response& res) {
    MetricsText out;
    if (options.metrics_source)
        options.metrics_source(out);
    out.family("tagbridge_process_uptime_seconds", "gauge", "Seconds since the process started.");
    out.sample("tagbridge_process_uptime_seconds", process_uptime_seconds());
    out.family("tagbridge_process_resident_memory_bytes", "gauge", "Resident memory size.");
    out.sample("tagbridge_process_resident_memory_bytes", resident_memory_bytes());
    out.family("tagbridge_process_open_fds", "gauge", "Open file descriptors.");
    out.sample("tagbridge_process_open_fds", open_descriptors());
    out.family("tagbridge_http_event_streams", "gauge", "Event streams connected to the console.");
    out.sample("tagbridge_http_event_streams", static_cast<double>(hub.client_count()));
    res.set_header("Cache-Control", "no-cache");
    res.set_content(out.text(), "text/plain; version=0.0.4; charset=utf-8");
}

// SO_REUSEADDR lets a restarted link bind again at once; the library's default,
// SO_REUSEPORT, would also let a second process bind the same port and receive
// half of the connections.
static void exclusive_listen_socket(socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

void HttpFront::Impl::install_routes() {
    httplib::Server& server = *this->server;
    server.set_socket_options(exclusive_listen_socket);
    server.set_payload_max_length(options.max_body_bytes);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    const std::size_t threads = options.max_event_clients + kRequestThreads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return check_access(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                      : httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            res.set_content(error_body(reason_of(res.status)), kJson);
    });
    server.set_exception_handler(
        [](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
            std::string why = "unknown exception";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                why = e.what();
            } catch (...) {
            }
            log_message_internal(LogLevel::error,
                                 "HTTP front: " + req.method + " " + req.path + " failed: " + why);
            reply_error(res, 500, "internal error: " + why);
        });
    for (const auto& asset : web::kWebAssets) {
        const std::string route = std::string(asset.path) == "/index.html" ? "/" : asset.path;
        server.Get(route, [&asset](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_header("X-Content-Type-Options", "nosniff");
            res.set_content(reinterpret_cast<const char*>(asset.bytes), asset.size,
                            asset.content_type);
        });
    }
    server.Get("/api/node",
               [this](const httplib::Request& req, httplib::Response& res) { get_node(req, res); });
    server.Post("/api/invoke", [this](const httplib::Request& req, httplib::Response& res) {
        post_invoke(req, res);
    });
    server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        get_events(req, res);
    });
    server.Get("/api/history", [this](const httplib::Request& req, httplib::Response& res) {
        get_history(req, res);
    });
    server.Get("/metrics",
               [this](const httplib::Request&, httplib::Response& res) { get_metrics(res); });
}

HttpFront::HttpFront(Broker& broker, HttpFrontOptions options)
    : impl_(std::make_unique<Impl>(broker, std::move(options))) {}

HttpFront::~HttpFront() {
    stop();
}

bool HttpFront::start(std::string& error) {
    Impl& d = *impl_;
    if (d.running)
        return true;
    if (d.tls) {
        auto tls_server = std::make_unique<httplib::SSLServer>(d.options.tls_cert_file.c_str(),
                                                               d.options.tls_key_file.c_str());
        // Forward secrecy only: TLS 1.3, or TLS 1.2 with ECDHE and an AEAD cipher.
        if (SSL_CTX* context = tls_server->ssl_context()) {
            SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
            SSL_CTX_set_cipher_list(context, kTls12Suites);
        }
        d.server = std::move(tls_server);
        if (!d.server->is_valid()) {
            error = "HTTP front cannot use the TLS certificate " + d.options.tls_cert_file +
                    " with the key " + d.options.tls_key_file +
                    " (unreadable, not PEM, or not a matching pair)";
            return false;
        }
    } else {
        d.server = std::make_unique<httplib::Server>();
    }
    d.install_routes();
    const int port =
        d.options.port == 0
            ? d.server->bind_to_any_port(d.options.host)
            : (d.server->bind_to_port(d.options.host, d.options.port) ? d.options.port : -1);
    if (port <= 0) {
        error = "HTTP front cannot listen on " + d.options.host + ":" +
                std::to_string(d.options.port) + " (address in use or not available)";
        return false;
    }
    d.bound_port = static_cast<uint16_t>(port);
    d.listen_returned = false;
    d.thread = std::thread([&d] {
        d.server->listen_after_bind();
        d.listen_returned = true;
    });
    // stop() only takes effect once the server loop runs, so wait for it here.
    while (!d.server->is_running() && !d.listen_returned) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    d.running = true;
    log_message_internal(LogLevel::info, "HTTP front listening on " + url());
    return true;
}

void HttpFront::stop() {
    Impl& d = *impl_;
    if (!d.running)
        return;
    d.stopping = true;
    d.hub.close_all();
    d.server->stop();
    if (d.thread.joinable())
        d.thread.join();
    d.follow_events();
    d.running = false;
    log_message_internal(LogLevel::info, "HTTP front stopped");
}

uint16_t HttpFront::port() const noexcept {
    return impl_->bound_port;
}

std::string HttpFront::url() const {
    const std::string& host = impl_->options.host;
    const bool v6 = host.find(':') != std::string::npos;
    return (impl_->tls ? "https://" : "http://") + (v6 ? "[" + host + "]" : host) + ":" +
           std::to_string(impl_->bound_port);
}

}  // namespace kestrel::strata_sdk
