#pragma once
// Figures for monitoring tools, written in the Prometheus text exposition format.

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::strata_sdk {

// Collects metric families as text: each family() starts a "# HELP" and "# TYPE"
// header, each sample() adds one line. Label values are escaped here, so any
// PLC alias or path can be a label value.
class MetricsText {
  public:
    using Labels = std::vector<std::pair<std::string, std::string>>;

    // type: "counter" or "gauge". Counters are named with "_total".
    void family(const std::string& name, const char* type, const std::string& help);
    void sample(const std::string& name, double value, const Labels& labels = {});

    const std::string& text() const noexcept { return text_; }

  private:
    std::string text_;
};

// Installed by a link to add its own families to GET /metrics; runs on a server
// thread of the HTTP front for every scrape.
using MetricsSource = std::function<void(MetricsText& out)>;

}  // namespace kestrel::strata_sdk
