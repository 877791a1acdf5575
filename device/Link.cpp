#include "Link.h"

#include <cstring>
#include <mutex>

#include "LinkImpl.h"
#include "aBytes.h"
#include "aDebug.h"
#include "aDefs.h"
#include "aLink.h"
#include "aTime.h"
#include "discover.h"

namespace Veltrina {
namespace Zentrovia {
namespace {

constexpr size_t kMaxNameLength = 1024;
constexpr uint32_t kLinkPollMs = 10;
constexpr uint32_t kNoLinkStatus = kLinkError;

// Every engine link made from a specification is made under this lock.
std::mutex linkCreateHelperSerializer;

// The answer to an address echo: a packet without data.
bool sMatchMagic(const aPacket* packet, void*) {
    return packet->length == 0;
}

// The standard answer filter: the record holds the expected module, command,
// option byte and index; an accepted answer is decoded into it.
bool sUEIFilter(const aPacket* packet, void* ref) {
    uei* message = static_cast<uei*>(ref);
    zv::ByteReader r(packet->data, packet->length);
    const uint8_t command = r.u8();
    const uint8_t option = r.u8();
    const uint8_t specifier = r.u8();
    if (!r.ok() || packet->address != message->module || command != message->command ||
        option != message->option ||
        (specifier & ueiSPECIFIER_INDEX_MASK) != (message->specifier & ueiSPECIFIER_INDEX_MASK))
        return false;
    if (specifier & ueiSPECIFIER_ERROR) {
        message->specifier = specifier;
        const uint8_t code = r.u8();
        // An error answer without its code must not read as success.
        message->byteVal = r.ok() && code != aErrNone ? code : static_cast<uint8_t>(aErrUnknown);
        return true;
    }
    switch (packet->length) {
        case ueiHEADER_LENGTH:
            message->type = ueiTYPE_VOID;
            break;
        case ueiHEADER_LENGTH + 1:
            message->type = ueiTYPE_BYTE;
            message->byteVal = r.u8();
            break;
        case ueiHEADER_LENGTH + 2:
            message->type = ueiTYPE_SHORT;
            message->shortVal = r.u16be();
            break;
        case ueiHEADER_LENGTH + 4:
            message->type = ueiTYPE_INT;
            message->intVal = r.u32be();
            break;
        default:
            break;
    }
    return true;
}

struct CommandMatch {
    const uint8_t* bytes;
    uint8_t length;
};

bool sCommandFilter(const aPacket* packet, void* ref) {
    const auto* match = static_cast<const CommandMatch*>(ref);
    return packet->length >= match->length &&
           (match->length == 0 || std::memcmp(packet->data, match->bytes, match->length) == 0);
}

struct ModelSearch {
    linkSpec* spec;  // holds the wanted model; receives the candidate taken
};

bool cbModelCallback(const linkSpec* candidate, bool* found, void* ref) {
    auto* search = static_cast<ModelSearch*>(ref);
    if (search->spec->model != 0 && search->spec->model != candidate->model) return true;
    std::memcpy(search->spec, candidate, sizeof(linkSpec));
    *found = true;
    return false;
}

bool _fallbackHelper(linkType type, const aEtherConfig& config, linkType* other) {
    if (!config.fallback) return false;
    if (type == USB || type == TCPIP) {
        *other = AETHER;
        return true;
    }
    if (isAETHER(type)) {
        *other = USB;
        return true;
    }
    return false;
}

}  // namespace

// ---- the implementation record ----

Link::impl::impl(Link* linkOwner, const char* linkName) : owner(linkOwner) {
    if (linkName) name.assign(linkName, strnlen(linkName, kMaxNameLength));
}

Link::impl::~impl() {
    destroyLogger();
    releaseLink();
    aLinkSpec_Destroy(&specifier);
}

bool Link::impl::isConnected() const {
    return linkId != 0 && aLink_GetStatus(linkId) == kLinkRunning;
}

aErr Link::impl::checkExchange(uint8_t module) const {
    if (!isConnected()) return aErrConnection;
    if (module == 0 || (module & 1)) return aErrPacket;
    return aErrNone;
}

aErr Link::impl::put(uint8_t module, const uint8_t* data, uint8_t length) const {
    static const uint8_t kNothing = 0;
    aPacket* packet = aPacket_CreateWithData(module, length, length ? data : &kNothing);
    if (!packet) return aErrResource;
    const aErr err = aLink_PutPacket(linkId, packet);
    aPacket_Destroy(&packet);
    return err;
}

aPacket* Link::impl::await(aPacketFilter filter, void* ref, uint32_t timeoutMs) const {
    return aLink_AwaitFirst(linkId, filter, ref, timeoutMs);
}

void Link::impl::replaceSpecifier(const linkSpec& spec) {
    linkSpec* copy = aLinkSpec_Copy(&spec);
    if (!copy) return;
    aLinkSpec_Destroy(&specifier);
    specifier = copy;
}

void Link::impl::releaseLink() {
    if (linkId != 0) aLink_Destroy(&linkId);
    linkId = 0;
}

void Link::impl::destroyLogger() {
    if (packetLogger) aLogger_Destroy(&packetLogger);
    packetLogger = nullptr;
}

aErr Link::impl::linkCreateHelper() {
    std::lock_guard<std::mutex> hold(linkCreateHelperSerializer);
    const linkSpec& spec = *specifier;
    int32_t id = 0;
    switch (spec.type) {
        case USB:
            id = aLink_CreateUSB(spec.serial_num);
            break;
        case TCPIP:
            id = aLink_CreateTCPIP(spec.serial_num, spec.t.ip.ip_address,
                                   static_cast<uint16_t>(spec.t.ip.ip_port));
            break;
        case SERIAL: {
            char port[kLinkSpecPortLength + 1] = {};
            std::memcpy(port, spec.t.serial.port, kLinkSpecPortLength);
            id = aLink_CreateSerial(spec.serial_num, port, spec.t.serial.baudrate);
            break;
        }
        case AETHER:
        case AETHER_USB:
        case AETHER_TCPIP:
        case AETHER_SERIAL:
            if (!config.enabled) {
                linkId = 0;
                return aErrConfiguration;
            }
            // A link id held already (one shared through another link) is reused.
            id = aLink_CreateClient(spec.t.ip.ip_address, static_cast<uint16_t>(spec.t.ip.ip_port),
                                    linkId);
            break;
        default:
            linkId = 0;
            return aErrMode;
    }
    if (id != 0 && !isAETHER(spec.type) && config.enabled) {
        aDebug_Printf(aDEBUG_LINK, "Creating Server: real_stem id: %d\n", id);
        uint16_t port = config.assignedPort;
        uint32_t networkInterface = config.networkInterface;
        const int32_t client =
            aLink_CreateServer(id, &port, &networkInterface, config.localOnly != 0);
        aDebug_Printf(aDEBUG_LINK, "Creating Server: m_stem id: %d\n", client);
        if (client == 0) {
            aDebug_Printf(aDEBUG_SERVER, "Failed to create server\n");
            aLink_Destroy(&id);
        } else {
            config.assignedPort = port;
            config.networkInterface = networkInterface;
            id = client;
        }
    }
    linkId = id;
    return id != 0 ? aErrNone : aErrConnection;
}

aErr Link::impl::waitForLink(int rounds) const {
    for (int poll = 0;; ++poll) {
        switch (aLink_GetStatus(linkId)) {
            case kLinkRunning:
                return aErrNone;
            case kLinkStopping:
                return aErrBusy;
            case kLinkStopped:
            case kLinkStarting:
            case kLinkSyncing:
                if (poll >= rounds) return aErrConnection;
                aTime_MSSleep(kLinkPollMs);
                break;
            case kLinkNoStream:
            case kLinkIOError:
            case kLinkError:
                return aErrConnection;
            default:
                return aErrDuplicate;
        }
    }
}

aErr Link::impl::connectHelper() {
    if (!specifier) return aErrConfiguration;
    aErr err = linkCreateHelper();
    if (err != aErrNone) return err;
    if (linkId == 0) return aErrConnection;
    err = waitForLink(kLinkWaitRounds);
    // A link that never came into step is not kept.
    if (err != aErrNone) releaseLink();
    return err;
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serial, uint8_t model) {
    linkSpec* found = nullptr;
    if (serial != 0) {
        found = aDiscovery_FindModule(type, serial, config.networkInterface);
    } else {
        linkSpec wanted{};
        wanted.type = type;
        wanted.model = model;
        ModelSearch search{&wanted};
        if (aDiscovery_EnumerateModules(type, cbModelCallback, &search, config.networkInterface) >
            0)
            found = aLinkSpec_Copy(&wanted);
    }
    if (!found) return aErrNotFound;
    replaceSpecifier(*found);
    aLinkSpec_Destroy(&found);
    return owner->connect();
}

uint64_t Link::impl::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                     uint8_t subindex) {
    return static_cast<uint64_t>(subindex) << 32 | static_cast<uint64_t>(module) << 24 |
           static_cast<uint64_t>(command) << 16 | static_cast<uint64_t>(option) << 8 | index;
}

// ---- Link ----

Link::Link(const linkSpec& spec, const char* name) : m_impl(new impl(this, name)) {
    m_impl->replaceSpecifier(spec);
}

Link::Link(const char* name) : m_impl(new impl(this, name)) {}

Link::~Link() {
    delete m_impl;
}

aErr Link::getConfig(aEtherConfig* config) const {
    if (!config) return aErrParam;
    *config = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(const aEtherConfig& config) {
    if (m_impl->holdsLink()) return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const {
    if (!spec) return aErrParam;
    if (!m_impl->specifier) return aErrNotFound;
    std::memcpy(spec, m_impl->specifier, sizeof(linkSpec));
    return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec& spec) {
    if (m_impl->holdsLink()) return aErrBusy;
    m_impl->replaceSpecifier(spec);
    return aErrNone;
}

const char* Link::getName() const {
    return m_impl->name.c_str();
}

aErr Link::connect() {
    if (m_impl->holdsLink()) return aErrConnection;
    return m_impl->connectHelper();
}

aErr Link::discoverAndConnect(linkType type, uint32_t serial, uint8_t model) {
    if (m_impl->holdsLink()) return aErrConnection;
    aErr err = m_impl->discoveryAndConnectHelper(type, serial, model);
    linkType other = INVALID;
    if ((err == aErrNotFound || err == aErrInitialization || err == aErrConnection) &&
        _fallbackHelper(type, m_impl->config, &other)) {
        aDebug_Printf(aDEBUG_LINK, "Executing Fallback - old type: %d - new type: %d\n", type,
                      other);
        err = m_impl->discoveryAndConnectHelper(other, serial, model);
    }
    return err;
}

aErr Link::connectThroughLinkModule(Link* other) {
    if (!other || !other->m_impl->holdsLink()) return aErrInitialization;
    if (m_impl->holdsLink()) return aErrConnection;
    // The engine hands out the other link once more.
    m_impl->linkId = other->m_impl->linkId;
    if (!m_impl->specifier) {
        m_impl->linkId = 0;
        return aErrConfiguration;
    }
    return m_impl->connectHelper();
}

bool Link::isConnected() const {
    return m_impl->isConnected();
}

uint32_t Link::getStatus() const {
    return m_impl->holdsLink() ? aLink_GetStatus(m_impl->linkId) : kNoLinkStatus;
}

aErr Link::disconnect() {
    m_impl->destroyLogger();
    m_impl->releaseLink();
    return aErrNone;
}

aErr Link::reset() {
    if (m_impl->holdsLink()) aLink_Reset(m_impl->linkId);
    return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
    if (!address) return aErrParam;
    *address = 0;
    if (!m_impl->isConnected()) return aErrNotReady;
    if (m_impl->put(cmdSYNC, nullptr, 0) != aErrNone) return aErrNotReady;
    aPacket* answer = m_impl->await(sMatchMagic, nullptr, kLinkAnswerTimeoutMs);
    if (!answer) return aErrNotReady;
    *address = answer->address;
    aPacket_Destroy(&answer);
    return aErrNone;
}

namespace {

// Appends the value of a scalar UEI (none, byte, short, int); false for any
// other type, which has no single-packet form.
bool sWriteScalarValue(zv::ByteWriter& w, const uei& message) {
    switch (message.type) {
        case ueiTYPE_VOID:
            return true;
        case ueiTYPE_BYTE:
            return w.u8(message.byteVal);
        case ueiTYPE_SHORT:
            return w.u16be(message.shortVal);
        case ueiTYPE_INT:
            return w.u32be(message.intVal);
        default:
            return false;
    }
}

}  // namespace

aErr Link::sendUEI(const uei& message) {
    const aErr check = m_impl->checkExchange(message.module);
    if (check != aErrNone) return check;
    if (message.type == ueiTYPE_BYTES) {
        const int32_t id = m_impl->linkId;
        return aUEI_BuildBytesPackets(message.module, message.command, message.option, message.specifier,
                                      message.bytes.buffer, message.bytes.bufferLength,
                                      [id](aPacket* packet) { return aLink_PutPacket(id, packet); });
    }
    uint8_t data[aPACKET_MAX_DATA];
    zv::ByteWriter w(data, sizeof data);
    w.u8(message.command);
    w.u8(message.option);
    w.u8(message.specifier);
    if (!sWriteScalarValue(w, message)) return aErrParam;
    return m_impl->put(message.module, data, static_cast<uint8_t>(w.position()));
}

aErr Link::sendUEI(const uei& message, uint8_t subindex) {
    const aErr check = m_impl->checkExchange(message.module);
    if (check != aErrNone) return check;
    uint8_t data[aPACKET_MAX_DATA];
    zv::ByteWriter w(data, sizeof data);
    w.u8(message.command);
    w.u8(message.option);
    w.u8(message.specifier);
    w.u8(subindex);
    // A byte array has no subindexed form.
    if (!sWriteScalarValue(w, message)) return aErrParam;
    return m_impl->put(message.module, data, static_cast<uint8_t>(w.position()));
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                      uei* message) {
    return receiveUEI(module, command, option, index, message, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message,
                      aPacketFilter filter) {
    if (!message || !filter) return aErrParam;
    const aErr check = m_impl->checkExchange(module);
    if (check != aErrNone) return check;
    uint32_t timeout = kLinkAnswerTimeoutMs;
    if (message->type == ueiTYPE_BYTES && message->bytes.bufferLength > kLinkLargePayload) {
        timeout = kLinkLargeAnswerTimeoutMs;
        aDebug_Printf(aDEBUG_LINK, "receiveUEI - Expanding timeout for large payload: %lu\n",
                      static_cast<unsigned long>(message->bytes.bufferLength));
    }
    message->module = module;
    message->command = command;
    message->option = option;
    message->specifier = index;
    aPacket* answer = m_impl->await(filter, message, timeout);
    if (!answer) return aErrTimeout;
    aPacket_Destroy(&answer);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
    if (!m_impl->holdsLink()) return aErrNone;
    uei key{};
    key.module = module;
    key.command = command;
    key.option = option;
    key.specifier = index;
    aLink_DrainPackets(m_impl->linkId, sUEIFilter, &key);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
    const aErr check = m_impl->checkExchange(module);
    if (check != aErrNone) return check;
    if (length > kLinkMaxPacketData || (length && !data)) return aErrParam;
    uint8_t frame[aPACKET_MAX_DATA];
    zv::ByteWriter w(frame, sizeof frame);
    w.u8(command);
    w.bytes(data, length);
    return m_impl->put(module, frame, static_cast<uint8_t>(w.position()));
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer) {
    if (!length || !buffer || (*length && !match) || *length > aPACKET_MAX_DATA) return aErrParam;
    const aErr check = m_impl->checkExchange(module);
    if (check != aErrNone) return check;
    CommandMatch wanted{match, *length};
    aPacket* packet = m_impl->await(sCommandFilter, &wanted, kLinkAnswerTimeoutMs);
    if (!packet) return aErrTimeout;
    std::memcpy(buffer, packet->data, packet->length);
    *length = packet->length;
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable) {
    return aLink_EnablePooledPackets(m_impl->linkId, enable);
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value) {
    if (!value) return aErrParam;
    const uint64_t key = impl::createStreamKey(module, command, option, index, subindex);
    std::lock_guard<std::mutex> hold(m_impl->streamLock);
    auto it = m_impl->streamMap.find(key);
    if (it == m_impl->streamMap.end()) return aErrNotFound;
    *value = it->second.lastValue;
    if (!it->second.fresh) return aErrStreamStale;
    it->second.fresh = 0;
    return aErrNone;
}

}  // namespace Zentrovia
}  // namespace Veltrina
