// An entity: one addressable function of a module, named by its class code
// (the UEI command byte) and an index. Get, set and call operations on its
// options become UEI exchanges over the module's link.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Module.h"
#include "aUEI.h"

namespace Veltrina {
namespace Zentrovia {

class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity to a module (not owned, which must outlive it).
    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;
    Module* getModule() const;

    // Every operation below returns aErrResource when the entity has no
    // module or the module no link, and the device's code for an error
    // answer.

    // A raw command packet to the module, and the first answer that starts
    // with the match bytes (see Link::receivePacket).
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // Get exchange: a cached stream value when there is one, else a request
    // carrying the record's value (a byte record is a parameter byte) and
    // its answer decoded into the record.
    aErr getUEI(uint8_t option, uei* message);
    // Set exchange with the record's value.
    aErr setUEI(uint8_t option, uei* message);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* message);
    // A set exchange without a value.
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

    // Typed gets. The output is written on aErrNone and aErrStreamStale
    // (a cached value read before); an answer without a value is aErrSize.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    // Gets whose request carries one parameter byte.
    aErr getUEI8(uint8_t option, uint8_t parameter, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t parameter, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t parameter, uint32_t* value);

    // A byte array into the buffer; *count receives the bytes. aErrMemory
    // when it does not fit.
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
    // Turns a byte count into a count of elements of `size` bytes;
    // aErrMemory when it is not a multiple.
    static aErr getUEIBytesCheck(size_t* count, size_t size);

    // Waits for a 32-bit answer the module sends on its own (no request).
    // The third argument is not used.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t unused);
    // Drops queued answers for this entity and option.
    aErr drainUEI(uint8_t option);

    aErr saveEntityToStore();
    aErr loadEntityFromStore();
    aErr resetEntityToFactoryDefaults();

    class impl;

  private:
    Link* link() const;
    aErr storeCommand(uint8_t option);
    template <typename T>
    aErr typedGet(uint8_t option, uei& message, T* value);
    aErr typedSet(uint8_t option, int32_t type, uint32_t value);
    aErr typedSet(uint8_t option, uint8_t subindex, int32_t type, uint32_t value);

    impl* m_impl;
};

}  // namespace Zentrovia
}  // namespace Veltrina
