#include "platform/linux/pipewire_connection.h"

#include <pipewire/extensions/metadata.h>
#include <spa/utils/json.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/linux/signals_blocked.h"

namespace quorvia::platform::pipewire {
namespace {

constexpr std::chrono::milliseconds kServerAnswerTimeout{5000};

Properties propertiesOf(const spa_dict* dict) {
    Properties props;
    if (dict == nullptr) {
        return props;
    }
    for (std::uint32_t i = 0; i < dict->n_items; ++i) {
        const auto& item = dict->items[i];
        if (item.key != nullptr && item.value != nullptr) {
            props[item.key] = item.value;
        }
    }
    return props;
}

// The "default" metadata holds values like {"name":"alsa_output.pci-0000_00_1f.3.analog-stereo"}.
std::string nodeNameFromJson(const char* value) {
    if (value == nullptr) {
        return {};
    }
    spa_json outer;
    spa_json object;
    spa_json_init(&outer, value, std::strlen(value));
    if (spa_json_enter_object(&outer, &object) <= 0) {
        return {};
    }
    char key[64];
    while (spa_json_get_string(&object, key, sizeof key) > 0) {
        if (std::strcmp(key, "name") == 0) {
            char name[512];
            if (spa_json_get_string(&object, name, sizeof name) > 0) {
                return name;
            }
            return {};
        }
        const char* skipped = nullptr;
        if (spa_json_next(&object, &skipped) <= 0) {
            return {};
        }
    }
    return {};
}

}  // namespace

CaptureError pipewireError(int res, std::string_view context, std::string_view message) {
    std::string text = "PipeWire: ";
    text += context;
    text += ": ";
    if (message.empty()) {
        text += spa_strerror(res);
    } else {
        text += message;
    }
    return CaptureError{.domain = std::string(kErrorDomain), .code = res, .localizedDescription = std::move(text)};
}

// A registry object we bound to learn its full properties.
struct Connection::BoundObject {
    Connection* owner = nullptr;
    std::uint32_t id = 0;
    pw_proxy* proxy = nullptr;
    spa_hook objectListener{};

    ~BoundObject() {
        spa_hook_remove(&objectListener);
        pw_proxy_destroy(proxy);
    }
};

Connection::Lock::Lock(Connection& connection) : connection_(connection) {
    pw_thread_loop_lock(connection_.threadLoop_);
}

Connection::Lock::~Lock() { pw_thread_loop_unlock(connection_.threadLoop_); }

Connection& Connection::shared() {
    static Connection* const connection = new Connection();
    return *connection;
}

Connection::Connection() {
    static std::once_flag initialized;
    std::call_once(initialized, [] { pw_init(nullptr, nullptr); });
    deliveries_ = systemProcessServices().makeSerialQueue("pipewire.events");
    // The loop thread and the data thread the context starts inherit this mask.
    const AsyncSignalsBlocked blocked;
    threadLoop_ = pw_thread_loop_new("pipewire-loop", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(threadLoop_), nullptr, 0);
    pw_thread_loop_start(threadLoop_);
}

pw_loop* Connection::loop() const { return pw_thread_loop_get_loop(threadLoop_); }

std::optional<CaptureError> Connection::ensureConnected() {
    Lock lock(*this);
    if (core_ != nullptr) {
        return connectionError_;
    }
    if (context_ == nullptr) {
        return pipewireError(-ENOMEM, "cannot start the client");
    }
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) {
        return pipewireError(-errno, "cannot connect to the audio server");
    }
    static const pw_core_events coreEvents = {
        .version = PW_VERSION_CORE_EVENTS,
        .info = nullptr,
        .done = &Connection::doneEvent,
        .ping = nullptr,
        .error = &Connection::errorEvent,
        .remove_id = nullptr,
        .bound_id = nullptr,
        .add_mem = nullptr,
        .remove_mem = nullptr,
    };
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);

    static const pw_registry_events registryEvents = {
        .version = PW_VERSION_REGISTRY_EVENTS,
        .global = &Connection::globalEvent,
        .global_remove = &Connection::globalRemoveEvent,
    };
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);

    // The first roundtrip brings every global (each bound as it comes), the second the bound
    // objects' full properties and the default devices.
    if (!roundtrip(lock) || !roundtrip(lock)) {
        if (!connectionError_) {
            connectionError_ = pipewireError(-ETIMEDOUT, "the audio server does not answer");
        }
        return connectionError_;
    }
    return std::nullopt;
}

