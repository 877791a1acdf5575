// IPv4 multicast endpoint: one UDP socket joined to a group on one
// interface, either sending to the group or receiving from it. Link-sharing
// servers on the local host and their discovery probe meet through these.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// A receive waits this long for a datagram.
inline constexpr int aMULTICAST_RECEIVE_TIMEOUT_MS = 1000;

typedef struct aMulticast {
    int socket;
    sockaddr_in group;             // where sends go
    sockaddr_in bindAddress;       // receiver: wildcard at the port; sender: interface at 0
    sockaddr_in interfaceAddress;  // the interface the group is joined on
    uint8_t sender;                // 1 sender, 0 receiver
} aMulticast;

typedef aMulticast* aMulticastRef;

// New endpoint on the interface (network order; 0 or 127.0.0.1 mean
// loopback) for the group (network order) and port. A receiver binds the
// port without address reuse, so a second receiver on the same port fails:
// that is how a held port is recognised. Null on any failure.
aMulticastRef aMulticast_Create(uint32_t networkInterface, uint32_t group, uint16_t port,
                                bool sender);

// Bytes sent; -1 on failure, -2 without endpoint, -3 on a receiver.
int aMulticast_Send(aMulticastRef endpoint, const uint8_t* bytes, size_t length);

// One datagram of up to `capacity` bytes; -1 on failure or after
// aMULTICAST_RECEIVE_TIMEOUT_MS without one, -2 without endpoint, -3 on a
// sender.
int aMulticast_Receive(aMulticastRef endpoint, uint8_t* buffer, size_t capacity);

// Closes and frees the endpoint and clears the reference: 0, or -2 when the
// reference holds none.
int aMulticast_Destroy(aMulticastRef* endpoint);
