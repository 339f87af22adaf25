#pragma once

// What the PipeWire registry shows of the audio graph, and the decisions taken from it: which
// sinks count as displays, which playback streams belong to which application, which streams
// the system-audio capture takes in and how their ports map onto the capture's ports. Plain
// data, so the rules are tested without a server.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quorvia::platform::pipewire {

using Properties = std::map<std::string, std::string, std::less<>>;

struct GraphNode {
    std::uint32_t id = 0;
    std::uint64_t order = 0;  // registry announcement order; ids alone may be reused
    Properties props;
    bool described = true;  // false while only the registry's subset of props is known
};

struct GraphClient {
    std::uint32_t id = 0;
    std::uint64_t order = 0;  // registry announcement order
    Properties props;
    bool described = true;  // false while only the registry's subset of props is known
};

struct GraphPort {
    std::uint32_t id = 0;
    std::uint32_t nodeId = 0;
    bool isOutput = false;
    bool isMonitor = false;
    std::string channel;  // audio.channel, e.g. "FL"; empty when the port has none
};

struct Graph {
    std::map<std::uint32_t, GraphNode> nodes;
    std::map<std::uint32_t, GraphClient> clients;
    std::map<std::uint32_t, GraphPort> ports;
    std::string defaultSinkName;    // node.name, from the "default" metadata
    std::string defaultSourceName;  // node.name, from the "default" metadata

    const GraphNode* node(std::uint32_t id) const;
    const GraphClient* clientOf(const GraphNode& node) const;
    const GraphNode* nodeNamed(std::string_view name) const;
};

inline constexpr std::string_view kMediaClassSink = "Audio/Sink";
inline constexpr std::string_view kMediaClassSource = "Audio/Source";
inline constexpr std::string_view kMediaClassPlayback = "Stream/Output/Audio";

std::string_view property(const Properties& props, std::string_view key);
bool hasMediaClass(const GraphNode& node, std::string_view mediaClass);

// The audio sinks in registry order, the default sink moved to the front.
std::vector<std::uint32_t> sinksDefaultFirst(const Graph& graph);

// The name an application goes by: its Flatpak app id when the portal set one, else its
// application.id; each looked up on the node first, then on its client. Empty when neither.
std::string applicationIdentifier(const Graph& graph, const GraphNode& node);

// Whether the node was made by process `pid`. pipewire.sec.pid is the kernel's word for native
// clients; a libpulse stream shows pipewire-pulse's pid there, so application.process.id on the
// node counts too.
bool belongsToProcess(const Graph& graph, const GraphNode& node, pid_t pid);

// One client as a running application: the playback nodes it has now, and its name.
struct ApplicationClient {
    std::uint32_t clientId = 0;  // 0 for a playback node without a visible client
    std::string identifier;      // from its first playback node, else from the client itself
    std::vector<std::uint32_t> nodeIds;
    std::vector<std::string> nodeSerials;  // object.serial of each: unlike ids, never reused
};

// The running applications: every client that plays now, and every other client that names
// itself, so a host that is connected but silent at the start is known (and left out) before it
// plays. Clients in registry order, then playback nodes without a visible client.
std::vector<ApplicationClient> runningApplications(const Graph& graph);

struct CaptureExclusions {
    std::set<std::string> nodeSerials;     // playback nodes of excluded applications at the start
    std::set<std::string> identifiers;     // their identifiers; later nodes with one are left out too
    std::optional<pid_t> excludedProcess;  // this process, when its own audio is left out
};

// Whether the system-audio capture takes the node's output in. Undecided (false) until the node
// and its client are fully described, so a stream is never linked before its identity is known.
bool shouldCapture(const Graph& graph, const GraphNode& node, const CaptureExclusions& exclusions);

// The capture's input channels that an output port carrying `channel` feeds, chosen from
// `captureChannels`. Same position when the capture has it; otherwise left-side positions go to
// the left front, right-side ones to the right front, and anything else (mono, centre, LFE,
// unnamed) to every capture channel, so nothing that plays goes missing.
std::vector<std::string> captureChannelsFor(std::string_view channel, const std::vector<std::string>& captureChannels);

}  // namespace quorvia::platform::pipewire
