#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "aThread.h"

struct aThread {
    pthread_t handle;
    aThreadProc proc;
    void* argument;
};

namespace {

void* sTrampoline(void* raw) {
    aThread* thread = static_cast<aThread*>(raw);
    thread->proc(thread->argument);
    return nullptr;
}

}  // namespace

aThreadRef aThread_Create(aThreadProc proc, void* argument) {
    if (!proc) return nullptr;
    aThread* thread = new (std::nothrow) aThread{};
    if (!thread) return nullptr;
    thread->proc = proc;
    thread->argument = argument;
    if (pthread_create(&thread->handle, nullptr, sTrampoline, thread) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

int aThread_Destroy(aThreadRef* thread) {
    if (!thread || !*thread) return EINVAL;
    aThread* victim = *thread;
    *thread = nullptr;
    const int result = pthread_join(victim->handle, nullptr);
    delete victim;
    return result;
}

bool aThread_IsCurrent(aThreadRef thread) {
    return thread && pthread_equal(thread->handle, pthread_self());
}

void aThread_Yield(void) {
    struct timespec pause {
        0, 5000
    };
    nanosleep(&pause, nullptr);
}
