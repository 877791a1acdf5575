#include "module_model.h"

namespace zvsim {
namespace {

UpgradeMachine::Settings upgradeSettings(const ModuleConfig& c) {
    UpgradeMachine::Settings s;
    s.blockSize = c.blockSize;
    s.loadBase = c.loadBase;
    s.loadReply = c.loadReply;
    return s;
}

}  // namespace

ModuleModel::ModuleModel(const ModuleConfig& config, uint8_t router, uint64_t nowMs)
    : settings(SystemSettings::factory(config.name)),
      saved(settings),
      routerAddress(router),
      slots(config.stores, config.slotsPerStore, config.slotCapacity),
      factory(config.factoryData),
      upgrade(upgradeSettings(config)),
      config_(config),
      serial_(config.serial),
      version_(config.version),
      build_(config.build),
      bootMs_(nowMs) {
    for (const FaultRule& rule : config.faults) faults.add(rule);
}

uint32_t ModuleModel::protocolFeatures() const {
    return config_.pooled ? kFeaturePooledPackets : 0;
}

void ModuleModel::beginRestart() {
    upgrade.closeBlock();
    bytesIn.reset();
    streams.clear();
    routeConnection = 0;
    routeToMe = false;
    heartbeat.active = false;
    heartbeat.pending = false;
    heartbeat.nextState = 0;
    heartbeat.missedInRow = 0;
}

void ModuleModel::completeRestart(RestartKind kind, uint64_t nowMs) {
    switch (kind) {
        case RestartKind::Loader:
            phase_ = Phase::Loader;
            serial_ = config_.loaderBlankSerial ? kBlankSerial : config_.serial;
            ++restarts["load"];
            break;
        case RestartKind::Firmware:
            if (upgrade.wroteSinceBoot()) {
                if (config_.nextVersion) version_ = *config_.nextVersion;
                if (config_.nextBuild) build_ = *config_.nextBuild;
            }
            phase_ = Phase::Firmware;
            serial_ = config_.serial;
            ++restarts["reboot"];
            break;
        case RestartKind::Same:
            ++restarts["reset"];
            break;
    }
    // Unsaved settings do not survive a restart.
    settings = saved;
    upgrade.markBoot();
    bootMs_ = nowMs;
}

}  // namespace zvsim
