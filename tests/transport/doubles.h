// Hand-made stand-ins for what the generated binding provides: a connector that serves and
// connects, and one small interface ("Service") with a proxy and a stub that speak the request
// format (object id, module, method id, arguments) and pass object references the way the binding
// does (the sender raises its stub's count, the receiver finds or makes a proxy).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ipc2/ipc2.h"
#include "wait.h"

namespace transport_test {

namespace ipc2 = zel::proglibs::ipc2;
using ipc2::ByteStream;
using ipc2::ConnectionHandler;

constexpr const char* kModule = "svc";
constexpr const char* kType = "Service";

enum Method : int {
    kEcho = 1,          // string -> string
    kFail = 2,          // the implementation throws
    kNoReply = 3,       // the stub answers with no reply
    kPing = 4,          // (n, caller reference) -> depth reached; calls the caller back while n > 0
    kSecret = 5,        // string -> int; never logged with its payload
    kCloseConnection = 6,
    kRelease = 7,       // int count: the proxy gives its references back
    kSleep = 8,         // int ms: sleeps that long, then replies with it
    kRemaining = 9,     // -> the ms the request may still take (CurrentCall), -1 for no deadline
    kAwaitCancel = 10,  // waits (at most 5 s) for its caller to give up, then tries a nested call;
                        // the outcome goes to Service::cancelOutcome
};

// The implementation behind a stub.
struct Service {
    std::atomic<int> limitErrorsSeen{0};
    std::atomic<int> secretsReceived{0};
    std::atomic<int> sleeping{0};  // kSleep and kAwaitCancel calls under way
    // kAwaitCancel's: 0 not yet, 1 never cancelled, 2 cancelled but its nested call went out,
    // 3 cancelled and its nested call failed at once with DeadlineError
    std::atomic<int> cancelOutcome{0};
};

class ServiceStub;
class ServiceProxy;

std::shared_ptr<ipc2::IStub> MakeServiceStub(void* object, int id, std::shared_ptr<ConnectionHandler> handler);

inline std::shared_ptr<ipc2::IProxy> MakeServiceProxy(int id, std::shared_ptr<ConnectionHandler> handler);

class ServiceProxy : public ipc2::IProxy {
public:
    ServiceProxy(int id, std::shared_ptr<ConnectionHandler> handler)
        : id_(id), handler_(std::move(handler)), module_(handler_->GetModuleId(kModule)) {}

    // Gives the references back and leaves the registry, as a generated proxy does.
    ~ServiceProxy() override {
        try {
            auto request = Request(kRelease, 4);
            ipc2::wire::PutInt(*request, count_.load());
            handler_->Post(request, true);
        } catch (...) {
            // a release that cannot be delivered is dropped with the connection
        }
        handler_->RemoveProxy(id_);
    }

    int GetId() override { return id_; }
    void IncreaseReferenceCount() override { ++count_; }
    int Count() const { return count_.load(); }
    const std::shared_ptr<ConnectionHandler>& Handler() const { return handler_; }

    // Null when the connection is lost.
    std::shared_ptr<ByteStream> Call(int method, const std::string& text, bool sendFlag = true) {
        auto request = Request(method, ipc2::wire::SizeOfString(text));
        ipc2::wire::PutString(*request, text);
        return handler_->Send(request, sendFlag);
    }

    // A method of one int argument and an int result; throws on a lost connection.
    int CallInt(int method, int argument) {
        auto request = Request(method, 4);
        ipc2::wire::PutInt(*request, argument);
        auto reply = handler_->Send(request, true);
        if (!reply) throw std::runtime_error("connection lost");
        return ipc2::wire::GetInt(*reply);
    }

    std::string Echo(const std::string& text) {
        auto reply = Call(kEcho, text);
        if (!reply) throw std::runtime_error("connection lost");
        return ipc2::wire::GetString(*reply);
    }

    // `self` is the caller's object, passed by reference so that the callee can call it back.
    int Ping(int n, void* self) {
        auto request = Request(kPing, 8);
        ipc2::wire::PutInt(*request, n);
        auto stub = handler_->GetOrCreateStub(self, kType, MakeServiceStub);
        ipc2::wire::PutInt(*request, stub->GetId());
        auto reply = handler_->Send(request, true);
        if (!reply) throw std::runtime_error("connection lost");
        return ipc2::wire::GetInt(*reply);
    }

    std::shared_ptr<ByteStream> Request(int method, int argumentBytes) {
        auto request = handler_->Allocate(9 + argumentBytes);
        ipc2::wire::PutInt(*request, id_);
        ipc2::wire::PutByte(*request, module_);
        ipc2::wire::PutInt(*request, method);
        return request;
    }

private:
    int id_;
    std::shared_ptr<ConnectionHandler> handler_;
    unsigned char module_;
    std::atomic<int> count_{1};
};

inline std::shared_ptr<ipc2::IProxy> MakeServiceProxy(int id, std::shared_ptr<ConnectionHandler> handler) {
    return std::make_shared<ServiceProxy>(id, std::move(handler));
}

inline std::shared_ptr<ServiceProxy> ProxyFor(const std::shared_ptr<ConnectionHandler>& handler, int id) {
    return std::static_pointer_cast<ServiceProxy>(handler->GetOrCreateProxy(id, MakeServiceProxy));
}

class ServiceStub : public ipc2::IStub {
public:
    static inline std::atomic<int> alive{0};

    ServiceStub(Service* service, int id, std::shared_ptr<ConnectionHandler> handler)
        : service_(service), id_(id), handler_(std::move(handler)), module_(handler_->GetModuleId(kModule)) {
        ++alive;
    }
    ~ServiceStub() override { --alive; }

