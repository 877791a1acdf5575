// The implementation record behind a Link, shared by the files that make up
// the Link's operations.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "Link.h"
#include "aLogger.h"

namespace Veltrina {
namespace Zentrovia {

class Link::impl {
  public:
    // A cached stream value; value streams fill these, entity getters read
    // them before asking the device.
    struct StreamEntry {
        uint64_t key;
        uint8_t fresh;
        uint32_t lastValue;
    };

    explicit impl(Link* owner, const char* name);
    ~impl();

    bool holdsLink() const { return linkId != 0; }
    bool isConnected() const;
    // aErrConnection while not connected; aErrPacket for a module address
    // of 0 or odd.
    aErr checkExchange(uint8_t module) const;
    // Queues a packet of the given data bytes.
    aErr put(uint8_t module, const uint8_t* data, uint8_t length) const;
    // The first inbound packet the filter accepts within the wait, or null.
    aPacket* await(aPacketFilter filter, void* ref, uint32_t timeoutMs) const;

    aErr connectHelper();
    aErr linkCreateHelper();
    aErr waitForLink(int rounds) const;
    aErr discoveryAndConnectHelper(linkType type, uint32_t serial, uint8_t model);
    void replaceSpecifier(const linkSpec& spec);
    void releaseLink();
    void destroyLogger();

    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);

    Link* owner;
    int32_t linkId = 0;
    aLoggerRef packetLogger = nullptr;
    aEtherConfig config{};
    std::mutex streamLock;
    std::map<uint64_t, StreamEntry> streamMap;  // guarded by streamLock
    std::string name;
    linkSpec* specifier = nullptr;
};

}  // namespace Zentrovia
}  // namespace Veltrina
