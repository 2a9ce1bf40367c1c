#pragma once

#include <pthread.h>

#include <atomic>
#include <fstream>
#include <string>

#include "thread/thread_attached.h"

// Blinks one gateway LED through its kernel control file when a connector
// reports traffic. The thread sleeps until a blink is requested.
class CLed : public myThreadAttached {
public:
    // path is the absolute control-file path; it is placed under the path root.
    CLed(const std::string& path, int blinkMicros);
    ~CLed() override;

    void Blink(bool on);

protected:
    void* functionThread(void* arg) override;

private:
    void writeState(char c);  // caller holds mutex_

    std::string path;
    std::ofstream out;
    int blinkMicros;
    std::atomic<bool> pending;

    pthread_mutex_t mutex_;
    pthread_cond_t cond_;
    bool stopping_;
};
