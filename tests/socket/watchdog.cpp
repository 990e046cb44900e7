// Turns a hung test into a failure naming it: a deadlock in the transport must not stall the run
// until the harness's own timeout.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Generous: every test takes well under two seconds.
constexpr auto kBound = std::chrono::seconds(30);

// Never destroyed: the watching thread waits on it until the process ends, and destroying a
// condition variable that a thread waits on would block the exit.
struct State {
    std::mutex mu;
    std::condition_variable cv;
    std::string name;
    std::chrono::steady_clock::time_point deadline;
    bool armed = false;
};

State& Shared() {
    static State* state = new State;
    return *state;
}

void Watch() {
    State& s = Shared();
    std::unique_lock<std::mutex> lk(s.mu);
    for (;;) {
        if (!s.armed) {
            s.cv.wait(lk);
            continue;
        }
        s.cv.wait_until(lk, s.deadline);
        if (s.armed && std::chrono::steady_clock::now() >= s.deadline) {
            std::fprintf(stderr, "%s did not finish within %lld s: hung\n", s.name.c_str(),
                         static_cast<long long>(kBound.count()));
            std::fflush(stderr);
            std::abort();
        }
    }
}

class Watchdog : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo& info) override {
        State& s = Shared();
        std::lock_guard<std::mutex> lk(s.mu);
        s.name = std::string(info.test_suite_name()) + "." + info.name();
        s.deadline = std::chrono::steady_clock::now() + kBound;
        s.armed = true;
        s.cv.notify_all();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        State& s = Shared();
        std::lock_guard<std::mutex> lk(s.mu);
        s.armed = false;
    }
};

// Before main: the watching thread exists before any test counts threads.
const bool installed = [] {
    std::thread(Watch).detach();
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    return true;
}();

}  // namespace
