#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>
#include <mutex>

namespace {

std::mutex _interfaceLock;
std::string _backupInterface;  // written and read under _interfaceLock

bool _isValidIpAddress(const char* text) {
    in_addr parsed{};
    return inet_pton(AF_INET, text, &parsed) == 1;
}

bool _isValidBeaconConfig(const char* text) {
    return std::strcmp(text, "") == 0 || std::strcmp(text, "*") == 0;
}

bool sValid(const char* text) {
    return text && (_isValidIpAddress(text) || _isValidBeaconConfig(text));
}

std::string sCurrent() {
    const char* current = zsys_interface();
    return current ? current : "";
}

// CZMQ replaces its copy of the text on every set, while running beacons
// read it: an unchanged setting is left alone.
void sSet(const char* text) {
    if (sCurrent() != text) zsys_set_interface(text);
}

}  // namespace

bool zBeaconInterface_setAndLock(const char* interfaceText) {
    if (!sValid(interfaceText)) return false;
    _interfaceLock.lock();
    sSet(interfaceText);
    return true;
}

void zBeaconInterface_unlock(void) {
    _interfaceLock.unlock();
}

bool zBeaconInterface_backupSetAndLock(const char* interfaceText) {
    if (!sValid(interfaceText)) return false;
    _interfaceLock.lock();
    if (_backupInterface.capacity() < _BACKUP_CAPACITY) _backupInterface.reserve(_BACKUP_CAPACITY);
    _backupInterface = sCurrent();
    sSet(interfaceText);
    return true;
}

void zBeaconInterface_restoreAndUnlock(void) {
    sSet(_backupInterface.c_str());
    _interfaceLock.unlock();
}

std::string zBeaconInterface_get(void) {
    return sCurrent();
}

std::string zBeaconInterface_getAndLock(void) {
    _interfaceLock.lock();
    return sCurrent();
}

std::string zBeaconInterface_getBackup(void) {
    return _backupInterface;
}

std::string zBeaconInterface_getBackupAndLock(void) {
    _interfaceLock.lock();
    return _backupInterface;
}
