// Delivers the users-and-groups notifications to the registered sinks without ever holding the
// request that caused them.
//
// A sink is a client's object, so calling it is a call into another process that may be busy,
// frozen (stopped, swapping, being debugged) or gone. Were the request's own thread to call the
// sinks, one client that does not answer would hold every other client's addUser until the call
// gave up. Instead each sink has a queue of its own, and a thread of its own delivers it while it
// has work: notifications reach a sink in the order they were posted, and one sink's slowness
// delays nobody else's notifications and no reply. A thread runs only while its sink has queued
// work (an idle sink costs no thread), so there are never more threads than sinks.
//
// Each notification call is bounded by NotifierOptions::callTimeout. A sink is dropped, and the
// service's proxy of it released, when
//   - a notification call to it fails in any way: its deadline passed, the client could not run it,
//     a limit refused it (so a frozen client is let go once its first notification's deadline
//     has passed);
//   - more than NotifierOptions::maxQueued notifications wait for it (a client that answers, but
//     slower than changes happen, would otherwise make the service hold an ever longer queue);
//   - its connection ends, at once and whether or not anything was to be sent: a call to a
//     vanished client does not fail (a notification has no result that could be missing), so only
//     the end of the connection tells the service that nobody listens any more.
// Every drop is logged through the trace facility with its reason. A client that wants
// notifications again after being dropped registers again.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "aai/aai.h"

namespace example {

struct NotifierOptions {
    // The time one notification call may take. A client that is alive answers a notification in
    // well under a millisecond; five seconds forgive a busy or swapping machine, and are short
    // enough that a frozen client is let go before its queue grows long.
    std::chrono::milliseconds callTimeout{5000};
    // Notifications waiting for one sink at most. A thousand is far more than a client that keeps
    // up ever has waiting (they are sent one after the other as they come), and bounds what a client
    // that does not keep up costs the service: one copy of each change it missed.
    std::size_t maxQueued = 1000;
};

class Notifier {
public:
    using Sink = std::shared_ptr<zel::iface::aai::IUsersAndGroupsNotifications>;
    using Notification = std::function<void(zel::iface::aai::IUsersAndGroupsNotifications&)>;

    explicit Notifier(NotifierOptions options = {});
    // Stops.
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Registers `sink`; once only (the same sink arrives as the same proxy, so registering it
    // again changes nothing). After Stop the sink is let go at once.
    void Add(Sink sink);
    // Unregisters `sink`; what was queued for it is not delivered. False when it was not
    // registered (it was never, or it has been dropped).
    bool Remove(const Sink& sink);
    // Queues `notification` for every sink registered now, and returns without waiting for any.
    void Post(Notification notification);
    // Lets every sink go and returns once every thread of the notifier has ended: at most
    // callTimeout after a sink that does not answer was called. Later posts are ignored.
    void Stop();

    // Sinks registered and not dropped.
    std::size_t SinkCount() const;

private:
    struct State;
    // Shared with the delivering threads and, weakly, with the connections' disconnect callbacks,
    // which may run after the notifier is gone.
    std::shared_ptr<State> state_;
};

}  // namespace example
