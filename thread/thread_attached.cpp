#include "thread/thread_attached.h"

#include <unistd.h>

#include "log/logger.h"

myThreadAttached::myThreadAttached() : thread(0), started(false), pid(0) {
    pthread_attr_init(&attr);
    // Where the platform refuses so small a stack the default one is used.
    (void)pthread_attr_setstacksize(&attr, 10240);
}

myThreadAttached::~myThreadAttached() {
    Stop();
    pthread_attr_destroy(&attr);
}

void myThreadAttached::Start(const std::string& threadName) {
    if (started) {
        klog::crit("\033[1;31m\t====> Attempting to restart thread \"%s\"!\033[0m\n", name.c_str());
        return;
    }
    name = threadName;
    if (pthread_create(&thread, &attr, &myThreadAttached::ThreadEntry, this) == 0) {
        started = true;
    } else {
        klog::crit("\033[1;31m\t====> Error while thread \"%s\" creation!\033[0m\n", name.c_str());
    }
}

void myThreadAttached::Stop() {
    if (!started) return;
    pthread_cancel(thread);
    pthread_join(thread, nullptr);
    started = false;
}

void* myThreadAttached::ThreadEntry(void* object) {
    auto* self = static_cast<myThreadAttached*>(object);
    self->pid = getpid();
    klog::crit("\033[1;35mA new thread \"%s\" has been STARTED with PID = %d.\033[0m\n",
               self->name.c_str(), self->pid);
    self->functionThread(object);
    klog::crit("\033[1;35mThread \"%s\" (PID = %d) has been STOPED.\033[0m\n", self->name.c_str(),
               self->pid);
    return nullptr;
}
