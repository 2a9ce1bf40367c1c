#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "sim/test_support.h"
#include "thread/led.h"
#include "thread/thread_attached.h"

namespace {

using namespace std::chrono_literals;
using kov::sim::LogFile;
using kov::sim::TestRoot;

// Counts how often its body ran; the body blocks in a long sleep or returns at once.
class Body : public myThreadAttached {
public:
    explicit Body(bool sleeps) : sleeps(sleeps) {}
    ~Body() override { Stop(); }
    std::atomic<int> runs{0};

protected:
    void* functionThread(void*) override {
        ++runs;
        if (sleeps) sleep(3600);
        return nullptr;
    }
    const bool sleeps;
};

void awaitRun(const Body& b) {
    for (int i = 0; i < 400 && b.runs == 0; ++i) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(20ms);  // let it reach its sleep
}

const std::string kPid = std::to_string(getpid());

TEST(Threads, StartTwiceLogsRestartOnceAndKeepsOneThread) {
    LogFile::Path();
    Body t(true);
    t.Start("twice-a");
    t.Start("twice-b");
    awaitRun(t);
    EXPECT_EQ(1, t.runs.load());
    EXPECT_TRUE(t.isStarted());
    EXPECT_EQ("twice-a", t.threadName());
    EXPECT_EQ(1u, LogFile::Count("Crit: \033[1;31m\t====> Attempting to restart thread \"twice-a\"!"));
    EXPECT_EQ(0u, LogFile::Count("\"twice-b\""));
    EXPECT_EQ(1u, LogFile::Count("A new thread \"twice-a\" has been STARTED with PID = " + kPid + "."));
}

TEST(Threads, DestructionCancelsASleeperQuicklyAndAReturnedBodyLogsItsStop) {
    LogFile::Path();
    auto* t = new Body(true);
    t->Start("sleeper");
    awaitRun(*t);
    auto begin = std::chrono::steady_clock::now();
    delete t;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms);

    const std::string stopped = "Thread \"quick\" (PID = " + kPid + ") has been STOPED.";
    Body q(false);
    q.Start("quick");
    for (int i = 0; i < 400 && LogFile::Count(stopped) == 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(1u, LogFile::Count(stopped));
    EXPECT_TRUE(q.isStarted());
    q.Stop();
    EXPECT_FALSE(q.isStarted());
}

TEST(Led, DestroyedLedEndsDarkEvenWhileLit) {
    TestRoot root;
    auto* led = new CLed("/led_a", 150000);
    led->Start("manager LED \"A\"");
    led->Blink(true);
    // Lit within the documented 10 ms (allow for a loaded machine).
    ASSERT_TRUE(root.WaitFor("/led_a", "01", 200));
    delete led;
    const std::string written = root.Read("/led_a");
    EXPECT_TRUE(written.size() >= 3 && written.back() == '0') << written;
}

TEST(Led, BlinksOnceAndBlinkOffCancelsPending) {
    TestRoot root;
    {
        CLed led("/led_b", 20000);
        // Not started: a request can be withdrawn before the thread sees it.
        led.Blink(true);
        led.Blink(false);
        EXPECT_EQ("00", root.Read("/led_b"));
        led.Start("manager LED \"B\"");
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ("00", root.Read("/led_b"));
        led.Blink(true);
        ASSERT_TRUE(root.WaitFor("/led_b", "0010", 500));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ("0010", root.Read("/led_b"));  // one request, one blink
    }
    EXPECT_EQ("00100", root.Read("/led_b"));
}

}  // namespace
