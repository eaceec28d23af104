#include "device/eip_manager.h"

#include <new>
#include <utility>

#include "common/eip_log.h"
#include "device/eip_device.h"

EipManager* g_eipManager = nullptr;

EipManager::~EipManager() {
    std::map<std::string, EipDevice*> devices;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        devices.swap(devices_);
    }
    for (auto& entry : devices) {
        delete entry.second;
    }
}

int EipManager::AddPLC(const _eipConnectInfo& info, bool restore) {
    eiplog::Info("AddPLC", "Adding: " + info.alias);
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = devices_.find(info.alias);
    if (it != devices_.end() && !restore) {
        eiplog::Error("AddPLC", "Alias is already exist - " + info.alias);
        return -1;
    }
    const bool created = it == devices_.end();
    EipDevice* device = created ? new (std::nothrow) EipDevice() : it->second;
    if (device == nullptr) {
        eiplog::Error("AddPLC", "Create PLC Device fail - " + info.alias);
        return -1;
    }
    const int result = device->ConnectToPLC(info, restore);
    if (!restore && result != 0) {
        delete device;  // never entered, so no other thread can reach it
        return result;
    }
    if (created) {
        devices_.emplace(info.alias, device);
    }
    return result;
}

int EipManager::AddPLCTemp(const std::string& alias) {
    eiplog::Info("AddPLCTemp", "Adding: " + alias);
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (devices_.count(alias) != 0) {
        eiplog::Error("AddPLCTemp", "Alias is already exist - " + alias);
        return -1;
    }
    EipDevice* device = new (std::nothrow) EipDevice();
    if (device == nullptr) {
        eiplog::Error("AddPLCTemp", "Create PLC Device fail - " + alias);
        return -1;
    }
    eiplog::Info("AddPLCTemp", "Add temporary PLC - " + alias);
    devices_.emplace(alias, device);
    return 0;
}

int EipManager::RemovePLC(const std::string& alias) {
    EipDevice* device = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        auto it = devices_.find(alias);
        if (it == devices_.end()) {
            eiplog::Info("RemovePLC", "Alias is not exist - " + alias);
            return -1;
        }
        device = it->second;
        devices_.erase(it);
    }
    delete device;
    return 0;
}

EipDevice* EipManager::GetPLC(const std::string& alias) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = devices_.find(alias);
    if (it == devices_.end()) {
        eiplog::Info("GetPLC", "Alias is not exist - " + alias);
        return nullptr;
    }
    return it->second;
}

std::vector<std::string> EipManager::GetAliases() {
    std::vector<std::string> aliases;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (const auto& entry : devices_) {
        aliases.push_back(entry.first);
    }
    return aliases;
}

std::vector<DeviceStatsSnapshot> EipManager::CollectStats() {
    std::vector<DeviceStatsSnapshot> stats;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (const auto& entry : devices_) {
        stats.push_back(entry.second->GetStats());
        stats.back().alias = entry.first;
    }
    return stats;
}
