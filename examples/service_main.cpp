// Serves the example users-and-groups store until SIGINT or SIGTERM.
#include <csignal>
#include <iostream>

#include "inmemory_service.h"

int main() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Block before any thread starts, so that every thread inherits the mask and sigwait sees them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto service = std::make_shared<example::Service>();
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
