// The test's handle on a process_peer: started with a command pipe and an event pipe, killed when
// the handle goes, and a private socket directory for both processes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "peer.h"
#include "tempdir.h"

extern char** environ;

namespace peer {

// A directory under /tmp for the sockets of one test, removed with what the processes left in it.
class SocketDir : public testsupport::TempDir {
public:
    SocketDir() : TempDir("aai-peer") {}
};

class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        Kill();
        if (commands_ >= 0) ::close(commands_);
        if (events_ >= 0) ::close(events_);
    }

    // Starts `process_peer <mode> <dir> <commands> <events> <extra...>`.
    void Start(const std::string& mode, const std::string& dir, const std::vector<std::string>& extra = {}) {
        int down[2], up[2];
        if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        // Only the child's ends are inherited.
        ::fcntl(down[0], F_SETFD, 0);
        ::fcntl(up[1], F_SETFD, 0);
        std::vector<std::string> args = {PROCESS_PEER, mode, dir, std::to_string(down[0]), std::to_string(up[1])};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, PROCESS_PEER, nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
        ::close(down[0]);
        ::close(up[1]);
        commands_ = down[1];
        events_ = up[0];
        reader_.Reset(events_);
        if (pid_ < 0) throw std::runtime_error("posix_spawn " PROCESS_PEER);
    }

    bool Command(const std::string& line) { return WriteLine(commands_, line); }

    // Waits for the event `line`, keeping the others that arrive meanwhile for later calls.
    bool Expect(const std::string& line, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + bound;
        for (;;) {
            auto it = seen_.find(line);
            if (it != seen_.end()) {
                seen_.erase(it);
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            std::string got;
            if (left.count() <= 0 || !reader_.Next(got, left)) return false;
            seen_.insert(got);
        }
    }

    // The next event that starts with `prefix`.
    bool NextStartingWith(const std::string& prefix, std::string& line,
                          std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        for (auto it = seen_.begin(); it != seen_.end(); ++it) {
            if (it->rfind(prefix, 0) == 0) {
                line = *it;
                seen_.erase(it);
                return true;
            }
        }
        const auto end = std::chrono::steady_clock::now() + bound;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !reader_.Next(line, left)) return false;
            if (line.rfind(prefix, 0) == 0) return true;
            seen_.insert(line);
        }
    }

    // Still running: neither ended nor killed. An end that nobody asked for is reported once.
    bool Running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = status;
            return false;
        }
        return true;
    }
    int Status() const { return status_; }
    bool Started() const { return commands_ >= 0; }

    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
        pid_ = -1;
    }

    // Waits for the child to end by itself; false (and killed) after the bound.
    bool WaitExit(std::chrono::milliseconds bound) {
        const bool ended = WaitUntil([&] { return !Running(); }, bound);
        if (!ended) Kill();
        return ended;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    int commands_ = -1;
    int events_ = -1;
    LineReader reader_;
    std::multiset<std::string> seen_;
};

}  // namespace peer
