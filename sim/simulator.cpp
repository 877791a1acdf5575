#include "simulator.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>

#include "attach_multicast.h"
#include "attach_node.h"
#include "attach_serial.h"
#include "attach_tcp.h"
#include "attach_usb.h"
#include "log.h"
#include "protocol_handler.h"
#include "report.h"
#include "sha256.h"

namespace zvsim {
namespace {

constexpr uint64_t kStalledForGood = std::numeric_limits<uint64_t>::max();
// Heartbeats missed in a row before the module stops sending them; any
// frame from the host starts them again.
constexpr uint32_t kHeartbeatGiveUp = 3;

const char* restartName(RestartKind kind) {
    switch (kind) {
        case RestartKind::Loader:
            return "load";
        case RestartKind::Firmware:
            return "reboot";
        default:
            return "reset";
    }
}

}  // namespace

Simulator::Simulator(const SimConfig& config, EventLoop& loop) : config_(config), loop_(loop) {}

Simulator::~Simulator() {
    shutdown();
}

bool Simulator::start(std::string& error) {
    if (!buildModules(error) || !openAttachments(error)) return false;
    announce("started modules=" + std::to_string(modules_.size()));
    return true;
}

bool Simulator::buildModules(std::string& error) {
    const uint64_t now = EventLoop::nowMs();
    for (const ModuleConfig& c : config_.modules) {
        uint8_t routerAddress = c.address;
        for (const ModuleConfig& r : config_.modules)
            if (c.behind != 0 && r.serial == c.behind) routerAddress = r.address;
        auto module = std::make_unique<SimModule>(c, routerAddress, now);
        if (!c.imagePath.empty()) {
            std::ifstream in(c.imagePath, std::ios::binary);
            if (!in.is_open()) {
                error = "cannot open firmware image '" + c.imagePath + "'";
                return false;
            }
            const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)),
                                             std::istreambuf_iterator<char>());
            if (in.bad()) {
                error = "cannot read firmware image '" + c.imagePath + "'";
                return false;
            }
            module->imageSha256 = sha256Hex(image);
            module->imageSize = image.size();
        }
        modules_.push_back(std::move(module));
    }
    for (auto& m : modules_) {
        for (auto& r : modules_) {
            if (m->model.config().behind == r->model.config().serial) {
                m->router = r.get();
                r->children.push_back(m.get());
            }
        }
    }
    return true;
}

bool Simulator::openAttachments(std::string& error) {
    for (auto& m : modules_) {
        const ModuleConfig& c = m->model.config();
        const std::string sn = serialText(c.serial);
        TcpAttachment* tcp = nullptr;
        if (c.tcp) {
            auto attachment = std::make_unique<TcpAttachment>(*this, *m);
            tcp = attachment.get();
            m->attachments.push_back(std::move(attachment));
        }
        if (c.serialPty) m->attachments.push_back(std::make_unique<SerialAttachment>(*this, *m));
        if (c.node) m->attachments.push_back(std::make_unique<NodeAttachment>(*this, *m));
        if (c.usb) m->attachments.push_back(std::make_unique<UsbAttachment>(*this, *m));
        for (auto& attachment : m->attachments) {
            if (!attachment->open(error)) {
                error = "module " + sn + ": " + error;
                return false;
            }
        }
        if (tcp && c.multicast) {
            if (!multicast_) multicast_ = std::make_unique<MulticastResponder>(*this);
            multicast_->add(*m, *tcp);
        }
        for (SimModule* child : m->children)
            announce("ready i2c " + serialText(child->model.serial()) + " " + sn + "@" +
                     std::to_string(child->model.address()));
        // Modules behind a router leave heartbeats to the router.
        if (!m->router) scheduleHeartbeat(*m);
    }
    if (multicast_ && !multicast_->open(error)) return false;
    return true;
}

void Simulator::shutdown() {
    multicast_.reset();
    for (auto& m : modules_) {
        loop_.cancel(m->heartbeatTimer);
        loop_.cancel(m->streamTimer);
        loop_.cancel(m->restartTimer);
        m->attachments.clear();
    }
}

uint32_t Simulator::addConnection(Connection& connection, SimModule& front) {
    const uint32_t id = nextLink_++;
    links_[id] = Link{&connection, &front};
    if (verbose()) logLine("link %u up: %s", id, connection.describe().c_str());
    return id;
}

void Simulator::removeConnection(uint32_t id) {
    auto it = links_.find(id);
    if (it == links_.end()) return;
    if (verbose()) logLine("link %u down", id);
    links_.erase(it);
    for (auto& m : modules_) {
        if (m->model.routeConnection == id) m->model.routeConnection = 0;
        m->model.streams.dropConnection(id);
    }
}

