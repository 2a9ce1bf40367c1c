#include "log/logger.h"

#include "tests/e2e/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string l; std::getline(ss, l);) out.push_back(l);
    return out;
}

// Redirects one standard descriptor into a file for the scope.
class Capture {
public:
    explicit Capture(int fd) : fd_(fd) {
        char tmpl[] = "/tmp/kovlog-cap-XXXXXX";
        int f = mkstemp(tmpl);
        path_ = tmpl;
        fflush(nullptr);
        saved_ = dup(fd_);
        dup2(f, fd_);
        close(f);
    }
    std::string Text() {
        fflush(nullptr);
        return kovtest::ReadFile(path_);
    }
    ~Capture() {
        fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        unlink(path_.c_str());
    }

private:
    int fd_, saved_;
    std::string path_;
};

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kovlog-XXXXXX";
        dir = mkdtemp(tmpl);
        file = dir + "/log";
    }
    void TearDown() override { delete logger::current(); }
    logger* Make(int level) {
        logger* l = logger::getInstance(file.c_str(), false);
        l->setLevel(level);
        return l;
    }
    std::string dir, file;
};

const std::regex kPrefix(R"(^\d\d:\d\d:\d\d\.\d{3}\.\d{3} (Emerg|Alert|Crit|Err|Warning|Notice|Info|Debug): )");

TEST_F(LoggerTest, ThresholdSelectsLevels) {
    logger* l = Make(6);
    l->debug("d");
    unsigned char b[1] = {1};
    l->dump("t", b, 1);
    l->info("i");
    auto ls = lines(kovtest::ReadFile(file));
    ASSERT_EQ(1u, ls.size());
    EXPECT_TRUE(std::regex_search(ls[0], kPrefix));
    EXPECT_NE(std::string::npos, ls[0].find(" Info: i"));

    unlink(file.c_str());
    l->setLevel(0);
    l->alert("a");
    l->crit("c");
    l->err("e");
    l->emerg("em %d", 5);
    ls = lines(kovtest::ReadFile(file));
    ASSERT_EQ(1u, ls.size());
    EXPECT_NE(std::string::npos, ls[0].find(" Emerg: em 5"));

    // Reached through the null-checking shorthands as well.
    unlink(file.c_str());
    l->setLevel(4);
    klog::warning("w%s", "x");
    klog::notice("n");
    EXPECT_TRUE(klog::enabled(4));
    EXPECT_FALSE(klog::enabled(5));
    ls = lines(kovtest::ReadFile(file));
    ASSERT_EQ(1u, ls.size());
    EXPECT_NE(std::string::npos, ls[0].find(" Warning: wx"));
}

TEST_F(LoggerTest, LongMessagesAreCutAt127OnFileAndStderr) {
    logger* l = Make(7);
    std::string msg(300, 'x');
    msg[0] = 'A';
    l->info("%s", msg.c_str());
    auto ls = lines(kovtest::ReadFile(file));
    ASSERT_EQ(1u, ls.size());
    std::string body = std::regex_replace(ls[0], kPrefix, "");
    EXPECT_EQ(msg.substr(0, 127), body);

    Capture err(STDERR_FILENO);
    l->setStderr(true);
    l->err("%s", msg.c_str());
    auto el = lines(err.Text());
    ASSERT_EQ(1u, el.size());
    EXPECT_EQ(msg.substr(0, 127), std::regex_replace(el[0], kPrefix, ""));
    EXPECT_EQ(1u, lines(kovtest::ReadFile(file)).size()) << "stderr mode writes nothing to the file";
}

TEST_F(LoggerTest, SizeLimitDeletesTheFileAfterTheLineThatPassesIt) {
    logger* l = Make(7);
    l->setMaxSize(1000);
    std::string chunk(60, 'y');
    struct stat st;
    off_t last = 0;
    int deletions = 0;
    for (int i = 0; i < 40; ++i) {
        l->info("%s", chunk.c_str());
        if (stat(file.c_str(), &st) != 0) {
            ++deletions;
            EXPECT_GT(last + 85, 1000) << "deleted only once the limit is passed";
            last = 0;
        } else {
            EXPECT_LE(st.st_size, 1000);
            last = st.st_size;
        }
    }
    EXPECT_GE(deletions, 2);
    // Zero and negative limits never delete.
    for (int limit : {0, -5}) {
        unlink(file.c_str());
        l->setMaxSize(limit);
        for (int i = 0; i < 20; ++i) l->info("%s", chunk.c_str());
        ASSERT_EQ(0, stat(file.c_str(), &st));
        EXPECT_GT(st.st_size, 1000);
    }
}

