#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <string>

// Base of every object that owns one worker thread (drivers, LED indicators).
class myThreadAttached {
public:
    myThreadAttached();
    virtual ~myThreadAttached();

    void Start(const std::string& name);
    void Stop();

    bool isStarted() const { return started; }
    const std::string& threadName() const { return name; }

protected:
    // The thread body; the argument is the object itself.
    virtual void* functionThread(void* arg) = 0;

    pthread_t thread;
    pthread_attr_t attr;
    bool started;
    int pid;
    std::string name;

private:
    static void* ThreadEntry(void* object);
};