bool Connection::roundtrip(Lock& lock) {
    auto finished = std::make_shared<bool>(false);
    afterServerRoundtrip([this, finished] {
        *finished = true;
        wakeWaiters();
    });
    return waitUntil(lock, [finished] { return *finished; }, kServerAnswerTimeout);
}

void Connection::addObserver(Observer* observer) { observers_.push_back(observer); }

void Connection::removeObserver(Observer* observer) { std::erase(observers_, observer); }

bool Connection::waitUntil(Lock& /*lock*/, const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    timespec deadline{};
    pw_thread_loop_get_time(threadLoop_, &deadline,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count());
    while (!done() && !connectionError_) {
        if (pw_thread_loop_timed_wait_full(threadLoop_, &deadline) != 0) {
            break;
        }
    }
    return done();
}

void Connection::wakeWaiters() { pw_thread_loop_signal(threadLoop_, false); }

void Connection::afterServerRoundtrip(std::function<void()> then) {
    if (core_ == nullptr) {
        return;
    }
    const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
    if (seq >= 0) {
        roundtrips_[seq] = std::move(then);
    }
}

void Connection::deliver(std::function<void()> callback) { deliveries_->async(std::move(callback)); }

void Connection::globalEvent(void* data, std::uint32_t id, std::uint32_t /*permissions*/, const char* type,
                             std::uint32_t version, const spa_dict* props) {
    auto* self = static_cast<Connection*>(data);
    self->onGlobal(id, type, props);
    self->bindObject(id, type, version, props);
}

void Connection::globalRemoveEvent(void* data, std::uint32_t id) { static_cast<Connection*>(data)->onGlobalRemove(id); }

void Connection::doneEvent(void* data, std::uint32_t id, int seq) { static_cast<Connection*>(data)->onDone(id, seq); }

void Connection::errorEvent(void* data, std::uint32_t id, int /*seq*/, int res, const char* message) {
    static_cast<Connection*>(data)->onError(id, res, message);
}

void Connection::onGlobal(std::uint32_t id, const char* type, const spa_dict* props) {
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        graph_.nodes[id] = GraphNode{.id = id, .order = nextOrder_++, .props = propertiesOf(props), .described = false};
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        graph_.clients[id] = GraphClient{.id = id, .order = nextOrder_++, .props = propertiesOf(props), .described = false};
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        const auto portProps = propertiesOf(props);
        GraphPort port{.id = id};
        const auto nodeId = property(portProps, PW_KEY_NODE_ID);
        port.nodeId = static_cast<std::uint32_t>(std::strtoul(std::string(nodeId).c_str(), nullptr, 10));
        port.isOutput = property(portProps, PW_KEY_PORT_DIRECTION) == "out";
        port.isMonitor = property(portProps, PW_KEY_PORT_MONITOR) == "true";
        port.channel = std::string(property(portProps, PW_KEY_AUDIO_CHANNEL));
        graph_.ports[id] = std::move(port);
        notifyGraphChanged();
    }
}

