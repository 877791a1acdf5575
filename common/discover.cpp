#include "discover.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>
#include <vector>

#include "aDebug.h"
#include "aMulticast.h"
#include "zBeaconInterface.h"
#include "zSysInterruptHandler.h"

namespace {

constexpr uint8_t kMaxCount = 255;
// The actor answers CONFIGURE at once; this only bounds a broken actor.
constexpr int kBeaconConfigureWaitMs = 2000;

bool sIsLocal(uint32_t networkInterface) {
    return networkInterface == 0 || networkInterface == htonl(INADDR_LOOPBACK);
}

// One walk: the caller's callback, the count of found candidates, and the
// endpoints already reported.
struct Walk {
    aDiscoveryModuleFoundProc callback;
    void* ref;
    uint8_t count = 0;
    bool going = true;
    std::vector<linkSpec> seen;

    bool isNew(const linkSpec& spec) const {
        for (const linkSpec& s : seen)
            if (aLinkSpec_SameEndpoint(&s, &spec)) return false;
        return true;
    }
    void offer(const linkSpec& spec) {
        seen.push_back(spec);
        bool found = false;
        going = callback(&spec, &found, ref);
        if (found && count < kMaxCount) ++count;
    }
};

void _findLinkSpecs_beacon(Walk& walk) {
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (!beacon) return;
    zsock_set_rcvtimeo(beacon, kBeaconConfigureWaitMs);
    zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
    char* hostname = zstr_recv(beacon);
    const bool broadcasting = hostname && *hostname;
    zstr_free(&hostname);
    if (broadcasting) {
        zsock_send(beacon, "sbi", "PUBLISH", DISCOVERY_BEACON_FILTER, aDISCOVERY_BEACON_FILTER_SIZE,
                   aDISCOVERY_BEACON_INTERVAL_MS);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
        zsock_set_rcvtimeo(beacon, aDISCOVERY_BEACON_WAIT_MS);
        for (int attempt = 0; attempt < aDISCOVERY_BEACON_ATTEMPTS && walk.going; ++attempt) {
            zmsg_t* message = zmsg_recv(beacon);
            zSysInterruptHandler_process();
            if (!message) continue;
            char* sender = zmsg_popstr(message);
            zframe_t* content = zmsg_pop(message);
            linkSpec spec{};
            if (content &&
                aLinkSpec_DecodeAnnouncement(zframe_data(content), zframe_size(content), &spec) ==
                    aErrNone &&
                walk.isNew(spec))
                walk.offer(spec);
            zframe_destroy(&content);
            zstr_free(&sender);
            zmsg_destroy(&message);
        }
        zstr_sendx(beacon, "SILENCE", nullptr);
        zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    }
    zactor_destroy(&beacon);
}

void sProbe(Walk& walk, uint16_t offset) {
    const uint32_t group = htonl(aDISCOVERY_PROBE_GROUP);
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    aMulticastRef replies =
        aMulticast_Create(loopback, group, aDISCOVERY_PROBE_REPLY_PORT + offset, false);
    aMulticastRef requests =
        aMulticast_Create(loopback, group, aDISCOVERY_PROBE_PORT + offset, true);
    if (replies && requests) {
        uint8_t probe[kDiscoveryProbeSize];
        aLinkSpec_EncodeProbeRequest(probe, sizeof probe);
        aMulticast_Send(requests, probe, sizeof probe);
        // One byte more than a record, so a longer datagram is not taken for one.
        uint8_t reply[kLinkSpecSize + 1];
        const int received = aMulticast_Receive(replies, reply, sizeof reply);
        linkSpec spec{};
        if (aLinkSpec_DecodeAnnouncement(reply, received < 0 ? 0 : static_cast<size_t>(received),
                                         &spec) == aErrNone) {
            if (spec.t.ip.ip_address != loopback)
                aDebug_Printf(aDEBUG_SERVER, "We are in local mode, ignoring(2)\n");
            else if (walk.isNew(spec))
                walk.offer(spec);
        } else if (received != -1) {
            aDebug_Printf(aDEBUG_SERVER, "Unknown Error sending request message: %d\n", received);
        }
    }
    aMulticast_Destroy(&replies);
    aMulticast_Destroy(&requests);
}

void _findLinkSpecs_multicast(Walk& walk) {
    const uint32_t group = htonl(aDISCOVERY_PROBE_GROUP);
    for (uint16_t offset = 0; offset < aDISCOVERY_PROBE_OFFSETS && walk.going; ++offset) {
        // A free port means no server there: servers hold theirs without reuse.
        aMulticastRef free =
            aMulticast_Create(htonl(INADDR_LOOPBACK), group, aDISCOVERY_PROBE_PORT + offset, false);
        if (free) {
            aMulticast_Destroy(&free);
            continue;
        }
        sProbe(walk, offset);
    }
}

struct FindRequest {
    linkSpec* spec;
    bool anySerial;
};

bool sFindCallback(const linkSpec* candidate, bool* found, void* ref) {
    auto* request = static_cast<FindRequest*>(ref);
    const bool wanted = request->anySerial ? candidate->serial_num != 0
                                           : candidate->serial_num == request->spec->serial_num;
    if (!wanted) return true;
    std::memcpy(request->spec, candidate, sizeof(linkSpec));
    *found = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serial, bool anySerial, uint32_t networkInterface) {
    linkSpec* spec = aLinkSpec_Create(type);
    if (!spec) return nullptr;
    spec->serial_num = serial;
    FindRequest request{spec, anySerial};
    if (aDiscovery_EnumerateModules(type, sFindCallback, &request, networkInterface) == 0)
        aLinkSpec_Destroy(&spec);
    return spec;
}

}  // namespace

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface) {
    if (!callback) return 0;
    switch (type) {
        case USB:
            return aDiscovery_EnumerateUSB(callback, ref);
        case TCPIP:
            return aDiscovery_EnumerateLegacyEthernet(callback, ref, networkInterface,
                                                      aDISCOVERY_LEGACY_REQUEST_PORT,
                                                      aDISCOVERY_LEGACY_REPLY_PORT);
        case AETHER:
        case AETHER_USB:
        case AETHER_TCPIP:
        case AETHER_SERIAL:
            return aDiscovery_Enumerate_aEtherModules(callback, ref, networkInterface);
        default:
            return 0;
    }
}

