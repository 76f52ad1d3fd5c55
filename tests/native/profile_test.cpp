#include <gtest/gtest.h>

#include "control/controller.h"
#include "control/profile.h"

namespace {

JsonValue doc(const std::string& text) {
    JsonValue v;
    EXPECT_TRUE(parseJson(text, v)) << text;
    return v;
}

using Links = std::vector<std::string>;

TEST(ServiceProfileParse, RoutingConfiguration) {
    struct Row {
        const char* document;
        TunnelMode mode;
        Links apps;
        Links servers;
        const char* primary;
        const char* general;
    };
    const auto Game = TunnelMode::PerApplication;
    const auto System = TunnelMode::System;
    const Row rows[] = {
        {R"({})", Game, {}, {}, "", ""},
        {R"([1,2])", Game, {}, {}, "", ""},
        {R"({"config":"text"})", Game, {}, {}, "", ""},
        {R"({"config":{"mode":"system"}})", System, {}, {}, "", ""},
        {R"({"config":{"mode":"System"}})", Game, {}, {}, "", ""},
        {R"({"config":{"mode":"system "}})", Game, {}, {}, "", ""},
        {R"({"config":{"mode":true}})", Game, {}, {}, "", ""},
        {R"({"config":{"mode":"system","mode":"game"}})", System, {}, {}, "", ""},
        {R"({"config":{"apps":["TslGame",7,null,"Дота"]}})", Game, {"TslGame", "", "", "Дота"}, {}, "", ""},
        {R"({"config":{"apps":"TslGame"}})", Game, {}, {}, "", ""},
        // apps_list: empty links and objects without a usable link are skipped; the single link is ignored.
        {R"({"config":{"servers":{"apps_list":[{"link":"A"},{"link":""},{"x":1},{"link":5},"B",{"link":"B"}],"apps":"C"}}})",
         Game, {}, {"A", "B"}, "A", ""},
        {R"({"config":{"servers":{"apps_list":[{"link":""}],"apps":"C","rest":"R"}}})", Game, {}, {"C"}, "C", "R"},
        {R"({"config":{"servers":{"apps_list":{"link":"A"},"apps":"C"}}})", Game, {}, {"C"}, "C", ""},
        {R"({"config":{"mode":"system","servers":{"rest":"R"}}})", System, {}, {"R"}, "R", "R"},
        {R"({"config":{"mode":"game","servers":{"rest":"R"}}})", Game, {}, {}, "", "R"},
        {R"({"config":{"mode":"system","servers":{"apps":"C","rest":"R"}}})", System, {}, {"C"}, "C", "R"},
        {R"({"config":{"mode":"system","servers":{"apps":"","rest":7}}})", System, {}, {}, "", ""},
        {R"({"config":{"servers":[{"link":"A"}]}})", Game, {}, {}, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.document);
        const ServiceProfile p = parseProfile(doc(row.document));
        EXPECT_EQ(p.mode, row.mode);
        EXPECT_EQ(p.apps, row.apps);
        EXPECT_EQ(p.servers, row.servers);
        EXPECT_EQ(p.primaryLink, row.primary);
        EXPECT_EQ(p.generalLink, row.general);
    }
}

TEST(ServiceProfileOffer, ReplacedByEachDocument) {
    struct Row {
        const char* update;  // the "update" member's JSON, or null for none
        UpdateOffer expected;
    };
    UpdateOffer old;
    old.version = "1.0";
    old.url = "https://old";
    old.sha256 = "old-sha";
    old.notes = "old notes";
    old.mandatory = true;
    old.progress = 40;
    const Row rows[] = {
        {R"({"version":"1.3.0","url":"https://u","sha256":"AB","notes":"n","mandatory":true})",
         {"1.3.0", "https://u", "AB", "n", true, 40}},
        {R"({"version":"1.3.0","mandatory":"true"})", {"1.3.0", "", "", "", false, 40}},
        {R"({"version":5,"url":null,"mandatory":1})", {"", "", "", "", false, 40}},
        // No offer, or no object: version and link go, the digest and notes stay (nothing reads them).
        {nullptr, {"", "", "old-sha", "old notes", false, 40}},
        {R"("1.3.0")", {"", "", "old-sha", "old notes", false, 40}},
        {R"([])", {"", "", "old-sha", "old notes", false, 40}},
        // Only an offer newer than the running 1.2.2 counts (dotted numbers, not text).
        {R"({"version":"1.2.10","url":"u"})", {"1.2.10", "u", "", "", false, 40}},
        {R"({"version":"1.2.2","url":"u","mandatory":true})", {"", "", "", "", false, 40}},
        {R"({"version":"1.1.9","url":"u","mandatory":true})", {"", "", "", "", false, 40}},
        {R"({"version":"1.2.2.1","url":"u"})", {"1.2.2.1", "u", "", "", false, 40}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.update ? row.update : "(none)");
        UpdateOffer offer = old;
        applyUpdateOffer(offer, doc(row.update ? std::string(R"({"update":)") + row.update + "}" : "{}"), "1.2.2");
        EXPECT_EQ(offer.version, row.expected.version);
        EXPECT_EQ(offer.url, row.expected.url);
        EXPECT_EQ(offer.sha256, row.expected.sha256);
        EXPECT_EQ(offer.notes, row.expected.notes);
        EXPECT_EQ(offer.mandatory, row.expected.mandatory);
        EXPECT_EQ(offer.progress, row.expected.progress) << "a running download keeps its progress";
    }
}

TEST(ServiceProfileApply, ReplacesTheProfileWholeWithoutNotifying) {
    int notifications = 0;
    TunnelController c([&] { ++notifications; }, 0, SystemOps{});
    c.update.progress = 12;
    applyProfileDocument(c, doc(R"({"config":{"mode":"system","apps":["a"],"servers":{"apps":"L1","rest":"R"}},
                                    "update":{"version":"2.0","url":"https://u","mandatory":true}})"));
    EXPECT_TRUE(c.profileReady);
    EXPECT_EQ(c.profile.mode, TunnelMode::System);
    EXPECT_EQ(c.profile.primaryLink, "L1");
    EXPECT_EQ(c.update.version, "2.0");
    EXPECT_TRUE(c.update.mandatory);
    EXPECT_EQ(c.update.progress, 12);
    EXPECT_EQ(c.activeProfile.primaryLink, "") << "only a connect makes a profile active";

    applyProfileDocument(c, doc(R"({"config":{"servers":{"apps_list":[{"link":"L2"}]}}})"));
    EXPECT_EQ(c.profile.mode, TunnelMode::PerApplication);
    EXPECT_TRUE(c.profile.apps.empty());
    EXPECT_EQ(c.profile.servers, Links{"L2"});
    EXPECT_EQ(c.profile.generalLink, "");
    EXPECT_EQ(c.update.version, "");
    EXPECT_FALSE(c.update.mandatory);
    EXPECT_EQ(c.update.progress, 12);
    EXPECT_EQ(notifications, 0) << "the monitor loop notifies after its change check";
}

TEST(ServiceProfileChanged, ComparesRoutingOnly) {
    ServiceProfile base = parseProfile(doc(
        R"({"config":{"mode":"game","apps":["TslGame","x"],"servers":{"apps_list":[{"link":"A"},{"link":"B"}],"rest":"R"}}})"));
    struct Row {
        const char* name;
        std::function<void(ServiceProfile&)> edit;
        bool changed;
    };
    const Row rows[] = {
        {"same", [](ServiceProfile&) {}, false},
        {"primary link only", [](ServiceProfile& p) { p.primaryLink = "B"; }, false},
        {"mode", [](ServiceProfile& p) { p.mode = TunnelMode::System; }, true},
        {"apps reordered", [](ServiceProfile& p) { std::swap(p.apps[0], p.apps[1]); }, true},
        {"app added", [](ServiceProfile& p) { p.apps.push_back("y"); }, true},
        {"servers reordered", [](ServiceProfile& p) { std::swap(p.servers[0], p.servers[1]); }, true},
        {"server dropped", [](ServiceProfile& p) { p.servers.pop_back(); }, true},
        {"general link", [](ServiceProfile& p) { p.generalLink.clear(); }, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServiceProfile other = base;
        row.edit(other);
        EXPECT_EQ(profileChanged(base, other), row.changed);
        EXPECT_EQ(profileChanged(other, base), row.changed);
    }
    // A document that differs only in its offer is the same routing.
    EXPECT_FALSE(profileChanged(
        base, parseProfile(doc(R"({"update":{"version":"9"},"config":{"apps":["TslGame","x"],
                                 "servers":{"apps_list":[{"link":"A"},{"link":"B"}],"rest":"R"}}})"))));
}

TEST(ServiceProfileSource, MemorySourceHandsOverTheNewestOnce) {
    MemoryProfileSource memory;
    ProfileSource source = memoryProfileSource(memory);
    JsonValue got;
    EXPECT_FALSE(source.take(got));
    offerDocument(memory, doc(R"({"n":1})"));
    offerDocument(memory, doc(R"({"n":2})"));
    ASSERT_TRUE(source.take(got));
    EXPECT_EQ(writeJson(got), R"({"n":2})");
    EXPECT_FALSE(source.take(got));
}

}  // namespace

namespace {

TEST(ServiceProfileChangeCheck, ReconnectsOnlyARunningTunnelWhoseRoutingChanged) {
    const char* running = R"({"config":{"servers":{"apps_list":[{"link":"A"},{"link":"B"}]}}})";
    struct Row {
        const char* name;
        TunnelPhase phase;
        const char* document;
        bool fires;
    };
    const Row rows[] = {
        {"same routing", TunnelPhase::Running, running, false},
        {"only a new offer", TunnelPhase::Running,
         R"({"config":{"servers":{"apps_list":[{"link":"A"},{"link":"B"}]}},"update":{"version":"2","url":"u"}})", false},
        {"links reordered", TunnelPhase::Running, R"({"config":{"servers":{"apps_list":[{"link":"B"},{"link":"A"}]}}})",
         true},
        {"mode changed", TunnelPhase::Running,
         R"({"config":{"mode":"system","servers":{"apps_list":[{"link":"A"},{"link":"B"}]}}})", true},
        {"changed while idle", TunnelPhase::Idle, R"({"config":{"mode":"system"}})", false},
        {"changed while connecting", TunnelPhase::Connecting, R"({"config":{"mode":"system"}})", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> events;
        TunnelController c(nullptr, 0, SystemOps{});
        c.onChanged = [&] {
            std::lock_guard<std::mutex> hold(c.lock);
            events.push_back(std::string("notify ") + phaseName(c.phase) + " " + c.status);
        };
        c.system.tunnel.stop = [&](EngineState&) { events.push_back("stop"); };
        c.system.procedures.connect = [&](TunnelController& ctl) {
            std::lock_guard<std::mutex> hold(ctl.lock);
            events.push_back("connect " + ctl.profile.primaryLink);
        };
        applyProfileDocument(c, doc(running));
        c.activeProfile = c.profile;
        c.wantConnected = true;
        c.phase = row.phase;
        applyProfileDocument(c, doc(row.document));
        EXPECT_EQ(checkProfileChange(c), row.fires);
        std::vector<std::string> expected;
        if (row.fires) {
            expected = {"notify stopping Отключаюсь…", "stop",
                        "notify idle Настройки на сервере изменились, переподключаюсь…",
                        "connect " + c.profile.primaryLink,
                        "notify idle Настройки на сервере изменились, переподключаюсь…"};
        } else {
            expected = {std::string("notify ") + phaseName(row.phase) + " Готов."};
        }
        EXPECT_EQ(events, expected);
    }
}

}  // namespace
