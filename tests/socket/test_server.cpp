// A server in a process of its own, for tests that kill it: serves a TestStub on the socket file
// named by argv[1], says "ready" on standard output, and "blocked" whenever a kBlock request arrives.
// Ends when its standard input ends (the test process is gone).
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "server.h"

int main(int argc, char** argv) {
    using namespace sockettest;
    if (argc != 2) return 2;
    auto impl = std::make_shared<Impl>();
    impl->onBlock = [] {
        const char line[] = "blocked\n";
        (void)!::write(1, line, sizeof line - 1);
    };
    auto receiver = std::make_shared<TestReceiver>(impl);
    ServerConfig config;
    config.path = argv[1];
    auto listener = Listen(config, receiver);
    const char ready[] = "ready\n";
    (void)!::write(1, ready, sizeof ready - 1);
    for (;;) {
        char c;
        const ssize_t n = ::read(0, &c, 1);
        if (n == 0 || (n < 0 && errno != EINTR)) ::_exit(0);
    }
}
