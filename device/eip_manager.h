// The process-wide registry of PLC devices, keyed by PLC alias.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/eip_utils.h"
#include "device/device_stats.h"

class EipDevice;

// The registry owns every device. Its lock admits re-entry by its holder: a
// device's connect sequence (run under the lock by AddPLC) reaches GetPLC
// through its action toggle callback. A device is always destroyed after the
// lock is released, because destroying it joins its worker threads, which may
// themselves be waiting for the lock.
class EipManager {
  public:
    EipManager() = default;
    // Takes every device out under the lock, then destroys them in ascending
    // alias order after releasing it.
    ~EipManager();
    EipManager(const EipManager&) = delete;
    EipManager& operator=(const EipManager&) = delete;

    // 0 success, -1 refused, otherwise the failure code of ConnectToPLC.
    int AddPLC(const _eipConnectInfo& info, bool restore);
    // Registers an empty, unconnected placeholder; 0 added, -1 refused.
    int AddPLCTemp(const std::string& alias);
    // 0 removed (device destroyed), -1 no such alias.
    int RemovePLC(const std::string& alias);
    // Borrowed pointer, valid until the entry is removed; null when unknown.
    EipDevice* GetPLC(const std::string& alias);
    // The registered aliases in ascending order.
    std::vector<std::string> GetAliases();
    // The figures of every registered device, in ascending alias order.
    std::vector<DeviceStatsSnapshot> CollectStats();

  private:
    std::map<std::string, EipDevice*> devices_;
    std::recursive_mutex lock_;
};

// Set once by main before the link runs; null until then.
extern EipManager* g_eipManager;