uint8_t aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* ref,
                                           uint32_t networkInterface) {
    if (!callback) return 0;
    Walk walk{callback, ref};
    uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
    const uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES);
    if (sIsLocal(networkInterface) || count == 0) {
        _findLinkSpecs_multicast(walk);
        return walk.count;
    }
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text) == 0) return 0;
    if (!zBeaconInterface_backupSetAndLock(text)) return 0;
    _findLinkSpecs_beacon(walk);
    zBeaconInterface_restoreAndUnlock();
    return walk.count;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serial, uint32_t networkInterface) {
    return sFind(type, serial, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(type, 0, true, networkInterface);
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity) {
    if (!addresses || capacity == 0) return 0;
    ziflist_t* list = ziflist_new();
    if (!list) return 0;
    uint32_t count = 0;
    for (const char* name = ziflist_first(list); name && count < capacity;
         name = ziflist_next(list)) {
        const char* address = ziflist_address(list);
        if (!address) break;
        in_addr parsed{};
        if (inet_pton(AF_INET, address, &parsed) == 1) addresses[count++] = parsed.s_addr;
    }
    ziflist_destroy(&list);
    return count;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size) {
    if (!buffer || size < INET_ADDRSTRLEN) return 0;
    in_addr a{};
    a.s_addr = address;
    if (!inet_ntop(AF_INET, &a, buffer, static_cast<socklen_t>(size))) return 0;
    return std::strlen(buffer);
}
