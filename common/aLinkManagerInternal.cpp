#include "aLinkManagerInternal.h"

#include <list>
#include <new>

#include "aDebug.h"

namespace {

struct Registry {
    std::list<aLinkEntryRef> entries;  // newest first
    int32_t nextId = 1;
    std::mutex lock;  // "aLink_Managed"
};

// Never destroyed: link threads may still run while the process exits.
Registry& sRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

template <typename Match>
aLinkEntryRef sFind(Match match) {
    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    for (const aLinkEntryRef& entry : registry.entries) {
        if (match(*entry)) return entry;
    }
    return nullptr;
}

}  // namespace

aLinkRecord::~aLinkRecord() {
    aPacket_Destroy(&assembling);
    aPacketLog_Destroy(&packetLog);
    aMutex_Destroy(&packetLogLock);
    aMutex_Destroy(&userFilterLock);
}

aLinkEntryRef aLinkManager_Create(int32_t ident0, int32_t ident1, int32_t ident2, int32_t type) {
    aLinkEntryRef entry;
    try {
        entry = std::make_shared<aLinkEntry>();
        entry->link = std::make_shared<aLinkRecord>();
    } catch (...) {
        return nullptr;
    }
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    entry->type = type;

    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    entry->id = registry.nextId;
    entry->link->id = entry->id;
    try {
        registry.entries.push_front(entry);
    } catch (...) {
        return nullptr;
    }
    ++registry.nextId;
    aDebug_Printf(aDEBUG_LINK,
                  " sCreate2: ident0: %d, ident1: %d, ident2: %d, type: %d, new id: %d\n", ident0,
                  ident1, ident2, type, entry->id);
    return entry;
}

aLinkEntryRef aLinkManager_LookupByID(int32_t id) {
    aLinkEntryRef entry = sFind([id](const aLinkEntry& e) { return e.id == id; });
    aDebug_Printf(aDEBUG_LINK, "sLookupEntryByID: deviceId: %d - deviceItem: %p\n", id,
                  static_cast<void*>(entry.get()));
    return entry;
}

aLinkEntryRef aLinkManager_LookupByIdentifier(int32_t ident0, int32_t type) {
    return sFind([=](const aLinkEntry& e) { return e.ident0 == ident0 && e.type == type; });
}

aLinkEntryRef aLinkManager_LookupByTrident(int32_t ident0, int32_t ident1, int32_t ident2) {
    return sFind([=](const aLinkEntry& e) {
        return e.ident0 == ident0 && e.ident1 == ident1 && e.ident2 == ident2;
    });
}

aLinkEntryRef aLinkManager_Extract(int32_t id) {
    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    for (auto it = registry.entries.begin(); it != registry.entries.end(); ++it) {
        if ((*it)->id != id) continue;
        aLinkEntryRef entry = *it;
        registry.entries.erase(it);
        aDebug_Printf(aDEBUG_LINK, "  sExtractEntry(%d) -  %d remaining\n", id,
                      static_cast<int>(registry.entries.size()));
        if (registry.entries.empty()) aDebug_Printf(aDEBUG_LINK, "NO MORE LINKS\n");
        return entry;
    }
    return nullptr;
}

aErr aLinkManager_ChangeUseCount(int32_t id, int16_t delta, int16_t* count) {
    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    for (const aLinkEntryRef& entry : registry.entries) {
        if (entry->id != id) continue;
        entry->useCount = static_cast<int16_t>(entry->useCount + delta);
        if (count) *count = entry->useCount;
        aDebug_Printf(aDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n", id, delta,
                      entry->useCount);
        return aErrNone;
    }
    return aErrParam;
}

aErr aLinkManager_Acquire(int32_t id) {
    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    for (const aLinkEntryRef& entry : registry.entries) {
        if (entry->id != id) continue;
        if (entry->useCount <= 0) return aErrBusy;
        ++entry->useCount;
        return aErrNone;
    }
    return aErrParam;
}

std::shared_ptr<aLinkRecord> aLinkManager_Record(int32_t id) {
    aLinkEntryRef entry = sFind([id](const aLinkEntry& e) { return e.id == id; });
    if (!entry || !entry->link || entry->link->marker != aLINK_MARKER) return nullptr;
    return entry->link;
}
