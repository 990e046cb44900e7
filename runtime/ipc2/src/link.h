// What a transport is to the rest of the runtime: a link that moves requests to the peer and their
// outcomes back. It holds no policy: limits, the call log, dispatch and the wording of errors are
// its endpoint's (endpoint.h), whichever transport carries the connection.
#pragma once

#include <memory>
#include <string>

#include "ipc2/bytestream.h"
#include "ipc2/connectionhandler.h"
#include "ipc2/deadline.h"

namespace zel::proglibs::ipc2 {

// What became of a request. Small and cheap to move: it is handed along every call's path.
struct Outcome {
    enum class Kind {
        Reply,      // answered: the payload is the result's bytes
        Failed,     // the peer could not process it: the payload is why, as text
        OverLimit,  // a limit of the peer's refused it: the payload says which, as text
        Lost,       // the connection ended before an answer came
        Expired,    // its deadline passed before an answer came; a later one is dropped
    };
    Kind kind = Kind::Lost;
    std::shared_ptr<ByteStream> payload;

    static Outcome Answer(std::shared_ptr<ByteStream> reply) { return {Kind::Reply, std::move(reply)}; }
    static Outcome Failure(const std::string& why) { return {Kind::Failed, TextOf(why)}; }
    static Outcome Refusal(const std::string& why) { return {Kind::OverLimit, TextOf(why)}; }
    // The reason of a failure or a refusal.
    std::string Text() const {
        return payload ? std::string(reinterpret_cast<const char*>(payload->Data()), payload->Size()) : std::string();
    }

private:
    static std::shared_ptr<ByteStream> TextOf(const std::string& why) {
        return std::make_shared<ByteStream>(why.data(), why.size());
    }
};

class Link {
public:
    virtual ~Link();

    // Delivers a request made at `depth` of its chain and waits for its outcome, until `deadline`
    // at the latest (time_point::max(): without one).
    virtual Outcome Exchange(const std::shared_ptr<ByteStream>& request, int depth, Clock::time_point deadline) = 0;
    // Delivers a one-way request: nothing answers it, and it may still be on its way on return.
    virtual void Post(const std::shared_ptr<ByteStream>& request, int depth) = 0;
    // Ends the connection for both sides and returns once this side has let go of it (except on a
    // thread of the link's own, which cannot wait for itself). `reason` goes to the trace.
    virtual void Close(const std::string& reason) = 0;
    // Ends the connection without waiting: it is let go of in the background.
    virtual void Shutdown(const std::string& reason) = 0;
    virtual bool IsOpen() const noexcept = 0;
    virtual PeerCredentials Peer() const = 0;
};

}  // namespace zel::proglibs::ipc2
