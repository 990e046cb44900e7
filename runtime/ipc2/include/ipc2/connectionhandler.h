// One connection as seen from one side: messages out and in, and the objects that live on it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

#include "ipc2/bytestream.h"
#include "ipc2/objects.h"

namespace zel::proglibs::ipc2 {

// Who is on the other side of a connection, as the kernel says (in-process: this process).
struct PeerCredentials {
    pid_t pid = -1;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
};

// Every operation is virtual so that transports and test doubles can implement the class.
// RegistryConnectionHandler (registry.h) implements the object registry for them.
class ConnectionHandler : public std::enable_shared_from_this<ConnectionHandler> {
public:
    virtual ~ConnectionHandler();

    // An empty stream with room for exactly `size` bytes.
    virtual std::shared_ptr<ByteStream> Allocate(int size) = 0;
    // Delivers a request and returns its reply; null when the connection is lost (also when it is
    // lost while waiting). Throws RemoteError when the peer could not process the request,
    // LimitError when a limit of either side refused it (connector.h), and DeadlineError when its
    // deadline passed first (deadline.h).
    virtual std::shared_ptr<ByteStream> Send(std::shared_ptr<ByteStream> request, bool sendFlag) = 0;
    // Delivers a request whose reply nobody reads (a proxy's release): the peer runs it after the
    // requests this thread sent before it, and a transport may return as soon as it is on its way,
    // so that letting a proxy go costs no round trip; its failure is the peer's to log. By
    // default: Send, and Free the reply.
    virtual void Post(std::shared_ptr<ByteStream> request, bool sendFlag);
    // Gives a stream back; it is not read afterwards. Null is allowed.
    virtual void Free(std::shared_ptr<ByteStream> stream) = 0;
    // The module id of a module of the connection's module list.
    virtual unsigned char GetModuleId(std::string module) = 0;
    // True on the side that registered the server.
    virtual bool IsServer() const = 0;

    // The stub registered for (object, typeName), its count raised; or the factory's new stub,
    // registered under a fresh id. Never null.
    virtual std::shared_ptr<IStub> GetOrCreateStub(void* object, std::string typeName, StubFactory factory) = 0;
    // The stub registered under id, or null.
    virtual std::shared_ptr<IStub> GetStub(int id) = 0;
    // The live proxy known for id, its count raised; or the factory's new proxy, registered
    // without being kept alive.
    virtual std::shared_ptr<IProxy> GetOrCreateProxy(int id, ProxyFactory factory) = 0;
    // Forgets the proxy of id, unless a newer live proxy has taken its place.
    virtual void RemoveProxy(int id) = 0;
    // Lowers the stub's count; the stub is dropped when it reaches 0.
    virtual void DecreaseStubReferenceCount(std::shared_ptr<IStub> stub, int count, std::string typeName) = 0;

    // The time a call on this connection may take from now on, unless it is given less
    // (ipc2/deadline.h); until set, the connector's Limits::callTimeoutMs. By default: ignored.
    virtual void SetCallTimeout(std::chrono::milliseconds timeout);

    // Closes the connection: pending and later Sends return null, the stubs are dropped.
    virtual void Close() = 0;
    // False once the connection has ended, for whatever reason; it never comes back (a client
    // connects again for a new one).
    virtual bool IsConnected() const = 0;
    // Calls `callback` once when the connection ends, whatever ended it (Close on either side, the
    // peer gone or frozen past a write's limit, a fault of the peer's), or at once on this thread
    // when it has ended already. It runs after the connection's waiting calls were let go and its
    // stubs dropped, off every lock of the runtime, on the thread that ended the connection (the
    // one that called Close, or one of the connection's own threads when the peer went), so it may
    // call into the runtime, release proxies or connect again; it should not wait for long. An
    // exception it throws is logged. Never called once the handler itself has gone. By default (a
    // connection that cannot end, such as a test double): never called.
    virtual void OnDisconnect(std::function<void()> callback);
    // The process on the other side.
    virtual PeerCredentials GetPeerCredentials() const = 0;
};

// The connection whose request this thread is running (the innermost, when requests nest), or
// null outside any request: an implementation asks it who called, with GetPeerCredentials().
std::shared_ptr<ConnectionHandler> CurrentConnection();

}  // namespace zel::proglibs::ipc2