    int GetId() override { return id_; }
    void* GetObject() override { return service_; }
    void IncreaseReferenceCount() override { ++count_; }
    int DecreaseReferenceCount(int count) override { return count_ -= count; }
    bool GetSendFlag(int methodId) override { return methodId != kSecret; }

    std::shared_ptr<ByteStream> Receive(std::shared_ptr<ByteStream> request,
                                        std::shared_ptr<ConnectionHandler> handler) override {
        if (ipc2::wire::GetByte(*request) != module_) throw std::runtime_error("wrong module");
        switch (ipc2::wire::GetInt(*request)) {
        case kEcho: {
            std::string text = ipc2::wire::GetString(*request);
            auto reply = handler->Allocate(ipc2::wire::SizeOfString(text));
            ipc2::wire::PutString(*reply, text);
            return reply;
        }
        case kFail:
            throw std::runtime_error("implementation failed: boom");
        case kNoReply:
            return nullptr;
        case kPing:
            return Ping(*request, handler);
        case kSecret: {
            ipc2::wire::GetString(*request);
            ++service_->secretsReceived;
            return IntReply(handler, 1);
        }
        case kCloseConnection:
            handler->Close();
            return IntReply(handler, 0);
        case kSleep: {
            const int ms = ipc2::wire::GetInt(*request);
            ++service_->sleeping;
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            --service_->sleeping;
            return IntReply(handler, ms);
        }
        case kAwaitCancel: {
            ++service_->sleeping;
            WaitUntil([] { return ipc2::CurrentCall::Cancelled(); }, std::chrono::seconds(5));
            int outcome = 1;
            if (ipc2::CurrentCall::Cancelled()) {
                try {
                    auto nested = handler->Allocate(9);
                    ipc2::wire::PutInt(*nested, 0);
                    ipc2::wire::PutByte(*nested, module_);
                    ipc2::wire::PutInt(*nested, kEcho);
                    handler->Send(nested, true);
                    outcome = 2;
                } catch (const ipc2::DeadlineError&) {
                    outcome = 3;
                } catch (...) {
                    outcome = 2;
                }
            }
            service_->cancelOutcome = outcome;
            // An answer right at the deadline may still reach a caller that has not yet looked at
            // the clock; this one comes when the caller has surely gone.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            --service_->sleeping;
            return IntReply(handler, outcome);
        }
        case kRemaining: {
            const auto left = ipc2::CurrentCall::Remaining();
            if (left == ipc2::Clock::duration::max()) return IntReply(handler, -1);
            return IntReply(handler, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
        }
        case kRelease: {
            int count = ipc2::wire::GetInt(*request);
            handler->DecreaseStubReferenceCount(handler->GetStub(id_), count, kType);
            return handler->Allocate(0);
        }
        default:
            return nullptr;
        }
    }

private:
    static std::shared_ptr<ByteStream> IntReply(const std::shared_ptr<ConnectionHandler>& handler, int v) {
        auto reply = handler->Allocate(4);
        ipc2::wire::PutInt(*reply, v);
        return reply;
    }

    std::shared_ptr<ByteStream> Ping(ByteStream& request, const std::shared_ptr<ConnectionHandler>& handler) {
        const int n = ipc2::wire::GetInt(request);
        const int callerId = ipc2::wire::GetInt(request);
        auto caller = ProxyFor(handler, callerId);
        if (n == 0) return IntReply(handler, 0);
        try {
            return IntReply(handler, caller->Ping(n - 1, service_) + 1);
        } catch (const ipc2::LimitError&) {
            ++service_->limitErrorsSeen;
            throw;
        }
    }

    Service* service_;
    int id_;
    std::shared_ptr<ConnectionHandler> handler_;
    unsigned char module_;
    int count_ = 1;
};

inline std::shared_ptr<ipc2::IStub> MakeServiceStub(void* object, int id, std::shared_ptr<ConnectionHandler> handler) {
    return std::make_shared<ServiceStub>(static_cast<Service*>(object), id, std::move(handler));
}

// The binding's connector in miniature: serves a Service or connects to one, and records the
// connections it is told about.
class TestConnector : public ipc2::Connector {
public:
    static std::shared_ptr<TestConnector> Create() { return std::shared_ptr<TestConnector>(new TestConnector); }

    // An address (the server's socket) goes by the socket even to a server in this process.
    std::shared_ptr<ConnectionHandler> Connect(const std::string& name, std::vector<std::string> modules = {kModule},
                                               const std::string& address = "") {
        return ConnectImpl(name, address, std::move(modules));
    }
    void Serve(const std::string& name, Service* root, bool exclusive = true,
               std::vector<std::string> modules = {kModule}, ipc2::StubFactory factory = MakeServiceStub) {
        RegisterServerImpl(name, exclusive, kType, root, std::move(factory), std::move(modules));
    }
    void StopServing() { UnregisterServerImpl(); }
    void Checksum(const std::string& checksum) { SetProtocolChecksum(checksum); }

    void ClientConnected(std::shared_ptr<ConnectionHandler> handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_.push_back(handler);
    }
    void Disconnected(std::shared_ptr<ConnectionHandler> handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        disconnected_.push_back(handler);
    }

    std::vector<std::shared_ptr<ConnectionHandler>> ConnectedHandlers() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return connected_;
    }
    std::vector<std::shared_ptr<ConnectionHandler>> DisconnectedHandlers() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return disconnected_;
    }
    void Forget() {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_.clear();
        disconnected_.clear();
    }

private:
    TestConnector() = default;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<ConnectionHandler>> connected_;
    std::vector<std::shared_ptr<ConnectionHandler>> disconnected_;
};

}  // namespace transport_test
