#include "notifier.h"

#include <unistd.h>

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "ipc2/deadline.h"
#include "ipc2/errors.h"
#include "trace/trace.h"

namespace example {

namespace aai = zel::iface::aai;
namespace ipc2 = zel::proglibs::ipc2;

namespace {

// One registration. Everything but the constants is guarded by the state's mutex.
struct Entry {
    Entry(std::uint64_t id, Notifier::Sink sink, pid_t peer) : id(id), peer(peer), sink(std::move(sink)) {}
    const std::uint64_t id;
    const pid_t peer;  // for the log: which client a dropped sink belonged to
    Notifier::Sink sink;
    // Shared by every sink the notification was posted to: one copy of each change.
    std::deque<std::shared_ptr<const Notifier::Notification>> queue;
    bool delivering = false;  // a thread is delivering the queue
    bool dropped = false;
};

// A delivering thread; `done` once it has let go of everything it held, so that joining it never
// waits for more than its return.
struct Worker {
    std::thread thread;
    bool done = false;
};

// What dropping an entry took from it: released after the mutex, since releasing a proxy is a
// message to its client.
struct Detached {
    Notifier::Sink sink;
    std::deque<std::shared_ptr<const Notifier::Notification>> queue;
    pid_t peer = -1;
    std::string reason;  // empty: unregistered or stopped, which is not worth a log line
};

void Log(const Detached& dropped) {
    if (dropped.reason.empty()) return;
    dus_trc_log(__FILE__, __LINE__, "Notifier", "example",
                dus_trc_msg("dropped the notification sink of client process %d: %s", static_cast<int>(dropped.peer),
                            dropped.reason.c_str()));
}

// Shared with the thread itself, which marks it done after its list may have let it go.
using Workers = std::list<std::shared_ptr<Worker>>;

void JoinAll(Workers& workers) {
    for (auto& worker : workers) {
        if (!worker->thread.joinable()) continue;
        // A delivering thread may itself end up stopping the notifier (the last owner of the service
        // let go from a callback it runs); it cannot wait for itself, and ends right after.
        if (worker->thread.get_id() == std::this_thread::get_id()) {
            worker->thread.detach();
        } else {
            worker->thread.join();
        }
    }
    workers.clear();
}

}  // namespace

struct Notifier::State : std::enable_shared_from_this<Notifier::State> {
    explicit State(NotifierOptions options) : options(options) {}

    // Takes the entry out of the registrations, with the reason it goes. Under the mutex. By
    // value: the registrations may hold the last reference.
    Detached DetachLocked(std::shared_ptr<Entry> entry, std::string reason) {
        sinks.erase(entry->id);
        entry->dropped = true;
        Detached out{std::move(entry->sink), std::move(entry->queue), entry->peer, std::move(reason)};
        entry->queue.clear();
        return out;
    }

    void Drop(std::uint64_t id, std::string reason) {
        std::optional<Detached> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = sinks.find(id);
            if (it == sinks.end()) return;
            dropped = DetachLocked(it->second, std::move(reason));
        }
        Log(*dropped);
    }

    // Joins the threads that have finished, off the mutex: they hold nothing any more, so this is
    // quick, and it keeps ended threads from piling up between stops.
    void Reap() {
        Workers finished;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto it = workers.begin(); it != workers.end();) {
                auto next = std::next(it);
                if ((*it)->done) finished.splice(finished.end(), workers, it);
                it = next;
            }
        }
        JoinAll(finished);
    }

    // Starts the thread that delivers `entry`'s queue. Under the mutex. False when no thread could
    // be started.
    bool StartDeliveringLocked(const std::shared_ptr<Entry>& entry) {
        auto worker = std::make_shared<Worker>();
        try {
            worker->thread = std::thread([self = shared_from_this(), entry, worker]() mutable {
                self->Deliver(std::move(entry));
                self->Finished(*worker);
            });
        } catch (const std::system_error&) {
            return false;
        }
        workers.push_back(std::move(worker));
        entry->delivering = true;
        return true;
    }

    // The body of a delivering thread: one notification at a time, in order, until the queue is
    // empty or the sink is dropped. Takes `entry` by value so that it is let go on return.
    void Deliver(std::shared_ptr<Entry> entry) {
        for (;;) {
            std::shared_ptr<const Notification> next;
            Sink sink;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (entry->dropped || entry->queue.empty()) {
                    entry->delivering = false;
                    return;
                }
                next = std::move(entry->queue.front());
                entry->queue.pop_front();
                sink = entry->sink;
            }
            std::optional<std::string> failure;
            try {
                ipc2::CallDeadline deadline(options.callTimeout);
                (*next)(*sink);
            } catch (const ipc2::DeadlineError& e) {
                failure = "a notification got no answer within " + std::to_string(options.callTimeout.count()) +
                          " ms: " + e.what();
            } catch (const std::exception& e) {
                failure = std::string("a notification failed: ") + e.what();
            } catch (...) {
                failure = "a notification failed with an unknown exception";
            }
            if (failure) {
                Drop(entry->id, std::move(*failure));
                return;
            }
        }
    }

    void Finished(Worker& worker) {
        std::lock_guard<std::mutex> lock(mutex);
        worker.done = true;
    }

    const NotifierOptions options;
    mutable std::mutex mutex;
    bool stopped = false;
    std::uint64_t nextId = 1;
    // By id, which grows with each registration: sinks are notified in the order they registered.
    std::map<std::uint64_t, std::shared_ptr<Entry>> sinks;
    Workers workers;
};

