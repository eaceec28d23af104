// The PLC families of GET /metrics.
#pragma once

#include <vector>

#include "device/device_stats.h"
#include "strata_sdk/metrics.h"

// One family per figure, one sample per PLC labelled plc="ALIAS".
void WritePlcMetrics(const std::vector<DeviceStatsSnapshot>& plcs,
                     kestrel::strata_sdk::MetricsText& out);
