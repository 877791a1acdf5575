// Command codes and model codes of the device family.
#pragma once

#include <cstdint>

// Command codes: the entity class code in data byte 0 of a packet, or, for
// cmdSYNC and cmdFORCEROUTE, a link-control value in the address position.
inline constexpr uint8_t cmdHB = 0;             // heartbeat frames
inline constexpr uint8_t cmdSYSTEM = 3;         // system entity class
inline constexpr uint8_t cmdSLOT = 4;           // store slots
inline constexpr uint8_t cmdI2C = 8;            // I2C entity class
inline constexpr uint8_t cmdECHO = 23;          // echo test, answered with the same bytes
inline constexpr uint8_t cmdMODULEINFO = 73;    // build, implemented UEIs, quantities, groups
inline constexpr uint8_t cmdENTITYSTORE = 92;   // save, load and factory reset of settings
inline constexpr uint8_t cmdSTREAM = 93;        // value stream control
inline constexpr uint8_t cmdFACTORY = 94;       // factory data
inline constexpr uint8_t cmdUPGRADE = 95;       // firmware upgrade
inline constexpr uint8_t cmdSYNC = 0xAD;        // address echo (address position, no data)
inline constexpr uint8_t cmdFORCEROUTE = 0xAF;  // force route (address position, one data byte)

// USB vendor id of the family's modules (device descriptor idVendor).
inline constexpr uint16_t aZENTROVIA_USB_VENDOR_ID = 0x3A11;

// System entity option that answers the module's model code.
inline constexpr uint8_t aSYSTEM_OPTION_MODEL = 8;

// Model codes reported by the devices (system option 8).
inline constexpr uint8_t aMODEL_HUB8 = 4;
inline constexpr uint8_t aMODEL_ETH1 = 5;
inline constexpr uint8_t aMODEL_ROUTER = 6;
inline constexpr uint8_t aMODEL_IO16 = 7;
inline constexpr uint8_t aMODEL_ADC4 = 8;
inline constexpr uint8_t aMODEL_DAC2 = 10;
inline constexpr uint8_t aMODEL_RELAY8 = 11;
inline constexpr uint8_t aMODEL_SERVO6 = 13;
inline constexpr uint8_t aMODEL_POWER2 = 14;
inline constexpr uint8_t aMODEL_HUB4 = 15;
inline constexpr uint8_t aMODEL_TEMP8 = 17;
inline constexpr uint8_t aMODEL_SERIAL4 = 18;
inline constexpr uint8_t aMODEL_GPIO32 = 19;
inline constexpr uint8_t aMODEL_LOAD1 = 21;
inline constexpr uint8_t aMODEL_SWITCH4 = 22;
inline constexpr uint8_t aMODEL_METER2 = 24;
inline constexpr uint8_t aMODEL_CORE1 = 27;

// Display name of a model code (at most 12 characters), "Unknown" for codes
// outside the family's list. The text is static.
const char* aDefs_GetModelName(uint32_t model);
