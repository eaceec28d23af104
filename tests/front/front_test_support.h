#pragma once
// Helpers for tests that talk to the HTTP front: waiting for conditions and
// reading a Server-Sent Events stream.

#include <httplib.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/wait_until.h"

namespace tb_test {

// Percent-encodes everything but the unreserved characters, for query values.
inline std::string url_encode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

struct SseMessage {
    std::string event;  // "message" when the stream named none; "comment" for ": ..." lines
    std::string data;
};

// Reads GET `target` as an event stream on a thread of its own until stop().
class SseReader {
  public:
    SseReader(const std::string& host, int port, std::string target, httplib::Headers headers = {})
        : client_(host, port) {
        client_.set_read_timeout(std::chrono::seconds(60));
        thread_ = std::thread([this, target = std::move(target), headers = std::move(headers)] {
            auto result = client_.Get(
                target, headers,
                [this](const httplib::Response& response) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    status_ = response.status;
                    content_type_ = response.get_header_value("Content-Type");
                    changed_.notify_all();
                    return true;
                },
                [this](const char* data, size_t length) {
                    feed(std::string(data, length));
                    return true;
                });
            std::lock_guard<std::mutex> lock(mutex_);
            if (result && status_ == 0)
                status_ = result->status;
            ended_ = true;
            changed_.notify_all();
        });
    }
    ~SseReader() { stop(); }

    void stop() {
        client_.stop();
        if (thread_.joinable())
            thread_.join();
    }

    // Waits until `condition(messages)` holds; true when it did.
    bool wait_for(const std::function<bool(const std::vector<SseMessage>&)>& condition,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return wait([&] { return condition(messages_); }, timeout);
    }
    bool wait_connected(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return wait([&] { return status_ != 0 || ended_; }, timeout) && status() == 200;
    }
    bool wait_ended(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return wait([&] { return ended_; }, timeout);
    }

    std::vector<SseMessage> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<SseMessage> events(const std::string& name) const {
        std::vector<SseMessage> out;
        for (const auto& m : messages()) {
            if (m.event == name)
                out.push_back(m);
        }
        return out;
    }
    int status() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }
    std::string content_type() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return content_type_;
    }

  private:
    bool wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, done);
    }

    // Splits the stream into messages at blank lines (the SSE framing).
    void feed(const std::string& chunk) {
        std::lock_guard<std::mutex> lock(mutex_);
        buffer_ += chunk;
        for (std::size_t end; (end = buffer_.find("\n\n")) != std::string::npos;) {
            std::istringstream block(buffer_.substr(0, end));
            buffer_.erase(0, end + 2);
            SseMessage message{"message", ""};
            bool has_data = false;
            for (std::string line; std::getline(block, line);) {
                if (line.rfind("event: ", 0) == 0) {
                    message.event = line.substr(7);
                } else if (line.rfind("data: ", 0) == 0) {
                    message.data += (has_data ? "\n" : "") + line.substr(6);
                    has_data = true;
                } else if (line.rfind(":", 0) == 0 && !has_data) {
                    messages_.push_back({"comment", line.substr(1)});
                }
            }
            if (has_data)
                messages_.push_back(message);
        }
        changed_.notify_all();
    }

    httplib::Client client_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SseMessage> messages_;
    std::string buffer_;
    int status_ = 0;
    std::string content_type_;
    bool ended_ = false;
};

}  // namespace tb_test