void Simulator::announce(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

SimModule* Simulator::routeTarget(SimModule& front, uint8_t address) {
    if (address == kAddressEcho || address == kForceRoute || address == front.model.address())
        return &front;
    for (SimModule* child : front.children)
        if (child->model.address() == address) return child;
    return nullptr;
}

bool Simulator::stalled(SimModule& m) {
    if (m.stalledUntil == 0) return false;
    if (m.stalledUntil != kStalledForGood && EventLoop::nowMs() >= m.stalledUntil) {
        m.stalledUntil = 0;
        logLine("module %s answers again", serialText(m.model.serial()).c_str());
        return false;
    }
    return true;
}

void Simulator::send(uint32_t connection, const Frame& frame) {
    auto it = links_.find(connection);
    if (it == links_.end()) return;
    if (verbose()) logLine("link %u <- %s", connection, frameText(frame).c_str());
    it->second.connection->send(frame);
}

void Simulator::deliver(uint32_t id, const Frame& frame) {
    auto it = links_.find(id);
    if (it == links_.end()) return;
    SimModule& front = *it->second.front;
    if (verbose()) logLine("link %u -> %s", id, frameText(frame).c_str());
    SimModule* target = routeTarget(front, frame.address);
    if (!target) {
        front.model.countPacket("unroutable");
        return;
    }
    // Behind a router, a module is only reachable while the router is up.
    if (!front.up || !target->up || stalled(*target) || (target != &front && stalled(front))) {
        ++target->model.ignoredFrames;
        return;
    }
    HandlerContext context;
    context.connection = id;
    context.nowMs = EventLoop::nowMs();
    context.i2cPresent = [target](uint8_t address) {
        for (SimModule* child : target->children)
            if (child->model.address() == address && child->up) return true;
        return false;
    };
    const Outcome out = handleFrame(target->model, context, frame);
    if (out.dropLink) {
        logLine("module %s: cutting %s", serialText(target->model.serial()).c_str(),
                it->second.connection->describe().c_str());
        it->second.connection->drop();
        return;
    }
    for (const Frame& reply : out.replies) send(id, reply);
    if (out.stall) {
        target->stalledUntil = out.stallMs ? context.nowMs + out.stallMs : kStalledForGood;
        logLine("module %s stalls%s", serialText(target->model.serial()).c_str(),
                out.stallMs ? "" : " for good");
    }
    if (out.streamsChanged) updateStreams(*target);
    if (out.restart) restart(*target, *out.restart);
}

// The module stops answering and its links drop right after its last
// answer went out; it is back after the configured time.
void Simulator::restart(SimModule& m, RestartKind kind) {
    m.model.beginRestart();
    m.up = false;
    loop_.cancel(m.streamTimer);
    m.streamTimer = 0;
    announce("down " + serialText(m.model.config().serial) + " " + restartName(kind));
    for (auto& a : m.attachments) a->goDown();
    m.restartTimer = loop_.after(m.model.config().restartMs, [this, &m, kind] {
        m.restartTimer = 0;
        m.model.completeRestart(kind, EventLoop::nowMs());
        m.up = true;
        m.stalledUntil = 0;
        for (auto& a : m.attachments) a->comeUp();
        announce("up " + serialText(m.model.config().serial) + " " +
                 (m.model.phase() == Phase::Loader ? "loader " : "firmware ") +
                 serialText(m.model.serial()) + " build=" + std::to_string(m.model.build()));
    });
}

void Simulator::scheduleHeartbeat(SimModule& m) {
    const uint32_t interval = m.model.config().heartbeatMs;
    if (interval == 0) return;
    m.heartbeatTimer = loop_.after(interval, [this, &m] { heartbeatTick(m); });
}

void Simulator::heartbeatTick(SimModule& m) {
    scheduleHeartbeat(m);
    HeartbeatState& hb = m.model.heartbeat;
    const uint32_t route = m.model.routeConnection;
    if (!m.up || stalled(m) || route == 0 || !hb.active || !links_.count(route)) return;
    if (hb.pending) {
        ++hb.missed;
        if (++hb.missedInRow >= kHeartbeatGiveUp) {
            hb.active = false;
            hb.pending = false;
            return;
        }
    }
    send(route, heartbeatFrame(m.model));
    hb.nextState ^= 1;
    hb.pending = true;
    ++hb.sent;
}

void Simulator::updateStreams(SimModule& m) {
    if (m.model.streams.any() && m.streamTimer == 0)
        m.streamTimer = loop_.after(m.model.config().streamMs, [this, &m] { streamTick(m); });
}

void Simulator::streamTick(SimModule& m) {
    m.streamTimer = 0;
    if (!m.model.streams.any()) return;
    const bool routerUp = !m.router || m.router->up;
    if (m.up && routerUp && !stalled(m)) {
        for (const auto& [link, frame] : streamSamples(m.model, EventLoop::nowMs()))
            send(link, frame);
    }
    updateStreams(m);
}

bool Simulator::writeReport(std::string& error) {
    if (config_.reportPath.empty()) return true;
    std::vector<ReportModule> entries;
    for (auto& m : modules_) {
        entries.push_back(ReportModule{&m->model, m->router ? m->router->model.config().serial : 0,
                                       m->imageSha256, m->imageSize, m->up});
    }
    if (!writeReportFile(config_.reportPath, entries, error)) return false;
    announce("report " + config_.reportPath);
    return true;
}

}  // namespace zvsim
