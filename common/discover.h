// Device discovery: walks the devices a link can be opened to and hands each
// to a caller's callback as a link specification. USB devices of the family
// attached here, legacy Ethernet modules that answer a multicast request,
// and link-sharing servers that answer a beacon or a local probe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aLinkSpec.h"

// Called once per candidate, which is valid only during the call. Setting
// *found counts the candidate in the walk's result; returning false ends the
// walk.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* found, void* ref);

// Legacy Ethernet discovery: the request goes to this group and port, the
// replies come back to the reply port. A run ends when no reply has come for
// aDISCOVERY_LEGACY_WAIT_MS, and in any case after aDISCOVERY_LEGACY_MAX_MS.
inline constexpr uint32_t aDISCOVERY_LEGACY_GROUP = 0xE8020202;  // 232.2.2.2, host order
inline constexpr uint16_t aDISCOVERY_LEGACY_REQUEST_PORT = 9888;
inline constexpr uint16_t aDISCOVERY_LEGACY_REPLY_PORT = 9889;
inline constexpr uint32_t aDISCOVERY_LEGACY_WAIT_MS = 2000;
inline constexpr uint32_t aDISCOVERY_LEGACY_MAX_MS = 20000;

// Network discovery. Beacons on this UDP port; a run makes at most
// aDISCOVERY_BEACON_ATTEMPTS receive attempts of aDISCOVERY_BEACON_WAIT_MS.
inline constexpr int aDISCOVERY_BEACON_PORT = 8585;
inline constexpr char DISCOVERY_BEACON_FILTER[] = "Zentrovia2-Discovery";
inline constexpr size_t aDISCOVERY_BEACON_FILTER_SIZE = sizeof DISCOVERY_BEACON_FILTER - 1;
inline constexpr int aDISCOVERY_BEACON_INTERVAL_MS = 100;
inline constexpr int aDISCOVERY_BEACON_WAIT_MS = 100;
inline constexpr int aDISCOVERY_BEACON_ATTEMPTS = 22;
// Servers on this host take the first free probe port from the base on and
// answer on the reply port at the same offset.
inline constexpr uint32_t aDISCOVERY_PROBE_GROUP = 0xE0000007;  // 224.0.0.7, host order
inline constexpr uint16_t aDISCOVERY_PROBE_PORT = 9850;
inline constexpr uint16_t aDISCOVERY_PROBE_REPLY_PORT = 9950;
inline constexpr uint16_t aDISCOVERY_PROBE_OFFSETS = 50;
inline constexpr uint32_t aDISCOVERY_MAX_INTERFACES = 50;

// Walks the devices of one link type: USB, TCPIP (legacy Ethernet) or any of
// the AETHER types (network discovery). The interface (network order)
// selects where Ethernet and network discovery run; 0 or 127.0.0.1 mean
// every interface for legacy modules and the local host only for network
// discovery. SERIAL and unknown types find nothing. Returns how many
// candidates were marked found (at most 255).
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface);

// Network discovery alone.
uint8_t aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* ref,
                                           uint32_t networkInterface);

// The USB walk (family devices whose serial-number string is 8 hexadecimal
// digits).
uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref);

// The legacy Ethernet walk on the given ports; aDiscovery_EnumerateModules
// uses the standard ones.
uint8_t aDiscovery_EnumerateLegacyEthernet(aDiscoveryModuleFoundProc callback, void* ref,
                                           uint32_t networkInterface, uint16_t requestPort,
                                           uint16_t replyPort);

// A new record (the caller destroys it with aLinkSpec_Destroy) of the first
// device with that serial number, or null.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serial, uint32_t networkInterface);
// A new record of the first device with a non-zero serial number, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// The host's IPv4 interface addresses (network order), at most `capacity`;
// returns how many were written.
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity);

// Dotted text of an address (network order) in the buffer; its length, or 0
// when the buffer is smaller than 16 bytes.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);
