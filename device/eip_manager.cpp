#include "device/eip_manager.h"

#include <utility>

#include "common/eip_log.h"
#include "device/eip_device.h"
#include "device/io_socket.h"

EipManager::EipManager() : ioSockets_(std::make_shared<IoSockets>()) {}

EipManager::~EipManager() {
    RemoveAll();
}

void EipManager::RemoveAll() {
    std::map<std::string, EipDeviceHandle> devices;
    {
        std::lock_guard<std::mutex> guard(lock_);
        devices.swap(devices_);
    }
    for (auto& entry : devices) {
        entry.second->Retire();
    }
}

bool EipManager::AliasTakenLocked(const std::string& alias) const {
    return devices_.count(alias) != 0 || connecting_.count(alias) != 0;
}

int EipManager::AddPLC(const ConnectInfo& info, bool restore) {
    eiplog::Info("AddPLC", "Adding: " + info.alias);
    if (restore) {
        EipDeviceHandle device;
        {
            std::lock_guard<std::mutex> guard(lock_);
            EipDeviceHandle& slot = devices_[info.alias];
            if (slot == nullptr) {
                slot = std::make_shared<EipDevice>(ioSockets_);
            }
            device = slot;
        }
        device->SetConnectionInfo(info);
        return 0;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (AliasTakenLocked(info.alias)) {
            eiplog::Error("AddPLC", "Alias is already exist - " + info.alias);
            return -1;
        }
        connecting_.insert(info.alias);
    }
    // The connect runs without the lock: other PLCs' actions go on meanwhile, and the reserved
    // alias keeps a second Add PLC of the same name out.
    auto device = std::make_shared<EipDevice>(ioSockets_);
    const int result = device->ConnectToPLC(info, false);
    std::lock_guard<std::mutex> guard(lock_);
    connecting_.erase(info.alias);
    if (result == 0) {
        devices_.emplace(info.alias, std::move(device));
    }
    return result;
}

int EipManager::AddPLCTemp(const std::string& alias) {
    eiplog::Info("AddPLCTemp", "Adding: " + alias);
    std::lock_guard<std::mutex> guard(lock_);
    if (AliasTakenLocked(alias)) {
        eiplog::Error("AddPLCTemp", "Alias is already exist - " + alias);
        return -1;
    }
    eiplog::Info("AddPLCTemp", "Add temporary PLC - " + alias);
    devices_.emplace(alias, std::make_shared<EipDevice>(ioSockets_));
    return 0;
}

int EipManager::RemovePLC(const std::string& alias) {
    EipDeviceHandle device;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = devices_.find(alias);
        if (it == devices_.end()) {
            eiplog::Info("RemovePLC", "Alias is not exist - " + alias);
            return -1;
        }
        device = std::move(it->second);
        devices_.erase(it);
    }
    device->Retire();
    return 0;
}

EipDeviceHandle EipManager::GetPLC(const std::string& alias) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devices_.find(alias);
    if (it == devices_.end()) {
        eiplog::Info("GetPLC", "Alias is not exist - " + alias);
        return nullptr;
    }
    return it->second;
}

std::vector<std::string> EipManager::GetAliases() {
    std::vector<std::string> aliases;
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : devices_) {
        aliases.push_back(entry.first);
    }
    return aliases;
}

std::vector<DeviceStatsSnapshot> EipManager::CollectStats() {
    std::vector<std::pair<std::string, EipDeviceHandle>> devices;
    {
        std::lock_guard<std::mutex> guard(lock_);
        devices.assign(devices_.begin(), devices_.end());
    }
    std::vector<DeviceStatsSnapshot> stats;
    for (const auto& [alias, device] : devices) {
        if (device) {
            stats.push_back(device->GetStats());
            stats.back().alias = alias;
        }
    }
    return stats;
}
