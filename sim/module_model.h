// The state of one simulated module: identity, settings, storage, streams,
// upgrade progress and the counters the report shows. Plain data with a few
// state transitions; the protocol handler reads and changes it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "factory_data.h"
#include "faults.h"
#include "i2c_bus.h"
#include "module_config.h"
#include "store_slots.h"
#include "stream_table.h"
#include "system_options.h"
#include "uei_bytes_assembler.h"
#include "upgrade_machine.h"

namespace zvsim {

enum class Phase { Firmware, Loader };
enum class RestartKind { Loader, Firmware, Same };

struct HeartbeatState {
    bool active = false;   // the host talked and answers heartbeats
    bool pending = false;  // the last heartbeat is not answered yet
    uint8_t nextState = 0;
    uint32_t missedInRow = 0;
    uint64_t sent = 0, answered = 0, missed = 0;
};

class ModuleModel {
  public:
    ModuleModel(const ModuleConfig& config, uint8_t routerAddress, uint64_t nowMs);

    const ModuleConfig& config() const { return config_; }
    uint32_t serial() const { return serial_; }
    uint8_t address() const { return config_.address; }
    uint32_t version() const { return version_; }
    uint32_t build() const { return build_; }
    Phase phase() const { return phase_; }
    uint64_t uptimeMs(uint64_t nowMs) const { return nowMs - bootMs_; }
    uint32_t protocolFeatures() const;

    // Called when the restart begins (the link is about to drop) and when the
    // module is back.
    void beginRestart();
    void completeRestart(RestartKind kind, uint64_t nowMs);

    void countPacket(const std::string& kind) { ++packets[kind]; }

    SystemSettings settings;
    SystemSettings saved;
    uint8_t routerAddress;
    bool routeToMe = false;
    uint32_t routeConnection = 0;  // link for unsolicited packets; 0 = none
    StoreSlots slots;
    FactoryData factory;
    I2CBus i2c;
    StreamTable streams;
    UeiBytesAssembler bytesIn;
    UpgradeMachine upgrade;
    FaultPlan faults;
    HeartbeatState heartbeat;
    std::map<std::string, uint64_t> packets;
    std::map<std::string, uint64_t> restarts;
    uint64_t ignoredFrames = 0;  // arrived while stalled or restarting

  private:
    ModuleConfig config_;
    uint32_t serial_;
    uint32_t version_;
    uint32_t build_;
    Phase phase_ = Phase::Firmware;
    uint64_t bootMs_;
};

}  // namespace zvsim
