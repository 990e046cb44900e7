// The example's programs as child processes of a test: started with a socket directory of the
// test's choosing, their standard output read line by line (or written to a file), killed and
// reaped when the handle goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tempdir.h"
#include "wait.h"

extern char** environ;

namespace children {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A private directory under /tmp (short, for socket paths), removed with what was left in it.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("aai-examples") {}
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline int CountLines(const std::string& text, const std::string& containing) {
    int n = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) n += line.find(containing) != std::string::npos;
    return n;
}

// A running program. Its standard output comes to the test through a pipe, or goes to a file
// when one is named (a program that writes much and is not read must not fill a pipe and stall);
// its standard error goes to `errPath`.
class Program {
public:
    struct Options {
        std::string ipcDir;   // ZEL_IPC_DIR of the child
        std::string outPath;  // empty: a pipe, read with NextLine
        std::string errPath;  // empty: /dev/null
    };
    static Options In(std::string ipcDir) { return Options{std::move(ipcDir), {}, {}}; }

    Program(const std::vector<std::string>& args, const Options& options) {
        int out[2] = {-1, -1};
        if (options.outPath.empty() && ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (out[1] >= 0) {
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, options.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        const std::string errPath = options.errPath.empty() ? "/dev/null" : options.errPath;
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);

        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("ZEL_IPC_DIR=", 0) != 0) env.emplace_back(*e);
        }
        env.push_back("ZEL_IPC_DIR=" + options.ipcDir);
        std::vector<std::string> argStore = args;
        std::vector<char*> argv, envp;
        for (auto& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (out[1] >= 0) ::close(out[1]);
        out_ = out[0];
        if (failed != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + args[0]);
        }
    }
    ~Program() {
        Kill();
        if (out_ >= 0) ::close(out_);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t Pid() const { return pid_; }

    // The next line of its output; false at its end or once `bound` has passed.
    bool NextLine(std::string& line, milliseconds bound = milliseconds(10000)) {
        const auto end = Clock::now() + bound;
        for (;;) {
            const auto eol = buffer_.find('\n');
            if (eol != std::string::npos) {
                line = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 1);
                transcript_ += line + "\n";
                arrivals_.push_back(Clock::now());
                return true;
            }
            if (out_ < 0) return false;
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{out_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::close(out_);
                out_ = -1;
                continue;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Reads until a line that starts with `prefix`; the lines read are kept in Transcript().
    bool AwaitLine(const std::string& prefix, milliseconds bound = milliseconds(10000)) {
        const auto end = Clock::now() + bound;
        std::string line;
        while (NextLine(line, std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(end - Clock::now())))) {
            if (line.rfind(prefix, 0) == 0) return true;
        }
        return false;
    }
    // Everything read so far.
    const std::string& Transcript() const { return transcript_; }
    // From the first line read to the last: what the program did, without its start and its end.
    Clock::duration FirstToLastLine() const {
        return arrivals_.empty() ? Clock::duration::zero() : arrivals_.back() - arrivals_.front();
    }

    void Signal(int signal) {
        if (pid_ > 0) ::kill(pid_, signal);
    }
    // Stops it and returns once it is stopped.
    void Freeze() {
        Signal(SIGSTOP);
        int status = 0;
        if (pid_ > 0) ::waitpid(pid_, &status, WUNTRACED);
    }

    // Its exit status once it ends by itself (reading what it writes meanwhile), or -1 after the
    // bound, when it is killed.
    int Wait(milliseconds bound = milliseconds(20000)) {
        const auto end = Clock::now() + bound;
        int status = 0;
        for (;;) {
            if (pid_ <= 0) return -1;
            const pid_t got = ::waitpid(pid_, &status, WNOHANG);
            if (got == pid_) break;
            if (Clock::now() > end) {
                Kill();
                return -1;
            }
            std::string line;
            if (out_ >= 0) {
                if (NextLine(line, milliseconds(5))) continue;
            } else {
                ::usleep(2000);
            }
        }
        pid_ = -1;
        std::string line;
        while (NextLine(line, milliseconds(1000))) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::string transcript_;
    std::vector<Clock::time_point> arrivals_;  // when each line of the transcript was read
};

}  // namespace children
