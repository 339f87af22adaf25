#include "platform/linux/pipewire_graph.h"

#include <gtest/gtest.h>

namespace quorvia::platform::pipewire {
namespace {

constexpr pid_t kOurPid = 4242;
constexpr pid_t kPulseServerPid = 777;

// A small graph as the registry shows it on a desktop: two sinks, a native player, a
// libpulse player (whose client carries pipewire-pulse's pid), a Flatpak app, and a recorder.
class GraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        addNode(30, 3, {{"media.class", "Audio/Sink"}, {"node.name", "hdmi"}});
        addNode(31, 1, {{"media.class", "Audio/Sink"}, {"node.name", "speakers"}});
        addNode(32, 2, {{"media.class", "Audio/Source"}, {"node.name", "mic"}});

        addClient(40, {{"application.id", "org.example.Native"}, {"pipewire.sec.pid", "100"}});
        addNode(41, 10, {{"media.class", "Stream/Output/Audio"}, {"client.id", "40"}});

        addClient(50, {{"pipewire.sec.pid", std::to_string(kPulseServerPid)}, {"application.id", "client.level"}});
        addNode(51, 11,
                {{"media.class", "Stream/Output/Audio"},
                 {"object.serial", "151"},
                 {"client.id", "50"},
                 {"application.id", "com.quorvia.desktop"},
                 {"application.process.id", "200"}});

        addClient(60, {{"pipewire.access.portal.app_id", "org.example.Flat"}, {"application.id", "spoofed"}});
        addNode(61, 12, {{"media.class", "Stream/Output/Audio"}, {"client.id", "60"}, {"application.id", "spoofed"}});
        addNode(62, 13, {{"media.class", "Stream/Output/Audio"}, {"client.id", "60"}});

        addNode(70, 14, {{"media.class", "Stream/Input/Audio"}, {"client.id", "40"}});
    }

    void addNode(std::uint32_t id, std::uint64_t order, Properties props) {
        graph.nodes[id] = GraphNode{.id = id, .order = order, .props = std::move(props)};
    }
    void addClient(std::uint32_t id, Properties props) {
        graph.clients[id] = GraphClient{.id = id, .order = id, .props = std::move(props)};
    }
    const GraphNode& node(std::uint32_t id) { return graph.nodes.at(id); }

    Graph graph;
};

TEST_F(GraphTest, SinksComeInRegistryOrderWithTheDefaultFirst) {
    EXPECT_EQ(sinksDefaultFirst(graph), (std::vector<std::uint32_t>{31, 30}));
    graph.defaultSinkName = "hdmi";
    EXPECT_EQ(sinksDefaultFirst(graph), (std::vector<std::uint32_t>{30, 31}));
    graph.defaultSinkName = "gone";
    EXPECT_EQ(sinksDefaultFirst(graph), (std::vector<std::uint32_t>{31, 30}));
}

TEST_F(GraphTest, NoSinksMeansNoDisplays) {
    graph.nodes.erase(30);
    graph.nodes.erase(31);
    EXPECT_TRUE(sinksDefaultFirst(graph).empty());
}

TEST_F(GraphTest, IdentifierPrefersThePortalAppIdThenTheNodeThenTheClient) {
    EXPECT_EQ(applicationIdentifier(graph, node(41)), "org.example.Native");   // client only
    EXPECT_EQ(applicationIdentifier(graph, node(51)), "com.quorvia.desktop");  // node beats client
    EXPECT_EQ(applicationIdentifier(graph, node(61)), "org.example.Flat");     // portal beats a claimed id
    EXPECT_EQ(applicationIdentifier(graph, node(62)), "org.example.Flat");
    addNode(80, 20, {{"media.class", "Stream/Output/Audio"}, {"client.id", "99"}});
    EXPECT_EQ(applicationIdentifier(graph, node(80)), "");  // unknown client, no id
}