TEST_F(LoggerTest, DumpWritesHexLinesWithoutPrefix) {
    logger* l = Make(7);
    const unsigned char bytes[] = {0x01, 0xAB, 0xFF};
    l->dump("frame", bytes, 3);
    EXPECT_EQ("frame\n0x01 0xab 0xff \n", kovtest::ReadFile(file));
    unlink(file.c_str());
    l->setLevel(6);
    l->dump("frame", bytes, 3);
    EXPECT_EQ("", kovtest::ReadFile(file));
}

TEST_F(LoggerTest, UnopenableFileReportsEveryMessageAndGoesOn) {
    file = dir + "/no/such/dir/log";
    logger* l = Make(7);
    Capture out(STDOUT_FILENO);
    Capture err(STDERR_FILENO);
    l->info("one");
    l->info("two");
    std::string o = out.Text();
    EXPECT_EQ("Can't open file " + file + "\nCan't open file " + file + "\n", o);
    EXPECT_NE(std::string::npos, err.Text().find("addError: "));
}

TEST_F(LoggerTest, ConcurrentThreadsNeverTearLines) {
    logger* l = Make(7);
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([l, t] {
            std::string payload(40 + t, static_cast<char>('a' + t));
            for (int i = 0; i < 150; ++i) l->info("T%d %s %d", t, payload.c_str(), i);
        });
    for (auto& t : ts) t.join();
    auto ls = lines(kovtest::ReadFile(file));
    ASSERT_EQ(8u * 150u, ls.size());
    const std::regex line(R"(^\d\d:\d\d:\d\d\.\d{3}\.\d{3} Info: T(\d) ([a-h]+) (\d+)$)");
    for (const auto& s : ls) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(s, m, line)) << s;
        int t = std::stoi(m[1]);
        EXPECT_EQ(std::string(40 + t, static_cast<char>('a' + t)), m[2].str());
    }
}

int OpenDescriptors() {
    int n = 0;
    for (int fd = 0; fd < 4096; ++fd)
        if (fcntl(fd, F_GETFD) != -1) ++n;
    return n;
}

TEST_F(LoggerTest, CancelledWhileLoggingLeavesNoTornLineNorOpenFile) {
    logger* l = Make(7);
    const int before = OpenDescriptors();
    for (int round = 0; round < 40; ++round) {
        pthread_t t;
        ASSERT_EQ(0, pthread_create(&t, nullptr, [](void* p) -> void* {
            for (int i = 0;; ++i) {
                static_cast<logger*>(p)->info("line %d of a cancelled thread", i);
                pthread_testcancel();
            }
            return nullptr;
        }, l));
        usleep(static_cast<useconds_t>(500 + round * 97 % 1500));
        pthread_cancel(t);
        pthread_join(t, nullptr);
    }
    EXPECT_EQ(before, OpenDescriptors());
    const std::regex line(R"(^\d\d:\d\d:\d\d\.\d{3}\.\d{3} Info: line \d+ of a cancelled thread$)");
    std::string text = kovtest::ReadFile(file);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ('\n', text.back());
    for (const auto& s : lines(text)) EXPECT_TRUE(std::regex_match(s, line)) << s;
}

TEST_F(LoggerTest, SignalPathWritesAPrefixedCritLine) {
    logger* l = Make(7);
    l->critFromSignal("\033[1;31mSystem signal\033[0m");
    auto ls = lines(kovtest::ReadFile(file));
    ASSERT_EQ(1u, ls.size());
    EXPECT_TRUE(std::regex_search(ls[0], kPrefix));
    EXPECT_NE(std::string::npos, ls[0].find(" Crit: \033[1;31mSystem signal\033[0m"));
    l->setLevel(1);
    l->critFromSignal("hidden");
    EXPECT_EQ(1u, lines(kovtest::ReadFile(file)).size());
}

}  // namespace
