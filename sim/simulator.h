// The running simulator: modules with their routers and attachments, the
// host links, and the periodic traffic (heartbeats, stream samples) and
// restarts. Single-threaded on one event loop.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "attachment.h"
#include "config.h"
#include "event_loop.h"
#include "module_model.h"

namespace zvsim {

class MulticastResponder;

struct SimModule {
    SimModule(const ModuleConfig& config, uint8_t routerAddress, uint64_t nowMs)
        : model(config, routerAddress, nowMs) {}

    ModuleModel model;
    SimModule* router = nullptr;
    std::vector<SimModule*> children;
    std::vector<std::unique_ptr<Attachment>> attachments;
    bool up = true;
    uint64_t stalledUntil = 0;  // 0: answering; UINT64_MAX: stalled for good
    uint64_t heartbeatTimer = 0;
    uint64_t streamTimer = 0;
    uint64_t restartTimer = 0;
    std::string imageSha256;
    uint64_t imageSize = 0;
};

class Simulator {
  public:
    Simulator(const SimConfig& config, EventLoop& loop);
    ~Simulator();

    bool start(std::string& error);
    void shutdown();
    // Writes the JSON report to the configured path (nothing without one).
    bool writeReport(std::string& error);

    // For attachments.
    EventLoop& loop() { return loop_; }
    const SimConfig& config() const { return config_; }
    uint32_t addConnection(Connection& connection, SimModule& front);
    void removeConnection(uint32_t id);
    void deliver(uint32_t id, const Frame& frame);
    void announce(const std::string& line);
    bool verbose() const { return config_.verbose; }

  private:
    struct Link {
        Connection* connection;
        SimModule* front;
    };

    bool buildModules(std::string& error);
    bool openAttachments(std::string& error);
    SimModule* routeTarget(SimModule& front, uint8_t address);
    bool stalled(SimModule& module);
    void send(uint32_t connection, const Frame& frame);
    void restart(SimModule& module, RestartKind kind);
    void scheduleHeartbeat(SimModule& module);
    void heartbeatTick(SimModule& module);
    void updateStreams(SimModule& module);
    void streamTick(SimModule& module);

    SimConfig config_;
    EventLoop& loop_;
    std::vector<std::unique_ptr<SimModule>> modules_;
    std::map<uint32_t, Link> links_;
    uint32_t nextLink_ = 1;
    std::unique_ptr<MulticastResponder> multicast_;
};

}  // namespace zvsim