Notifier::Notifier(NotifierOptions options) : state_(std::make_shared<State>(options)) {}

Notifier::~Notifier() { Stop(); }

void Notifier::Add(Sink sink) {
    if (!sink) return;
    state_->Reap();
    const auto connection = aai::ConnectionOf(sink);
    const pid_t peer = connection ? connection->GetPeerCredentials().pid : ::getpid();
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->stopped) return;  // `sink` is let go here, off the mutex
        for (const auto& [existing, entry] : state_->sinks) {
            if (entry->sink == sink) return;
        }
        id = state_->nextId++;
        state_->sinks.emplace(id, std::make_shared<Entry>(id, std::move(sink), peer));
    }
    // Registered after the entry, off the mutex: the callback runs at once when the connection has
    // ended already. It names the entry by id and holds the state weakly, since it may run on any
    // thread after the notifier has gone, and holding the proxy would keep it alive with its
    // connection. It stays with the connection after an unregistration, and finds nothing then.
    if (connection) {
        connection->OnDisconnect([weak = std::weak_ptr<State>(state_), id] {
            if (auto state = weak.lock()) state->Drop(id, "its connection ended");
        });
    }
}

bool Notifier::Remove(const Sink& sink) {
    std::optional<Detached> removed;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        for (const auto& [id, entry] : state_->sinks) {
            if (entry->sink == sink) {
                removed = state_->DetachLocked(entry, {});
                break;
            }
        }
    }
    state_->Reap();
    return removed.has_value();
}

void Notifier::Post(Notification notification) {
    state_->Reap();
    const auto shared = std::make_shared<const Notification>(std::move(notification));
    std::vector<Detached> dropped;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->stopped) return;
        std::vector<std::shared_ptr<Entry>> overflowing, threadless;
        for (const auto& [id, entry] : state_->sinks) {
            if (entry->queue.size() >= state_->options.maxQueued) {
                overflowing.push_back(entry);
                continue;
            }
            entry->queue.push_back(shared);
            if (!entry->delivering && !state_->StartDeliveringLocked(entry)) threadless.push_back(entry);
        }
        for (const auto& entry : overflowing) {
            dropped.push_back(state_->DetachLocked(
                entry, "more than " + std::to_string(state_->options.maxQueued) + " notifications were waiting for it"));
        }
        for (const auto& entry : threadless) {
            dropped.push_back(state_->DetachLocked(entry, "no thread could be started to deliver its notifications"));
        }
    }
    // This request waits for no client: a sink dropped while its thread is in a call is let go by
    // that thread when the call returns, and any other is let go here with a one-way release,
    // which nobody answers.
    for (const auto& d : dropped) Log(d);
}

void Notifier::Stop() {
    std::vector<Detached> released;
    Workers workers;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopped = true;
        while (!state_->sinks.empty()) released.push_back(state_->DetachLocked(state_->sinks.begin()->second, {}));
        workers.splice(workers.end(), state_->workers);
    }
    released.clear();
    JoinAll(workers);
}

std::size_t Notifier::SinkCount() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->sinks.size();
}

}  // namespace example
