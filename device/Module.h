// One device module: owns its Link, knows the module's address on the
// device network, and connects by discovery, by specification or through
// another module's link.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Link.h"

namespace Veltrina {
namespace Zentrovia {

// _autoNetwork asks this many times, this far apart, while nobody answers.
inline constexpr int kModuleAddressAttempts = 4;
inline constexpr uint32_t kModuleAddressRetryMs = 5;

class Module {
  public:
    // Learns the address from the device after connecting (networking mode).
    explicit Module(uint8_t address, uint8_t model = 0);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // aErrParam for serial number 0; else discoverAndConnect.
    aErr connect(linkType type, uint32_t serial);
    // The link's discoverAndConnect with this module's model, then the
    // address is learned.
    aErr discoverAndConnect(linkType type, uint32_t serial);
    // aErrBusy when connected.
    aErr connectFromSpec(const linkSpec& spec);
    // Shares the other module's link; nothing happens when this module is
    // connected already. This module keeps its constructed address.
    aErr connectThroughLinkModule(Module* other);
    bool isConnected() const;
    uint32_t getStatus() const;
    aErr disconnect();
    aErr reconnect();

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    aErr getLinkSpecifier(linkSpec* spec) const;
    aErr getConfig(aEtherConfig* config) const;
    aErr setConfig(const aEtherConfig& config);
    Link* getLink() const;
    void setNetworkingMode(bool networkingMode);
    aErr enablePacketLog(const char* fileName);
    aErr disablePacketLog();

    // Module information; each needs a connected link (aErrConnection) and
    // gives aErrUnknown for an answer that does not repeat the request.
    aErr getBuild(uint32_t* build);
    // The module's status for that UEI: aErrNone when implemented, else its
    // code. Flags are 0x40 (get) or 0x80 (set) or 0 (aErrParam otherwise).
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);
    // Echo test: the module must send the bytes (at most 27) back.
    aErr debug(const uint8_t* data, size_t length);

  private:
    aErr _autoNetwork();
    aErr sModuleInfo(const uint8_t* arguments, uint8_t argumentLength, uint8_t matchArguments,
                     uint8_t* answer, uint8_t* answerLength);

    Link* m_link;
    uint8_t m_address;
    bool m_networking;
    uint8_t m_model;
};

}  // namespace Zentrovia
}  // namespace Veltrina
