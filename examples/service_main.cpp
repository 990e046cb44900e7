// Serves the example users-and-groups store until SIGINT or SIGTERM.
//     aai_example_service [--notification-timeout-ms N]
// N: how long one notification to a client may take before that client's sink is dropped
// (notifier.h; 5000 unless given).
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "inmemory_service.h"

namespace {

int Usage() {
    std::cerr << "usage: aai_example_service [--notification-timeout-ms N]" << std::endl;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    example::NotifierOptions notifications;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--notification-timeout-ms") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const long ms = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || ms <= 0) return Usage();
            notifications.callTimeout = std::chrono::milliseconds(ms);
        } else {
            return Usage();
        }
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Block before any thread starts, so that every thread inherits the mask and sigwait sees them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto service = std::make_shared<example::Service>(notifications);
    try {
        service->Start();
    } catch (const std::exception& e) {
        std::cerr << "service: cannot serve: " << e.what() << std::endl;
        return 1;
    }
    std::cout << "service: serving" << std::endl;
    int signal = 0;
    sigwait(&signals, &signal);
    service->Stop();
    std::cout << "service: stopped" << std::endl;
    return 0;
}
