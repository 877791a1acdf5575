#include "Module.h"

#include <cstring>

#include "aBytes.h"
#include "aDebug.h"
#include "aDefs.h"
#include "aLink.h"
#include "aTime.h"

namespace Veltrina {
namespace Zentrovia {
namespace {

constexpr uint8_t kInfoHasUEI = 1;
constexpr uint8_t kInfoClassQuantity = 4;
constexpr uint8_t kInfoSubClassQuantity = 5;
constexpr uint8_t kInfoEntityGroup = 6;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kBuildAnswerLength = 6;
// hasUEI flags: a get (0x40) or a set (0x80), never both, nothing else.
constexpr uint8_t kFlagGet = 0x40;
constexpr uint8_t kFlagSet = 0x80;
constexpr uint8_t kFlagReserved = 0x3F;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : m_link(new Link("Link")), m_address(address), m_networking(networkingMode), m_model(model) {}

Module::~Module() {
    delete m_link;
}

aErr Module::_autoNetwork() {
    if (!m_networking || !m_link) return aErrNone;
    uint8_t address = 0;
    aErr err = aErrNotReady;
    for (int attempt = 1; attempt <= kModuleAddressAttempts && err == aErrNotReady; ++attempt) {
        err = m_link->getModuleAddress(&address);
        if (err == aErrNotReady) {
            if (attempt == kModuleAddressAttempts)
                aDebug_Printf(aDEBUG_LINK, "BOO! Failed to autoNetwork\n");
            aTime_MSSleep(kModuleAddressRetryMs);
        }
    }
    if (err == aErrNone && address != 0 && address != m_address) m_address = address;
    return err;
}

aErr Module::connect(linkType type, uint32_t serial) {
    if (serial == 0) return aErrParam;
    return discoverAndConnect(type, serial);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serial) {
    if (!m_link) return aErrInitialization;
    const aErr err = m_link->discoverAndConnect(type, serial, m_model);
    if (err != aErrNone) return err;
    return _autoNetwork();
}

aErr Module::connectFromSpec(const linkSpec& spec) {
    if (!m_link) return aErrInitialization;
    if (m_link->isConnected()) return aErrBusy;
    aErr err = m_link->setLinkSpecifier(spec);
    if (err == aErrNone) err = m_link->connect();
    if (err != aErrNone) return err;
    err = _autoNetwork();
    aDebug_Printf(aDEBUG_LINK, "Post autoNetwork err: %d\n", err);
    return err;
}

aErr Module::connectThroughLinkModule(Module* other) {
    if (!m_link) return aErrInitialization;
    if (m_link->isConnected()) return aErrNone;
    Link* otherLink = other ? other->getLink() : nullptr;
    linkSpec spec{};
    if (!otherLink || otherLink->getLinkSpecifier(&spec) != aErrNone) return aErrInitialization;
    aEtherConfig config{};
    otherLink->getConfig(&config);
    aErr err = m_link->setConfig(config);
    if (err != aErrNone) return err;
    if (config.enabled) {
        // The other link is shared through its server: reach it as a client.
        spec.type = AETHER;
        spec.t.ip.ip_address = config.networkInterface;
        spec.t.ip.ip_port = config.assignedPort;
    }
    err = m_link->setLinkSpecifier(spec);
    if (err == aErrNone) err = m_link->connectThroughLinkModule(otherLink);
    if (err == aErrNone) m_networking = false;
    return err;
}

bool Module::isConnected() const {
    return m_link && m_link->isConnected();
}

uint32_t Module::getStatus() const {
    return m_link ? m_link->getStatus() : static_cast<uint32_t>(kLinkError);
}

aErr Module::disconnect() {
    return m_link ? m_link->disconnect() : aErrInitialization;
}

aErr Module::reconnect() {
    if (!m_link) return aErrInitialization;
    const aErr err = m_link->connect();
    if (err != aErrNone) return err;
    return _autoNetwork();
}

uint8_t Module::getModuleAddress() const {
    return m_address;
}

void Module::setModuleAddress(uint8_t address) {
    m_address = address;
}

aErr Module::getLinkSpecifier(linkSpec* spec) const {
    if (!m_link) return aErrNotReady;
    return m_link->getLinkSpecifier(spec);
}

aErr Module::getConfig(aEtherConfig* config) const {
    if (!config) return aErrParam;
    if (!m_link) return aErrNotReady;
    return m_link->getConfig(config);
}

aErr Module::setConfig(const aEtherConfig& config) {
    if (!m_link) return aErrNotReady;
    return m_link->setConfig(config);
}

Link* Module::getLink() const {
    return m_link;
}

void Module::setNetworkingMode(bool networkingMode) {
    m_networking = networkingMode;
}

aErr Module::enablePacketLog(const char* fileName) {
    if (!m_link) return aErrConfiguration;
    return m_link->enablePacketLog(fileName);
}

aErr Module::disablePacketLog() {
    if (!m_link) return aErrConfiguration;
    return m_link->disablePacketLog();
}

// Sends a module information request with the arguments and takes the first
// answer that repeats the command and the first `matchArguments` of them.
aErr Module::sModuleInfo(const uint8_t* arguments, uint8_t argumentLength, uint8_t matchArguments,
                         uint8_t* answer, uint8_t* answerLength) {
    if (!m_link) return aErrInitialization;
    if (!m_link->isConnected()) return aErrConnection;
    const aErr err = m_link->sendPacket(m_address, cmdMODULEINFO, argumentLength, arguments);
    if (err != aErrNone) return err;
    uint8_t match[aPACKET_MAX_DATA];
    zv::ByteWriter w(match, sizeof match);
    w.u8(cmdMODULEINFO);
    w.bytes(arguments, matchArguments);
    *answerLength = static_cast<uint8_t>(w.position());
    return m_link->receivePacket(m_address, match, answerLength, answer);
}

namespace {

// True when the answer is the command, the request's arguments and exactly
// one more byte, which goes to *value.
bool sRepeats(const uint8_t* answer, uint8_t length, const uint8_t* arguments,
              size_t argumentLength, uint8_t* value) {
    zv::ByteReader r(answer, length);
    const uint8_t command = r.u8();
    const uint8_t* echoed = r.view(argumentLength);
    const uint8_t last = r.u8();
    if (!r.ok() || !r.atEnd() || command != cmdMODULEINFO ||
        std::memcmp(echoed, arguments, argumentLength) != 0)
        return false;
    *value = last;
    return true;
}

}  // namespace

aErr Module::getBuild(uint32_t* build) {
    if (!build) return aErrParam;
    const uint8_t arguments[] = {kInfoBuild};
    uint8_t answer[aPACKET_MAX_DATA];
    uint8_t length = 0;
    const aErr err = sModuleInfo(arguments, sizeof arguments, sizeof arguments, answer, &length);
    if (err != aErrNone) return err;
    if (length != kBuildAnswerLength) return aErrSize;
    zv::ByteReader r(answer, length);
    r.skip(1 + sizeof arguments);
    *build = r.u32be();
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if ((flags & kFlagReserved) || (flags & (kFlagGet | kFlagSet)) == (kFlagGet | kFlagSet))
        return aErrParam;
    const uint8_t arguments[] = {kInfoHasUEI, command, option, index, flags};
    uint8_t answer[aPACKET_MAX_DATA];
    uint8_t length = 0;
    const aErr err = sModuleInfo(arguments, sizeof arguments, 0, answer, &length);
    if (err != aErrNone) return err;
    // The answer repeats all but the flags, then the status.
    uint8_t status = 0;
    if (!sRepeats(answer, length, arguments, sizeof arguments - 1, &status)) return aErrUnknown;
    return static_cast<aErr>(status);
}

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
    if (!count) return aErrParam;
    *count = 0;
    const uint8_t arguments[] = {kInfoClassQuantity, command};
    uint8_t answer[aPACKET_MAX_DATA];
    uint8_t length = 0;
    const aErr err = sModuleInfo(arguments, sizeof arguments, 0, answer, &length);
    if (err != aErrNone) return err;
    return sRepeats(answer, length, arguments, sizeof arguments, count) ? aErrNone : aErrUnknown;
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* count) {
    if (!count) return aErrParam;
    *count = 0;
    const uint8_t arguments[] = {kInfoSubClassQuantity, command, index};
    uint8_t answer[aPACKET_MAX_DATA];
    uint8_t length = 0;
    const aErr err = sModuleInfo(arguments, sizeof arguments, 0, answer, &length);
    if (err != aErrNone) return err;
    return sRepeats(answer, length, arguments, sizeof arguments, count) ? aErrNone : aErrUnknown;
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
    if (!group) return aErrParam;
    *group = 0;
    const uint8_t arguments[] = {kInfoEntityGroup, command, index};
    uint8_t answer[aPACKET_MAX_DATA];
    uint8_t length = 0;
    const aErr err = sModuleInfo(arguments, sizeof arguments, 0, answer, &length);
    if (err != aErrNone) return err;
    return sRepeats(answer, length, arguments, sizeof arguments, group) ? aErrNone : aErrUnknown;
}

aErr Module::debug(const uint8_t* data, size_t length) {
    if ((!data && length) || length > kLinkMaxPacketData) return aErrParam;
    if (!m_link) return aErrInitialization;
    if (!m_link->isConnected()) return aErrConnection;
    aErr err = m_link->sendPacket(m_address, cmdECHO, static_cast<uint8_t>(length), data);
    if (err != aErrNone) return err;
    const uint8_t match[] = {cmdECHO};
    uint8_t answer[aPACKET_MAX_DATA];
    uint8_t answerLength = sizeof match;
    err = m_link->receivePacket(m_address, match, &answerLength, answer);
    if (err != aErrNone) return err;
    zv::ByteReader r(answer, answerLength);
    r.skip(1);
    const uint8_t* echoed = r.view(length);
    if (!echoed || !r.atEnd() || (length && std::memcmp(echoed, data, length) != 0)) return aErrIO;
    return aErrNone;
}

}  // namespace Zentrovia
}  // namespace Veltrina
