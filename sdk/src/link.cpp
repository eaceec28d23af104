#include "strata_sdk/link.h"

#include <sqlite3.h>

#include <atomic>
#include <mutex>

#include "broker_core.h"
#include "http_front.h"
#include "strata_sdk/logging.h"
#include "version.h"

namespace kestrel::strata_sdk {

// Threads: the owner (main) constructs, runs, stops and joins; the handlers run on
// the core's dispatch thread. `handlers_mutex` guards the three handlers, which are
// copied out before being called.
struct Link::Impl {
    LinkOptions options;
    LinkType type;
    std::string version;
    std::shared_ptr<detail::BrokerCore> core =
        std::make_shared<detail::BrokerCore>(options.history_points());
    std::shared_ptr<Responder> responder = std::make_shared<Responder>(core);
    std::unique_ptr<Broker> broker = std::make_unique<Broker>(core);

    std::mutex handlers_mutex;
    InitializedHandler on_initialized;
    ConnectionHandler on_connected;
    ConnectionHandler on_disconnected;
    std::atomic<bool> started{false};
    std::atomic<bool> stopped{false};

    Impl(LinkOptions&& o, LinkType t, std::string v)
        : options(std::move(o)), type(t), version(std::move(v)) {}

    void call_initialized(const std::error_code& ec) {
        InitializedHandler handler;
        {
            std::lock_guard<std::mutex> lock(handlers_mutex);
            handler = on_initialized;
        }
        if (handler) {
            handler(options.link_name(), ec);
        }
    }
    void call_connection(ConnectionHandler Impl::*which, const std::error_code& ec) {
        ConnectionHandler handler;
        {
            std::lock_guard<std::mutex> lock(handlers_mutex);
            handler = this->*which;
        }
        if (handler) {
            handler(ec);
        }
    }

    std::unique_ptr<HttpFront> front;
    MetricsSource metrics_source;  // set before non_blocking_run(), read-only after

    // The HTTP front, when the options ask for it. False with a one-line reason.
    bool start_services(std::string& reason) {
        if (!options.http_enabled()) {
            return true;
        }
        HttpFrontOptions o;
        o.host = options.listen_host();
        o.port = options.listen_port();
        o.token = options.token();
        o.allowed_hosts = options.allowed_hosts();
        o.tls_cert_file = options.tls_cert_file();
        o.tls_key_file = options.tls_key_file();
        o.metrics_source = metrics_source;
        o.max_event_clients = options.max_event_clients();
        if (options.token().empty() && options.insecure_no_token()) {
            log_message_internal(LogLevel::warn,
                                 "the HTTP front on " + options.listen_host() + ":" +
                                     std::to_string(options.listen_port()) +
                                     " asks for no token (--insecure-no-token): anyone who "
                                     "reaches it can change PLC tags");
        }
        front = std::make_unique<HttpFront>(*broker, o);
        if (!front->start(reason)) {
            front.reset();
            return false;
        }
        return true;
    }
    void stop_services() {
        if (front) {
            front->stop();
        }
    }
};

Link::Link(LinkOptions&& options, LinkType type, const std::string& version)
    : impl_(std::make_unique<Impl>(std::move(options), type, version)) {
    const LinkOptions& o = impl_->options;
    set_log_level(o.log_level());
    set_debug_level(o.debug_level());
    if (!o.log_file().empty() && !set_log_file(o.log_file())) {
        log_message_internal(LogLevel::error, "cannot open log file " + o.log_file() +
                                                  "; logging to standard error");
    }
}

Link::Link(LinkOptions&& options, int type, const std::string& version)
    : Link(std::move(options), static_cast<LinkType>(type), version) {}

Link::~Link() {
    stop();
    join();
}

std::shared_ptr<Responder> Link::responder() const {
    return impl_->responder;
}
Broker& Link::broker() const {
    return *impl_->broker;
}
uint16_t Link::http_port() const noexcept {
    return impl_->front ? impl_->front->port() : 0;
}

const LinkOptions& Link::options() const noexcept {
    return impl_->options;
}

std::string Link::get_version_info() const {
    std::string store = impl_->options.data_dir().empty()
                            ? std::string("memory only")
                            : impl_->options.data_dir() + "/" + detail::NodeStore::kFileName;
    return std::string("strata_sdk ") + kSdkVersion + " (embedded broker, SQLite " +
           sqlite3_libversion() + ", node store " + store + ", link " + impl_->options.link_name() +
           " " + impl_->version + ")";
}

void Link::set_metrics_source(MetricsSource source) {
    impl_->metrics_source = std::move(source);
}

void Link::set_on_initialized_handler(InitializedHandler handler) {
    std::lock_guard<std::mutex> lock(impl_->handlers_mutex);
    impl_->on_initialized = std::move(handler);
}

void Link::set_on_connected_handler(ConnectionHandler handler) {
    std::lock_guard<std::mutex> lock(impl_->handlers_mutex);
    impl_->on_connected = std::move(handler);
}

void Link::set_on_disconnected_handler(ConnectionHandler handler) {
    std::lock_guard<std::mutex> lock(impl_->handlers_mutex);
    impl_->on_disconnected = std::move(handler);
}

bool Link::non_blocking_run() {
    if (impl_->started.exchange(true)) {
        return false;
    }
    Impl* impl = impl_.get();
    std::string reason;
    bool store_ok = impl->options.data_dir().empty() ||
                    impl->core->open_store(impl->options.data_dir(), reason);
    if (!store_ok || !impl->start_services(reason)) {
        // A bad store is left as it is; nothing is created on top of it.
        log_message_internal(LogLevel::fatal, "refusing to start: " + reason);
        auto ec =
            make_error_code(store_ok ? strata_errc::listen_failed : strata_errc::store_failure);
        impl->core->post([impl, ec] { impl->call_initialized(ec); });
        return false;
    }
    impl->core->post([impl] {
        impl->call_initialized({});
        impl->core->restore_stored_nodes();
        // Queued behind the restore announcements, so the link has seen every
        // stored node when it is told it is connected.
        impl->core->post([impl] { impl->call_connection(&Impl::on_connected, {}); });
    });
    return true;
}

void Link::stop() {
    if (impl_->stopped.exchange(true)) {
        return;
    }
    impl_->stop_services();
    impl_->core->stop();
}

void Link::join() {
    impl_->core->join();
}

}  // namespace kestrel::strata_sdk
