#pragma once
// plcsim on 127.0.0.1 and a port the system picks, and the settings that reach it: the loopback
// PLC the tests of every layer start.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/eip_utils.h"
#include "sim/logix_services.h"

namespace tb_test {

inline plcsim::SimConfig LoopbackConfig(int slot = 0) {
    plcsim::SimConfig config;
    config.port = 0;
    config.slot = slot;
    return config;
}

inline ConnectInfo LoopbackInfo(uint16_t port, const std::string& alias = "plc1", int slot = 0,
                                ProtocolFamily family = kFamilyCip) {
    ConnectInfo info;
    info.alias = alias;
    info.host = "127.0.0.1";
    info.port = port;
    info.slot = slot;
    info.family = family;
    return info;
}

// A Logix controller, started at once; tags may be defined before or after.
class SimPlc {
  public:
    // Serving on bindAddress (any 127.x address) and a port the system picks.
    static plcsim::SimConfig Config(const std::string& bindAddress = "127.0.0.1") {
        plcsim::SimConfig config = LoopbackConfig();
        config.bindAddress = bindAddress;
        return config;
    }

    explicit SimPlc(plcsim::SimConfig config = Config())
        : controller_(config), host_(config.bindAddress) {
        started_ = controller_.Sim().Start();
    }
    ~SimPlc() { controller_.Sim().Stop(); }

    bool Started() const { return started_; }
    plcsim::PlcSimulator& Sim() { return controller_.Sim(); }
    plcsim::LogixTagDatabase& Tags() { return controller_.Tags(); }
    // From now on every connection is accepted and no request answered: each waits for its
    // time-out.
    void Silence() {
        plcsim::Fault silence;
        silence.action = plcsim::FaultAction::Drop;
        silence.count = 0;
        Sim().InjectFault(silence);
    }
    uint64_t ConnectionsAccepted() { return Sim().Stats().connectionsAccepted; }

    void Define(const std::string& name, const std::string& type, nlohmann::json value = nullptr,
                std::vector<uint32_t> dims = {}) {
        plcsim::LogixTagDefinition definition;
        definition.name = name;
        definition.type = type;
        definition.value = std::move(value);
        definition.dims = std::move(dims);
        controller_.DefineTag(definition);
    }
    void Define(const std::vector<plcsim::LogixTagDefinition>& definitions) {
        for (const plcsim::LogixTagDefinition& definition : definitions) {
            controller_.DefineTag(definition);
        }
    }

    // DINT tags <prefix>0 .. <prefix>(n-1) holding 1000 + their index.
    void DefineDints(const std::string& prefix, int count) {
        for (int i = 0; i < count; ++i) {
            Define(prefix + std::to_string(i), "DINT", 1000 + i);
        }
    }

    ConnectInfo Info(const std::string& alias) {
        ConnectInfo info = LoopbackInfo(Sim().Port(), alias);
        info.host = host_;
        return info;
    }

  private:
    plcsim::LogixController controller_;
    std::string host_;
    bool started_ = false;
};

}  // namespace tb_test
