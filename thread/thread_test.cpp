#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "log/logger.h"
#include "service/path_root.h"
#include "thread/led.h"
#include "thread/thread_attached.h"

namespace {

using namespace std::chrono_literals;

std::string tempDir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/kov_thread_test.XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 2000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class ThreadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        logPath = tempDir() + "/log.txt";
        logger* l = logger::getInstance(logPath.c_str(), false);
        l->setLevel(7);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(tempDir()); }
    static std::string logPath;
};
std::string ThreadTest::logPath;

// Counts how often its body ran; the body blocks in a long sleep.
class Sleeper : public myThreadAttached {
public:
    std::atomic<int> runs{0};
    ~Sleeper() override { Stop(); }

protected:
    void* functionThread(void*) override {
        ++runs;
        sleep(3600);
        return nullptr;
    }
};

class Quick : public myThreadAttached {
protected:
    void* functionThread(void*) override { return nullptr; }
};

TEST_F(ThreadTest, StartTwiceLogsRestartOnceAndKeepsOneThread) {
    Sleeper t;
    t.Start("twice-a");
    t.Start("twice-b");
    ASSERT_TRUE(eventually([&] { return t.runs.load() == 1; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(1, t.runs.load());
    EXPECT_TRUE(t.isStarted());
    EXPECT_EQ("twice-a", t.threadName());
    std::string log = readFile(logPath);
    EXPECT_EQ(1u, countOf(log, "Crit: \033[1;31m\t====> Attempting to restart thread \"twice-a\"!"));
    EXPECT_EQ(0u, countOf(log, "\"twice-b\""));
    EXPECT_EQ(1u, countOf(log, "A new thread \"twice-a\" has been STARTED with PID = " +
                                   std::to_string(getpid()) + "."));
}

TEST_F(ThreadTest, DestructionCancelsASleepingThreadQuickly) {
    auto* t = new Sleeper;
    t->Start("sleeper");
    ASSERT_TRUE(eventually([&] { return t->runs.load() == 1; }));
    std::this_thread::sleep_for(10ms);  // let it reach the sleep
    auto begin = std::chrono::steady_clock::now();
    delete t;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms);
}

TEST_F(ThreadTest, ReturnedBodyLogsStopAndStillCountsAsStarted) {
    Quick q;
    q.Start("quick");
    ASSERT_TRUE(eventually([&] {
        return countOf(readFile(logPath), "Thread \"quick\" (PID = " + std::to_string(getpid()) +
                                              ") has been STOPED.") == 1;
    }));
    EXPECT_TRUE(q.isStarted());
    q.Stop();
    EXPECT_FALSE(q.isStarted());
}

TEST_F(ThreadTest, DestroyedLedEndsDarkEvenWhileLit) {
    kov::SetPathRoot(tempDir());
    const std::string file = tempDir() + "/led_a";
    auto* led = new CLed("/led_a", 150000);
    EXPECT_EQ("0", readFile(file));
    led->Start("manager LED \"A\"");
    led->Blink(true);
    // Lit within the documented 10 ms (allow for a loaded machine).
    ASSERT_TRUE(eventually([&] { return readFile(file) == "01"; }, 200ms));
    delete led;
    std::string content = readFile(file);
    ASSERT_FALSE(content.empty());
    EXPECT_EQ('0', content.back());
    kov::SetPathRoot("");
}

TEST_F(ThreadTest, LedBlinksOnceAndBlinkOffCancelsPending) {
    kov::SetPathRoot(tempDir());
    const std::string file = tempDir() + "/led_b";
    {
        CLed led("/led_b", 20000);
        // Not started: a request can be withdrawn before the thread sees it.
        led.Blink(true);
        led.Blink(false);
        EXPECT_EQ("00", readFile(file));
        led.Start("manager LED \"B\"");
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ("00", readFile(file));
        led.Blink(true);
        ASSERT_TRUE(eventually([&] { return readFile(file) == "0010"; }, 500ms));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ("0010", readFile(file));  // one request, one blink
    }
    EXPECT_EQ("00100", readFile(file));
    kov::SetPathRoot("");
}

}  // namespace
