// The registry of PLC devices, keyed by PLC alias. main owns the one of the process.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/eip_utils.h"
#include "device/device_stats.h"

class EipDevice;
class IoSockets;

// A shared handle on a registered device: the device lives while any holder keeps one.
using EipDeviceHandle = std::shared_ptr<EipDevice>;

// The registry hands out shared handles. Its lock guards the map and the set of aliases being
// connected, and is held only for map work: never across a connect or a device's destruction.
// A removed device is retired at once (refuses new work, stops its workers) and destroyed when
// its last holder lets go; holders are SDK threads, never the device's own workers.
class EipManager {
  public:
    EipManager();
    // Removes every device (RemoveAll).
    ~EipManager();
    EipManager(const EipManager&) = delete;
    EipManager& operator=(const EipManager&) = delete;

    // Adding connects first (without the lock) and registers on success; 0 success, -1
    // refused, otherwise the failure code of ConnectToPLC. With restore the device is only
    // registered with its settings: its engine connects when the restore hands over.
    int AddPLC(const ConnectInfo& info, bool restore);
    // Registers an empty, unconnected placeholder; 0 added, -1 refused.
    int AddPLCTemp(const std::string& alias);
    // 0 removed (device retired), -1 no such alias.
    int RemovePLC(const std::string& alias);
    // Retires every device in ascending alias order; each is destroyed when its last holder
    // lets go (here, unless an action still holds it).
    void RemoveAll();
    // A shared handle; null when unknown.
    EipDeviceHandle GetPLC(const std::string& alias);
    // The registered aliases in ascending order.
    std::vector<std::string> GetAliases();
    // The figures of every registered device, in ascending alias order.
    std::vector<DeviceStatsSnapshot> CollectStats();

  private:
    bool AliasTakenLocked(const std::string& alias) const;

    std::map<std::string, EipDeviceHandle> devices_;
    std::set<std::string> connecting_;  // aliases of Add PLC connects in flight
    std::mutex lock_;
    // The I/O UDP sockets by port, shared by the devices (set once, then only handed on).
    const std::shared_ptr<IoSockets> ioSockets_;
};
