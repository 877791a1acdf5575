// The I2C entity (class code 8): transfers on a module's I2C bus, where a
// routing module reaches the modules behind it.
#pragma once

#include <cstdint>

#include "Entity.h"

namespace Veltrina {
namespace Zentrovia {

// Longest transfer in one request.
inline constexpr uint8_t kI2CMaxTransfer = 23;
// Bus speed codes 0 to 3.
inline constexpr uint8_t kI2CMaxSpeed = 3;

class I2CClass : public EntityClass {
  public:
    I2CClass() = default;
    ~I2CClass() override = default;

    void init(Module* module, uint8_t index);

    // Reads `length` bytes (at most 23, aErrSize otherwise) from the device
    // at the (even) bus address.
    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr setPullup(bool on);
    // Stored and sent with later transfers; codes above 3 are aErrParam.
    aErr setSpeed(uint8_t speed);
    uint8_t getSpeed() const;

  private:
    aErr transfer(const uint8_t* request, uint8_t requestLength, const uint8_t* match,
                  uint8_t matchLength, uint8_t* answer, uint8_t* answerLength);

    uint8_t m_speed = 0;
};

}  // namespace Zentrovia
}  // namespace Veltrina
