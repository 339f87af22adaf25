#pragma once

// The process's one connection to the PipeWire server: one pw_thread_loop, one context, one
// core, and a mirror of the registry (nodes, clients, ports, default devices) that the capture
// streams decide from.
//
// Locking: everything marked "loop lock" is touched only with the thread loop's lock held. The
// loop thread holds it while it runs callbacks; other threads take it with Connection::Lock.
// Nothing blocks the loop thread: waits happen on the calling threads, and callbacks meant for
// the bridges leave the loop thread through deliver().

#include <pipewire/pipewire.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/capture_error.h"
#include "platform/linux/pipewire_graph.h"
#include "platform/process_services.h"

namespace quorvia::platform::pipewire {

inline constexpr std::string_view kErrorDomain = "PipeWire";

// A platform error: "PipeWire: <context>: <message>", where an empty message stands for
// PipeWire's text for `res` (a negative errno), which is also the code.
CaptureError pipewireError(int res, std::string_view context, std::string_view message = {});

class Connection {
public:
    // Told about changes on the loop thread, with the loop lock held.
    class Observer {
    public:
        virtual void graphChanged() = 0;
        virtual void connectionLost(const CaptureError& error) = 0;

    protected:
        ~Observer() = default;
    };

    class Lock {
    public:
        explicit Lock(Connection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        friend class Connection;
        Connection& connection_;
    };

    // Made on first use; never destroyed, since its threads may run until the process ends.
    static Connection& shared();

    // Connects on first use (again after a failed attempt) and returns once the registry and
    // the default devices are known. Not from the loop thread.
    std::optional<CaptureError> ensureConnected();

    // Loop lock. Null before a successful connect.
    pw_core* core() const { return core_; }
    pw_registry* registry() const { return registry_; }
    pw_loop* loop() const;
    const Graph& graph() const { return graph_; }
    // Set once the server connection broke; it is not made again.
    const std::optional<CaptureError>& connectionError() const { return connectionError_; }

    // Loop lock. Observers are called until removed.
    void addObserver(Observer* observer);
    void removeObserver(Observer* observer);

    // Loop lock, not on the loop thread: waits until `done()` holds, the connection breaks or
    // `timeout` passes. Returns done()'s last answer.
    bool waitUntil(Lock& lock, const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Loop lock: wakes every waitUntil() to look again.
    void wakeWaiters();

    // Loop lock: runs `then` on the loop thread once the server has handled everything sent so
    // far.
    void afterServerRoundtrip(std::function<void()> then);

    // Runs `callback` on a thread of its own, in submission order: the way out of the loop
    // thread for everything the bridges are told. Any thread.
    void deliver(std::function<void()> callback);

private:
    struct BoundObject;

    Connection();

    void connectLocked();
    bool roundtrip(Lock& lock);
    void onGlobal(std::uint32_t id, const char* type, const spa_dict* props);
    void onGlobalRemove(std::uint32_t id);
    void onDone(std::uint32_t id, int seq);
    void onError(std::uint32_t id, int res, const char* message);
    void onMetadataProperty(std::uint32_t subject, const char* key, const char* value);
    void bindObject(std::uint32_t id, const char* type, std::uint32_t version, const spa_dict* props);
    void notifyGraphChanged();

    static void globalEvent(void* data, std::uint32_t id, std::uint32_t permissions, const char* type,
                            std::uint32_t version, const spa_dict* props);
    static void globalRemoveEvent(void* data, std::uint32_t id);
    static void doneEvent(void* data, std::uint32_t id, int seq);
    static void errorEvent(void* data, std::uint32_t id, int seq, int res, const char* message);

    // Set in the constructor, never changed.
    pw_thread_loop* threadLoop_ = nullptr;
    pw_context* context_ = nullptr;
    std::shared_ptr<SerialQueue> deliveries_;

    // Loop lock.
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    std::optional<CaptureError> connectionError_;
    Graph graph_;
    std::uint64_t nextOrder_ = 0;
    std::map<std::uint32_t, std::unique_ptr<BoundObject>> bound_;
    std::map<int, std::function<void()>> roundtrips_;  // by the sync's sequence number
    std::vector<Observer*> observers_;
};

}  // namespace quorvia::platform::pipewire
