#pragma once
// The HTTP front of the embedded broker: the browser console, a JSON API to read
// nodes and run actions, and a Server-Sent Events stream of changes.
//
//   GET  /                     the console (also /app.js, /style.css)
//   GET  /api/node?path=P      one node: configs, value, action signature, children
//   POST /api/invoke?path=P    run the action of node P with a JSON object of parameters
//   GET  /api/events?path=P    SSE: "value" and "tree" events below P, heartbeat comments
//   GET  /api/history?path=P[&since=MS]  recent values of P, or of each child of a folder P
//   GET  /metrics              figures for monitoring tools (Prometheus text format)
//
// Every route answers only requests whose Host names this front (see allowed_hosts),
// so that a page of another site whose name resolves to this address gets nothing.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "strata_sdk/metrics.h"

namespace kestrel::strata_sdk {

class Broker;

struct HttpFrontOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 8080;  // 0: an ephemeral port, see HttpFront::port()
    // Empty: no authentication. Otherwise every request needs
    // "Authorization: Bearer TOKEN" (browsers may send Basic with TOKEN as password).
    std::string token;
    // Names the Host header may carry besides the listen address and the loopback
    // names (localhost, 127.0.0.1, [::1]) with the bound port. "NAME" admits any
    // port (a reverse proxy may drop it), "NAME:PORT" only that port.
    std::vector<std::string> allowed_hosts;
    // Both set: HTTPS with this certificate chain and private key (PEM files).
    std::string tls_cert_file;
    std::string tls_key_file;
    // Adds the link's own families to GET /metrics; the front adds the process's.
    MetricsSource metrics_source;
    std::size_t max_body_bytes = 4u << 20;
    std::chrono::milliseconds invoke_timeout{60000};
    std::chrono::milliseconds heartbeat_interval{15000};
    // Each event stream holds one server thread; beyond this, new streams get 503.
    std::size_t max_event_clients = 64;
    // Events a stream holds for a client that has not read them yet; a value event replaces
    // the pending one of its node. Beyond this the stream is closed with a final "closed"
    // event (the client reconnects and reloads). Every stream together holds at most
    // max_event_clients * max_event_backlog events.
    std::size_t max_event_backlog = 4096;
    // A stream whose oldest pending event waited this long is closed the same way.
    std::chrono::milliseconds max_event_lag{30000};
};

class HttpFront {
  public:
    HttpFront(Broker& broker, HttpFrontOptions options);
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    // Binds the address and serves on a thread of its own. False, with a one-line
    // reason in `error`, when the address cannot be bound.
    bool start(std::string& error);
    // Closes every event stream, waits for requests in progress and unbinds.
    void stop();

    // The bound port (the chosen one when started with port 0); 0 before start().
    uint16_t port() const noexcept;
    // "http://HOST:PORT", or "https://HOST:PORT" with TLS.
    std::string url() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrel::strata_sdk