void Connection::bindObject(std::uint32_t id, const char* type, std::uint32_t version, const spa_dict* props) {
    const bool isNode = std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0;
    const bool isClient = std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0;
    // Only the "default" metadata names the default devices; the others are not our business.
    const bool isDefaultMetadata = std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 &&
                                   property(propertiesOf(props), PW_KEY_METADATA_NAME) == "default";
    if (!isNode && !isClient && !isDefaultMetadata) {
        return;
    }

    auto object = std::make_unique<BoundObject>();
    object->owner = this;
    object->id = id;

    if (isNode) {
        static const pw_node_events nodeEvents = {
            .version = PW_VERSION_NODE_EVENTS,
            .info =
                [](void* data, const pw_node_info* info) {
                    auto* bound = static_cast<BoundObject*>(data);
                    auto& graph = bound->owner->graph_;
                    const auto node = graph.nodes.find(bound->id);
                    if (node == graph.nodes.end() || info == nullptr) {
                        return;
                    }
                    if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0 || !node->second.described) {
                        for (auto& [key, value] : propertiesOf(info->props)) {
                            node->second.props[key] = std::move(value);
                        }
                        node->second.described = true;
                        bound->owner->notifyGraphChanged();
                    }
                },
            .param = nullptr,
        };
        object->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Node, std::min<std::uint32_t>(version, PW_VERSION_NODE), 0));
        if (object->proxy == nullptr) {
            return;
        }
        pw_proxy_add_object_listener(object->proxy, &object->objectListener, &nodeEvents, object.get());
    } else if (isClient) {
        static const pw_client_events clientEvents = {
            .version = PW_VERSION_CLIENT_EVENTS,
            .info =
                [](void* data, const pw_client_info* info) {
                    auto* bound = static_cast<BoundObject*>(data);
                    auto& graph = bound->owner->graph_;
                    const auto client = graph.clients.find(bound->id);
                    if (client == graph.clients.end() || info == nullptr) {
                        return;
                    }
                    for (auto& [key, value] : propertiesOf(info->props)) {
                        client->second.props[key] = std::move(value);
                    }
                    client->second.described = true;
                    bound->owner->notifyGraphChanged();
                },
            .permissions = nullptr,
        };
        object->proxy = static_cast<pw_proxy*>(pw_registry_bind(
            registry_, id, PW_TYPE_INTERFACE_Client, std::min<std::uint32_t>(version, PW_VERSION_CLIENT), 0));
        if (object->proxy == nullptr) {
            return;
        }
        pw_proxy_add_object_listener(object->proxy, &object->objectListener, &clientEvents, object.get());
    } else {
        static const pw_metadata_events metadataEvents = {
            .version = PW_VERSION_METADATA_EVENTS,
            .property = [](void* data, std::uint32_t subject, const char* key, const char* /*type*/,
                           const char* value) -> int {
                auto* bound = static_cast<BoundObject*>(data);
                bound->owner->onMetadataProperty(subject, key, value);
                return 0;
            },
        };
        object->proxy = static_cast<pw_proxy*>(pw_registry_bind(
            registry_, id, PW_TYPE_INTERFACE_Metadata, std::min<std::uint32_t>(version, PW_VERSION_METADATA), 0));
        if (object->proxy == nullptr) {
            return;
        }
        pw_proxy_add_object_listener(object->proxy, &object->objectListener, &metadataEvents, object.get());
    }
    bound_[id] = std::move(object);
}

void Connection::onGlobalRemove(std::uint32_t id) {
    bound_.erase(id);
    const bool removed = graph_.nodes.erase(id) + graph_.clients.erase(id) + graph_.ports.erase(id) > 0;
    if (removed) {
        notifyGraphChanged();
    }
}

void Connection::onDone(std::uint32_t id, int seq) {
    if (id != PW_ID_CORE) {
        return;
    }
    const auto found = roundtrips_.find(seq);
    if (found == roundtrips_.end()) {
        return;
    }
    auto then = std::move(found->second);
    roundtrips_.erase(found);
    then();
}

void Connection::onError(std::uint32_t id, int res, const char* message) {
    // Errors about single objects (a refused link, say) reach those objects' own listeners;
    // only a broken connection ends everything.
    if (id != PW_ID_CORE || res != -EPIPE || connectionError_) {
        return;
    }
    std::string reason = message != nullptr ? message : "";
    reason += reason.empty() ? spa_strerror(res) : std::string(" (") + spa_strerror(res) + ")";
    connectionError_ = pipewireError(res, "lost the audio server", reason);
    const auto observers = observers_;
    for (auto* observer : observers) {
        if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end()) {
            observer->connectionLost(*connectionError_);
        }
    }
    wakeWaiters();
}

void Connection::onMetadataProperty(std::uint32_t subject, const char* key, const char* value) {
    if (subject != PW_ID_CORE) {
        return;
    }
    if (key == nullptr) {
        // Everything of the subject was removed.
        graph_.defaultSinkName.clear();
        graph_.defaultSourceName.clear();
    } else if (std::strcmp(key, "default.audio.sink") == 0) {
        graph_.defaultSinkName = nodeNameFromJson(value);
    } else if (std::strcmp(key, "default.audio.source") == 0) {
        graph_.defaultSourceName = nodeNameFromJson(value);
    } else {
        return;
    }
    notifyGraphChanged();
}

void Connection::notifyGraphChanged() {
    const auto observers = observers_;
    for (auto* observer : observers) {
        if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end()) {
            observer->graphChanged();
        }
    }
    wakeWaiters();
}

}  // namespace quorvia::platform::pipewire
