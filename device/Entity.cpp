#include "Entity.h"

#include <type_traits>

#include "aBytes.h"
#include "aDefs.h"

namespace Veltrina {
namespace Zentrovia {
namespace {

constexpr uint8_t kStoreSave = 0;
constexpr uint8_t kStoreFactoryReset = 1;
constexpr uint8_t kStoreLoad = 2;

// The value an answer carried, by its type; false for none.
bool sValueOf(const uei& message, uint32_t* value) {
    switch (message.type) {
        case ueiTYPE_BYTE:
            *value = message.byteVal;
            return true;
        case ueiTYPE_SHORT:
            *value = message.shortVal;
            return true;
        case ueiTYPE_INT:
            *value = message.intVal;
            return true;
        default:
            return false;
    }
}

// A byte array arriving in sequenced packets. The record comes first: the
// link hands it to the filter, which finds the transfer around it.
struct BytesTransfer {
    uei record;
    uint8_t* buffer;
    size_t capacity;
    size_t count;
    uint8_t expected;  // sequence number of the next packet
    bool more;
    aErr status;
};
static_assert(std::is_standard_layout_v<BytesTransfer>);

bool sBytesFilter(const aPacket* packet, void* ref) {
    auto* transfer = static_cast<BytesTransfer*>(ref);
    const uei& key = transfer->record;
    zv::ByteReader r(packet->data, packet->length);
    const uint8_t command = r.u8();
    const uint8_t option = r.u8();
    const uint8_t specifier = r.u8();
    if (!r.ok() || packet->address != key.module || command != key.command ||
        option != key.option ||
        (specifier & ueiSPECIFIER_INDEX_MASK) != (key.specifier & ueiSPECIFIER_INDEX_MASK))
        return false;
    if (specifier & ueiSPECIFIER_ERROR) {
        const uint8_t code = r.u8();
        transfer->status = r.ok() && code != aErrNone ? static_cast<aErr>(code) : aErrUnknown;
        return true;
    }
    if (r.remaining() < 1) return false;
    const size_t payloadLength = r.remaining() - 1;
    const uint8_t* payload = r.view(payloadLength);
    const uint8_t sequence = r.u8();
    if ((sequence & ueiBYTES_SEQUENCE_MASK) != transfer->expected) return false;
    if (payloadLength == 0 && (sequence & ueiBYTES_CONTINUE)) {
        // An empty packet that promises more would never end the transfer.
        transfer->status = aErrPacket;
        return true;
    }
    if (payloadLength > transfer->capacity - transfer->count) {
        transfer->status = aErrMemory;
        return true;
    }
    zv::ByteWriter w(transfer->buffer + transfer->count, transfer->capacity - transfer->count);
    w.bytes(payload, payloadLength);
    transfer->count += payloadLength;
    transfer->expected = (transfer->expected + 1) & ueiBYTES_SEQUENCE_MASK;
    transfer->more = (sequence & ueiBYTES_CONTINUE) != 0;
    return true;
}

uei sRecord(int32_t type, uint32_t value) {
    uei message{};
    message.type = type;
    if (type == ueiTYPE_BYTE) message.byteVal = static_cast<uint8_t>(value);
    if (type == ueiTYPE_SHORT) message.shortVal = static_cast<uint16_t>(value);
    if (type == ueiTYPE_INT) message.intVal = value;
    return message;
}

}  // namespace

class EntityClass::impl {
  public:
    explicit impl(EntityClass* owner) : entity(owner) {}
    EntityClass* entity;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

EntityClass::EntityClass() : m_impl(new impl(this)) {}

EntityClass::~EntityClass() {
    delete m_impl;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const {
    return m_impl->index;
}

Module* EntityClass::getModule() const {
    return m_impl->module;
}

Link* EntityClass::link() const {
    return m_impl->module ? m_impl->module->getLink() : nullptr;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    Link* l = link();
    if (!l) return aErrResource;
    return l->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer) {
    Link* l = link();
    if (!l) return aErrResource;
    return l->receivePacket(m_impl->module->getModuleAddress(), match, length, buffer);
}

aErr EntityClass::getUEI(uint8_t option, uei* message) {
    if (!message) return aErrParam;
    Link* l = link();
    if (!l) return aErrResource;
    const uint8_t module = m_impl->module->getModuleAddress();
    const uint8_t parameter = message->type == ueiTYPE_BYTE ? message->byteVal : 0;
    uint32_t cached = 0;
    const aErr cache =
        l->getStreamValue(module, m_impl->command, option, m_impl->index, parameter, &cached);
    if (cache == aErrNone || cache == aErrStreamStale) {
        message->type = ueiTYPE_INT;
        message->intVal = cached;
        return cache;
    }
    if (cache != aErrNotFound) return cache;

    message->module = module;
    message->command = m_impl->command;
    message->option = static_cast<uint8_t>(option | ueiOPTION_GET);
    message->specifier = static_cast<uint8_t>(m_impl->index | ueiSPECIFIER_REQUEST);
    aErr err = l->sendUEI(*message);
    if (err != aErrNone) return err;
    // What the answer carries decides the type.
    message->type = ueiTYPE_VOID;
    err = l->receiveUEI(module, m_impl->command, option, m_impl->index, message);
    if (err != aErrNone) return err;
    if (message->specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(message->byteVal);
    return aErrNone;
}

namespace {

aErr sSetExchange(Link* l, uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                  uei* message, const uint8_t* subindex) {
    message->module = module;
    message->command = command;
    message->option = static_cast<uint8_t>(option | ueiOPTION_SET);
    message->specifier = static_cast<uint8_t>(index | ueiSPECIFIER_REQUEST);
    aErr err = subindex ? l->sendUEI(*message, *subindex) : l->sendUEI(*message);
    if (err != aErrNone) return err;
    err = l->receiveUEI(module, command, static_cast<uint8_t>(option | ueiOPTION_SET_REPLY), index,
                        message);
    if (err != aErrNone) return err;
    if (message->specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(message->byteVal);
    return aErrNone;
}

}  // namespace

aErr EntityClass::setUEI(uint8_t option, uei* message) {
    if (!message) return aErrParam;
    Link* l = link();
    if (!l) return aErrResource;
    return sSetExchange(l, m_impl->module->getModuleAddress(), m_impl->command, option,
                        m_impl->index, message, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* message) {
    if (!message) return aErrParam;
    Link* l = link();
    if (!l) return aErrResource;
    return sSetExchange(l, m_impl->module->getModuleAddress(), m_impl->command, option,
                        m_impl->index, message, &subindex);
}

aErr EntityClass::callUEI(uint8_t option) {
    uei message = sRecord(ueiTYPE_VOID, 0);
    return setUEI(option, &message);
}

aErr EntityClass::typedSet(uint8_t option, int32_t type, uint32_t value) {
    uei message = sRecord(type, value);
    return setUEI(option, &message);
}

aErr EntityClass::typedSet(uint8_t option, uint8_t subindex, int32_t type, uint32_t value) {
    uei message = sRecord(type, value);
    return setUEI(option, subindex, &message);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    return typedSet(option, ueiTYPE_BYTE, value);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    return typedSet(option, ueiTYPE_SHORT, value);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    return typedSet(option, ueiTYPE_INT, value);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    return typedSet(option, subindex, ueiTYPE_BYTE, value);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    return typedSet(option, subindex, ueiTYPE_SHORT, value);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    return typedSet(option, subindex, ueiTYPE_INT, value);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
    if (!data && length) return aErrParam;
    uei message = sRecord(ueiTYPE_BYTES, 0);
    message.bytes.buffer = const_cast<uint8_t*>(data);  // only read while sending
    message.bytes.bufferLength = length;
    return setUEI(option, &message);
}

template <typename T>
aErr EntityClass::typedGet(uint8_t option, uei& message, T* value) {
    if (!value) return aErrParam;
    const aErr err = getUEI(option, &message);
    if (err != aErrNone && err != aErrStreamStale) return err;
    uint32_t received = 0;
    if (!sValueOf(message, &received)) return aErrSize;
    *value = static_cast<T>(received);
    return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
    uei message = sRecord(ueiTYPE_VOID, 0);
    return typedGet(option, message, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
    uei message = sRecord(ueiTYPE_VOID, 0);
    return typedGet(option, message, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
    uei message = sRecord(ueiTYPE_VOID, 0);
    return typedGet(option, message, value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t parameter, uint8_t* value) {
    uei message = sRecord(ueiTYPE_BYTE, parameter);
    return typedGet(option, message, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t parameter, uint16_t* value) {
    uei message = sRecord(ueiTYPE_BYTE, parameter);
    return typedGet(option, message, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t parameter, uint32_t* value) {
    uei message = sRecord(ueiTYPE_BYTE, parameter);
    return typedGet(option, message, value);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count) {
    if (!buffer || !count || capacity == 0) return aErrParam;
    *count = 0;
    Link* l = link();
    if (!l) return aErrResource;
    const uint8_t module = m_impl->module->getModuleAddress();
    uei request = sRecord(ueiTYPE_VOID, 0);
    request.module = module;
    request.command = m_impl->command;
    request.option = static_cast<uint8_t>(option | ueiOPTION_GET);
    request.specifier = static_cast<uint8_t>(m_impl->index | ueiSPECIFIER_REQUEST);
    aErr err = l->sendUEI(request);
    if (err != aErrNone) return err;

    BytesTransfer transfer{};
    transfer.buffer = buffer;
    transfer.capacity = capacity;
    do {
        // Each packet gets the standard wait.
        transfer.record.type = ueiTYPE_VOID;
        err = l->receiveUEI(module, m_impl->command, option, m_impl->index, &transfer.record,
                            sBytesFilter);
        if (err == aErrNone) err = transfer.status;
        *count = transfer.count;
    } while (err == aErrNone && transfer.more);
    return err;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t size) {
    if (!count || size == 0) return aErrParam;
    if (*count % size != 0) return aErrMemory;
    *count /= size;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t) {
    if (!value) return aErrParam;
    Link* l = link();
    if (!l) return aErrResource;
    uei message = sRecord(ueiTYPE_VOID, 0);
    const aErr err = l->receiveUEI(m_impl->module->getModuleAddress(), m_impl->command, option,
                                   m_impl->index, &message);
    if (err != aErrNone) return err;
    if (message.specifier & ueiSPECIFIER_ERROR) return static_cast<aErr>(message.byteVal);
    if (message.type != ueiTYPE_INT) return aErrSize;
    *value = message.intVal;
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
    Link* l = link();
    if (!l) return aErrResource;
    return l->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option,
                                     m_impl->index);
}

aErr EntityClass::storeCommand(uint8_t option) {
    if (!link()) return aErrResource;
    EntityClass store;
    store.init(m_impl->module, cmdENTITYSTORE, 0);
    return store.setUEI32(option, static_cast<uint32_t>(m_impl->command) << 8 | m_impl->index);
}

aErr EntityClass::saveEntityToStore() {
    return storeCommand(kStoreSave);
}

aErr EntityClass::loadEntityFromStore() {
    return storeCommand(kStoreLoad);
}

aErr EntityClass::resetEntityToFactoryDefaults() {
    return storeCommand(kStoreFactoryReset);
}

}  // namespace Zentrovia
}  // namespace Veltrina
