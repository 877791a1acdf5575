#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "aMutex.h"

namespace {

constexpr uint16_t kMutexMarker = 0x3A7E;

}  // namespace

struct aMutex {
    pthread_mutex_t handle;
    char name[aMUTEX_MAX_NAME + 1];
    uint16_t marker;
};

namespace {

bool sValid(const aMutex* mutex) {
    return mutex && mutex->marker == kMutexMarker;
}

aErr sMapResult(int result) {
    switch (result) {
        case 0:
            return aErrNone;
        case EINVAL:
            return aErrParam;
        case EBUSY:
            return aErrBusy;
        case EDEADLK:
            return aErrDuplicate;
        case EPERM:
            return aErrPermission;
        case EAGAIN:
        case ENOMEM:
            return aErrResource;
        default:
            return aErrUnknown;
    }
}

}  // namespace

aMutexRef aMutex_Create(const char* name) {
    if (!name) name = "";
    const size_t length = strnlen(name, aMUTEX_MAX_NAME + 1);
    if (length > aMUTEX_MAX_NAME) return nullptr;

    aMutex* mutex = new (std::nothrow) aMutex{};
    if (!mutex) return nullptr;
    if (pthread_mutex_init(&mutex->handle, nullptr) != 0) {
        delete mutex;
        return nullptr;
    }
    std::memcpy(mutex->name, name, length);
    mutex->name[length] = '\0';
    mutex->marker = kMutexMarker;
    return mutex;
}

aErr aMutex_Lock(aMutexRef mutex) {
    if (!sValid(mutex)) return aErrParam;
    return sMapResult(pthread_mutex_lock(&mutex->handle));
}

aErr aMutex_TryLock(aMutexRef mutex) {
    if (!sValid(mutex)) return aErrParam;
    return sMapResult(pthread_mutex_trylock(&mutex->handle));
}

aErr aMutex_Unlock(aMutexRef mutex) {
    if (!sValid(mutex)) return aErrParam;
    return sMapResult(pthread_mutex_unlock(&mutex->handle));
}

aErr aMutex_Destroy(aMutexRef* mutex) {
    if (!mutex) return aErrParam;
    aMutex* victim = *mutex;
    *mutex = nullptr;
    if (!sValid(victim)) return aErrParam;
    const aErr err = sMapResult(pthread_mutex_destroy(&victim->handle));
    victim->marker = 0;
    delete victim;
    return err;
}

const char* aMutex_Identifier(aMutexRef mutex) {
    return sValid(mutex) ? mutex->name : "";
}
