#include "link/plc_metrics.h"

namespace {

struct PlcFamily {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const DeviceStatsSnapshot&);
};

const PlcFamily kFamilies[] = {
    {"tagbridge_plc_connected", "gauge", "1 while the session with the PLC is up.",
     [](const DeviceStatsSnapshot& s) { return s.connected ? 1.0 : 0.0; }},
    {"tagbridge_plc_last_cycle_seconds", "gauge", "Duration of the last polling cycle.",
     [](const DeviceStatsSnapshot& s) { return s.lastCycleSeconds; }},
    {"tagbridge_plc_mean_cycle_seconds", "gauge", "Mean duration of the polling cycles.",
     [](const DeviceStatsSnapshot& s) { return s.meanCycleSeconds; }},
    {"tagbridge_plc_requests_total", "counter", "Read requests sent to the PLC.",
     [](const DeviceStatsSnapshot& s) { return static_cast<double>(s.requests); }},
    {"tagbridge_plc_timeouts_total", "counter", "Requests the PLC did not answer in time.",
     [](const DeviceStatsSnapshot& s) { return static_cast<double>(s.timeouts); }},
    {"tagbridge_plc_reconnects_total", "counter", "Sessions opened again after a loss.",
     [](const DeviceStatsSnapshot& s) { return static_cast<double>(s.reconnects); }},
    {"tagbridge_plc_values_published_total", "counter", "Tag values read and published.",
     [](const DeviceStatsSnapshot& s) { return static_cast<double>(s.valuesPublished); }},
    {"tagbridge_plc_tags_failing", "gauge", "Tags whose last read failed.",
     [](const DeviceStatsSnapshot& s) { return static_cast<double>(s.tagsFailing); }},
    {"tagbridge_plc_io_forged_total", "counter",
     "I/O datagrams refused for naming no connection of the PLC.",
     [](const DeviceStatsSnapshot& s) { return static_cast<double>(s.ioForged); }},
    {"tagbridge_plc_io_foreign_total", "counter",
     "I/O datagrams refused for coming from another address than the PLC's.",
     [](const DeviceStatsSnapshot& s) { return static_cast<double>(s.ioForeign); }},
    {"tagbridge_plc_io_stale_total", "counter",
     "I/O datagrams refused for a sequence number not newer than the last one.",
     [](const DeviceStatsSnapshot& s) { return static_cast<double>(s.ioStale); }},
};

}  // namespace

void WritePlcMetrics(const std::vector<DeviceStatsSnapshot>& plcs,
                     kestrel::strata_sdk::MetricsText& out) {
    for (const auto& family : kFamilies) {
        out.family(family.name, family.type, family.help);
        for (const auto& plc : plcs) {
            out.sample(family.name, family.value(plc), {{"plc", plc.alias}});
        }
    }
}
