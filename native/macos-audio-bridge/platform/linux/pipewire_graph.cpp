#include "platform/linux/pipewire_graph.h"

#include <algorithm>
#include <charconv>

namespace quorvia::platform::pipewire {
namespace {

constexpr std::string_view kPortalAppId = "pipewire.access.portal.app_id";
constexpr std::string_view kApplicationId = "application.id";
constexpr std::string_view kProcessId = "application.process.id";
constexpr std::string_view kSecurePid = "pipewire.sec.pid";
constexpr std::string_view kObjectSerial = "object.serial";
constexpr std::string_view kLinkGroup = "node.link-group";

std::optional<long long> parseInteger(std::string_view text) {
    long long value = 0;
    const auto* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || rest != end || text.empty()) {
        return std::nullopt;
    }
    return value;
}

bool isPid(std::string_view text, pid_t pid) {
    const auto value = parseInteger(text);
    return value && *value == static_cast<long long>(pid);
}

bool isLeftSide(std::string_view channel) {
    return channel == "FL" || channel == "RL" || channel == "SL" || channel == "FLC" || channel == "TFL" ||
           channel == "TRL" || channel == "FLW" || channel == "RLC" || channel == "TSL";
}

bool isRightSide(std::string_view channel) {
    return channel == "FR" || channel == "RR" || channel == "SR" || channel == "FRC" || channel == "TFR" ||
           channel == "TRR" || channel == "FRW" || channel == "RRC" || channel == "TSR";
}

}  // namespace

const GraphNode* Graph::node(std::uint32_t id) const {
    const auto found = nodes.find(id);
    return found == nodes.end() ? nullptr : &found->second;
}

const GraphClient* Graph::clientOf(const GraphNode& graphNode) const {
    const auto clientId = parseInteger(property(graphNode.props, "client.id"));
    if (!clientId || *clientId < 0) {
        return nullptr;
    }
    const auto found = clients.find(static_cast<std::uint32_t>(*clientId));
    return found == clients.end() ? nullptr : &found->second;
}

const GraphNode* Graph::nodeNamed(std::string_view name) const {
    for (const auto& [id, graphNode] : nodes) {
        if (property(graphNode.props, "node.name") == name) {
            return &graphNode;
        }
    }
    return nullptr;
}

std::string_view property(const Properties& props, std::string_view key) {
    const auto found = props.find(key);
    return found == props.end() ? std::string_view{} : std::string_view{found->second};
}

bool hasMediaClass(const GraphNode& node, std::string_view mediaClass) {
    return property(node.props, "media.class") == mediaClass;
}

std::vector<std::uint32_t> sinksDefaultFirst(const Graph& graph) {
    std::vector<const GraphNode*> sinks;
    for (const auto& [id, node] : graph.nodes) {
        if (hasMediaClass(node, kMediaClassSink)) {
            sinks.push_back(&node);
        }
    }
    std::sort(sinks.begin(), sinks.end(), [](const GraphNode* a, const GraphNode* b) { return a->order < b->order; });
    // stable_partition keeps the server's order among the others.
    std::stable_partition(sinks.begin(), sinks.end(), [&graph](const GraphNode* sink) {
        return !graph.defaultSinkName.empty() && property(sink->props, "node.name") == graph.defaultSinkName;
    });
    std::vector<std::uint32_t> ids;
    ids.reserve(sinks.size());
    for (const auto* sink : sinks) {
        ids.push_back(sink->id);
    }
    return ids;
}

std::string applicationIdentifier(const Graph& graph, const GraphNode& node) {
    const auto* client = graph.clientOf(node);
    for (const auto key : {kPortalAppId, kApplicationId}) {
        if (const auto value = property(node.props, key); !value.empty()) {
            return std::string(value);
        }
        if (client) {
            if (const auto value = property(client->props, key); !value.empty()) {
                return std::string(value);
            }
        }
    }
    return {};
}