TEST_F(GraphTest, OwnProcessIsRecognisedThroughNodeOrClient) {
    struct Case {
        const char* what;
        Properties nodeProps;
        Properties clientProps;
        bool ours;
    };
    const std::vector<Case> cases = {
        {"native client, kernel-verified pid", {}, {{"pipewire.sec.pid", "4242"}}, true},
        {"native client, claimed pid", {}, {{"application.process.id", "4242"}}, true},
        {"libpulse stream: pid on the node, server's pid on the client",
         {{"application.process.id", "4242"}},
         {{"pipewire.sec.pid", "777"}},
         true},
        {"another process", {{"application.process.id", "4243"}}, {{"pipewire.sec.pid", "777"}}, false},
        {"a pid with trailing junk is no pid", {{"application.process.id", "4242x"}}, {}, false},
        {"nothing known", {}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Properties nodeProps = c.nodeProps;
        nodeProps["media.class"] = "Stream/Output/Audio";
        nodeProps["client.id"] = "90";
        addClient(90, c.clientProps);
        addNode(91, 30, nodeProps);
        EXPECT_EQ(belongsToProcess(graph, node(91), kOurPid), c.ours);
    }
}

TEST_F(GraphTest, RunningApplicationsArePlayingClientsAndClientsThatNameThemselves) {
    addClient(35, {{"application.name", "WirePlumber"}});                                // neither
    addClient(36, {{"application.id", "com.quorvia.desktop"}, {"pipewire.sec.pid", "777"}});  // silent host
    addNode(80, 30, {{"media.class", "Stream/Output/Audio"}, {"application.id", "org.example.Lone"}});

    const auto applications = runningApplications(graph);
    ASSERT_EQ(applications.size(), 5u);
    EXPECT_EQ(applications[0].clientId, 36u);
    EXPECT_EQ(applications[0].identifier, "com.quorvia.desktop");
    EXPECT_TRUE(applications[0].nodeIds.empty());
    EXPECT_EQ(applications[1].clientId, 40u);
    EXPECT_EQ(applications[1].identifier, "org.example.Native");
    EXPECT_EQ(applications[1].nodeIds, (std::vector<std::uint32_t>{41}));  // its recorder is no playback
    EXPECT_EQ(applications[2].identifier, "com.quorvia.desktop");          // the node's, not "client.level"
    EXPECT_EQ(applications[2].nodeSerials, (std::vector<std::string>{"151"}));
    EXPECT_EQ(applications[3].clientId, 60u);
    EXPECT_EQ(applications[3].identifier, "org.example.Flat");
    EXPECT_EQ(applications[3].nodeIds, (std::vector<std::uint32_t>{61, 62}));
    EXPECT_EQ(applications[4].clientId, 0u);
    EXPECT_EQ(applications[4].identifier, "org.example.Lone");
}

TEST_F(GraphTest, CaptureLeavesOutExcludedApplicationsAndOurOwnProcess) {
    CaptureExclusions exclusions{.nodeSerials = {"151"}, .identifiers = {"com.quorvia.desktop"}, .excludedProcess = kOurPid};
    EXPECT_TRUE(shouldCapture(graph, node(41), exclusions));
    EXPECT_FALSE(shouldCapture(graph, node(51), exclusions));
    EXPECT_FALSE(shouldCapture(graph, node(31), exclusions)) << "a sink is no application";
    EXPECT_FALSE(shouldCapture(graph, node(70), exclusions)) << "a recorder is no playback";

    // The host starts another stream after the capture began, from a new connection.
    addClient(52, {{"pipewire.sec.pid", std::to_string(kPulseServerPid)}});
    addNode(53, 20, {{"media.class", "Stream/Output/Audio"}, {"client.id", "52"}, {"application.id", "com.quorvia.desktop"}});
    EXPECT_FALSE(shouldCapture(graph, node(53), exclusions));

    // Identifiers compare whole and exactly.
    addNode(54, 21, {{"media.class", "Stream/Output/Audio"}, {"application.id", "com.quorvia.desktop.helper"}});
    addNode(55, 22, {{"media.class", "Stream/Output/Audio"}, {"application.id", "COM.QUORVIA.DESKTOP"}});
    EXPECT_TRUE(shouldCapture(graph, node(54), exclusions));
    EXPECT_TRUE(shouldCapture(graph, node(55), exclusions));

    // A stream without any identifier is not excluded by the excluded app's empty identifier.
    addNode(56, 23, {{"media.class", "Stream/Output/Audio"}});
    EXPECT_TRUE(shouldCapture(graph, node(56), CaptureExclusions{.identifiers = {""}}));

    // Excluded as a node, without its identifier among the exclusions; a later node that
    // reuses the id is another node.
    EXPECT_FALSE(shouldCapture(graph, node(51), CaptureExclusions{.nodeSerials = {"151"}}));
    addNode(51, 26, {{"media.class", "Stream/Output/Audio"}, {"object.serial", "352"}});
    EXPECT_TRUE(shouldCapture(graph, node(51), CaptureExclusions{.nodeSerials = {"151"}}));

    // A virtual sink's playback stream carries what applications play into it, the host included.
    addNode(58, 25, {{"media.class", "Stream/Output/Audio"}, {"node.link-group", "loopback-1-13"}});
    EXPECT_FALSE(shouldCapture(graph, node(58), CaptureExclusions{}));

    addNode(57, 24, {{"media.class", "Stream/Output/Audio"}, {"application.process.id", "4242"}});
    EXPECT_FALSE(shouldCapture(graph, node(57), exclusions));
    EXPECT_TRUE(shouldCapture(graph, node(57), CaptureExclusions{}));
}

TEST_F(GraphTest, NothingIsCapturedBeforeNodeAndClientAreFullyKnown) {
    // The registry announces a node with a subset of its properties; application.id comes later.
    graph.nodes.at(51).described = false;
    EXPECT_FALSE(shouldCapture(graph, node(51), CaptureExclusions{}));
    graph.nodes.at(51).described = true;
    graph.clients.at(50).described = false;
    EXPECT_FALSE(shouldCapture(graph, node(51), CaptureExclusions{}));
}

TEST(CaptureChannels, EachApplicationChannelFeedsTheMatchingCaptureChannel) {
    const std::vector<std::string> stereo = {"FL", "FR"};
    struct Case {
        const char* channel;
        std::vector<std::string> into;
    };
    const std::vector<Case> cases = {
        {"FL", {"FL"}}, {"FR", {"FR"}}, {"RL", {"FL"}}, {"SR", {"FR"}},
        {"MONO", {"FL", "FR"}}, {"FC", {"FL", "FR"}}, {"LFE", {"FL", "FR"}}, {"", {"FL", "FR"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(captureChannelsFor(c.channel, stereo), c.into) << c.channel;
    }
    EXPECT_EQ(captureChannelsFor("FL", {"MONO"}), (std::vector<std::string>{"MONO"}));
    EXPECT_EQ(captureChannelsFor("FC", {"FL", "FR", "FC"}), (std::vector<std::string>{"FC"}));
}

}  // namespace
}  // namespace quorvia::platform::pipewire
