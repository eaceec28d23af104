#pragma once
// The broker link: owns the embedded broker, its threads and the node store.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "strata_sdk/broker.h"
#include "strata_sdk/link_options.h"
#include "strata_sdk/metrics.h"
#include "strata_sdk/responder.h"

namespace kestrel::strata_sdk {

enum class LinkType : int {
    Requester = 1,
    Responder = 2,
    Both = 3,
};

using InitializedHandler =
    std::function<void(const std::string& link_name, const std::error_code& ec)>;
using ConnectionHandler = std::function<void(const std::error_code& ec)>;

class Link {
  public:
    Link(LinkOptions&& options, LinkType type, const std::string& version);
    Link(LinkOptions&& options, int type, const std::string& version);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    std::shared_ptr<Responder> responder() const;
    // The embedded broker's own interface (HTTP front, tests).
    Broker& broker() const;
    const LinkOptions& options() const noexcept;
    // SDK version, SQLite version and data directory, in one line.
    std::string get_version_info() const;
    // Port the HTTP front listens on; 0 when it does not run.
    uint16_t http_port() const noexcept;

    // Install before non_blocking_run(): the link's own families for GET /metrics,
    // called on a server thread of the HTTP front for every scrape.
    void set_metrics_source(MetricsSource source);

    // Install before non_blocking_run(); all three run on the dispatch thread.
    void set_on_initialized_handler(InitializedHandler handler);
    void set_on_connected_handler(ConnectionHandler handler);
    void set_on_disconnected_handler(ConnectionHandler handler);

    // Returns at once. Opens the node store and starts the HTTP front (false, with a
    // fatal log line and the initialised handler called with the error, when either
    // fails), then on
    // the dispatch thread: initialised handler; every stored node re-created
    // (parents first) and announced with context Restored; connected handler.
    bool non_blocking_run();
    // Ends the HTTP front and the SDK's threads; callbacks not yet run are dropped.
    void stop();
    // Waits for the threads ended by stop().
    void join();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrel::strata_sdk
