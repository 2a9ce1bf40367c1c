#include "thread/led.h"

#include <ctime>

#include "service/path_root.h"

namespace {
void unlockMutex(void* m) { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m)); }

timespec deadlineIn(long micros) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += micros / 1000000;
    ts.tv_nsec += (micros % 1000000) * 1000;
    if (ts.tv_nsec >= 1000000000) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000;
    }
    return ts;
}
}  // namespace

CLed::CLed(const std::string& ledPath, int micros)
    : path(ledPath), blinkMicros(micros), pending(false), stopping_(false) {
    pthread_mutex_init(&mutex_, nullptr);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&cond_, &ca);
    pthread_condattr_destroy(&ca);
    out.open(kov::RootedPath(path), std::ios::out | std::ios::trunc);
    writeState('0');
}

CLed::~CLed() {
    // Stop the thread in order before the file goes away.
    pthread_mutex_lock(&mutex_);
    stopping_ = true;
    pthread_cond_broadcast(&cond_);
    pthread_mutex_unlock(&mutex_);
    Stop();
    writeState('0');
    out.close();
    pthread_cond_destroy(&cond_);
    pthread_mutex_destroy(&mutex_);
}

void CLed::writeState(char c) {
    out.put(c);
    out.flush();
}

void CLed::Blink(bool on) {
    pthread_mutex_lock(&mutex_);
    if (on) {
        pending = true;
        pthread_cond_signal(&cond_);
    } else if (pending) {
        writeState('0');
        pending = false;
    }
    pthread_mutex_unlock(&mutex_);
}

void* CLed::functionThread(void*) {
    pthread_mutex_lock(&mutex_);
    pthread_cleanup_push(unlockMutex, &mutex_);
    while (!stopping_) {
        // Waiting on the condition replaces a 10 ms poll: a request is seen at once.
        while (!pending && !stopping_) pthread_cond_wait(&cond_, &mutex_);
        if (stopping_) break;
        writeState('1');
        pending = false;
        timespec until = deadlineIn(blinkMicros);
        while (!stopping_ && pthread_cond_timedwait(&cond_, &mutex_, &until) == 0) {
            // woken by a new request: keep the LED lit for its full time
        }
        writeState('0');
        // A request made while lit gives one more blink after a short dark gap.
        until = deadlineIn(10000);
        while (!stopping_ && pthread_cond_timedwait(&cond_, &mutex_, &until) == 0) {
        }
        // Every cancellation point of this loop holds the mutex, which the
        // cleanup handler releases; none may come while it is released.
    }
    pthread_cleanup_pop(1);
    return nullptr;
}