bool belongsToProcess(const Graph& graph, const GraphNode& node, pid_t pid) {
    if (isPid(property(node.props, kProcessId), pid)) {
        return true;
    }
    const auto* client = graph.clientOf(node);
    if (!client) {
        return false;
    }
    return isPid(property(client->props, kSecurePid), pid) || isPid(property(client->props, kProcessId), pid);
}

std::vector<ApplicationClient> runningApplications(const Graph& graph) {
    std::vector<const GraphNode*> playback;
    for (const auto& [id, node] : graph.nodes) {
        if (hasMediaClass(node, kMediaClassPlayback)) {
            playback.push_back(&node);
        }
    }
    std::sort(playback.begin(), playback.end(),
              [](const GraphNode* a, const GraphNode* b) { return a->order < b->order; });
    std::vector<const GraphClient*> clients;
    for (const auto& [id, client] : graph.clients) {
        clients.push_back(&client);
    }
    std::sort(clients.begin(), clients.end(),
              [](const GraphClient* a, const GraphClient* b) { return a->order < b->order; });

    std::vector<ApplicationClient> applications;
    for (const auto* client : clients) {
        ApplicationClient application{.clientId = client->id};
        for (const auto* node : playback) {
            if (graph.clientOf(*node) == client) {
                if (application.nodeIds.empty()) {
                    application.identifier = applicationIdentifier(graph, *node);
                }
                application.nodeIds.push_back(node->id);
                application.nodeSerials.emplace_back(property(node->props, kObjectSerial));
            }
        }
        if (application.nodeIds.empty()) {
            for (const auto key : {kPortalAppId, kApplicationId}) {
                if (const auto value = property(client->props, key); !value.empty() && application.identifier.empty()) {
                    application.identifier = std::string(value);
                }
            }
        }
        if (!application.nodeIds.empty() || !application.identifier.empty()) {
            applications.push_back(std::move(application));
        }
    }
    for (const auto* node : playback) {
        if (graph.clientOf(*node) == nullptr) {
            applications.push_back({.clientId = 0,
                                    .identifier = applicationIdentifier(graph, *node),
                                    .nodeIds = {node->id},
                                    .nodeSerials = {std::string(property(node->props, kObjectSerial))}});
        }
    }
    return applications;
}

bool shouldCapture(const Graph& graph, const GraphNode& node, const CaptureExclusions& exclusions) {
    if (!hasMediaClass(node, kMediaClassPlayback) || !node.described) {
        return false;
    }
    if (const auto serial = property(node.props, kObjectSerial);
        !serial.empty() && exclusions.nodeSerials.contains(std::string(serial))) {
        return false;
    }
    if (const auto* client = graph.clientOf(node); client && !client->described) {
        return false;
    }
    // The playback half of a virtual device (a remapped or combined sink, an echo canceller)
    // carries what applications play into that device; those applications are taken, or left
    // out, on their own, so taking this too would double them and let an excluded one through.
    if (!property(node.props, kLinkGroup).empty()) {
        return false;
    }
    if (const auto identifier = applicationIdentifier(graph, node);
        !identifier.empty() && exclusions.identifiers.contains(identifier)) {
        return false;
    }
    return !(exclusions.excludedProcess && belongsToProcess(graph, node, *exclusions.excludedProcess));
}

std::vector<std::string> captureChannelsFor(std::string_view channel, const std::vector<std::string>& captureChannels) {
    if (std::find(captureChannels.begin(), captureChannels.end(), channel) != captureChannels.end()) {
        return {std::string(channel)};
    }
    const auto has = [&captureChannels](std::string_view name) {
        return std::find(captureChannels.begin(), captureChannels.end(), name) != captureChannels.end();
    };
    if (isLeftSide(channel) && has("FL")) {
        return {"FL"};
    }
    if (isRightSide(channel) && has("FR")) {
        return {"FR"};
    }
    return captureChannels;
}

}  // namespace quorvia::platform::pipewire
