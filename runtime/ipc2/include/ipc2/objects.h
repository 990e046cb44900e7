// The bases of the objects that cross a connection: a proxy stands for a remote object on this side,
// a stub for a local object on the other side.
#pragma once

#include <functional>
#include <memory>

namespace zel::proglibs::ipc2 {

class ByteStream;
class ConnectionHandler;

class IProxy {
public:
    IProxy() = default;
    virtual ~IProxy();
    // The id of the remote object (its stub's id on the other side).
    virtual int GetId() = 0;
    // Called by the registry each further time the remote object arrives over the connection.
    virtual void IncreaseReferenceCount() = 0;
    // The connection the remote object is reached over; null when the proxy does not say.
    virtual std::shared_ptr<ConnectionHandler> GetConnection();
};

class IStub {
public:
    IStub() = default;
    virtual ~IStub();
    virtual int GetId() = 0;
    // The raw pointer under which the stub was registered.
    virtual void* GetObject() = 0;
    // Dispatches one request (the object id already consumed) and returns the reply; a null reply
    // means the stub could not handle the request.
    virtual std::shared_ptr<ByteStream> Receive(std::shared_ptr<ByteStream> request,
                                                std::shared_ptr<ConnectionHandler> handler) = 0;
    // Called by the registry with its lock held: the stub needs no lock of its own for its count.
    virtual void IncreaseReferenceCount() = 0;
    virtual int DecreaseReferenceCount(int count) = 0;
    // Whether a request or reply of this method may be logged with its payload.
    virtual bool GetSendFlag(int methodId) = 0;
};

using StubFactory =
    std::function<std::shared_ptr<IStub>(void* object, int id, std::shared_ptr<ConnectionHandler>)>;
using ProxyFactory = std::function<std::shared_ptr<IProxy>(int id, std::shared_ptr<ConnectionHandler>)>;

}  // namespace zel::proglibs::ipc2
