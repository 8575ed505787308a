// The sweep's choices over node records Wine cannot produce (live nodes,
// phantoms of ours and of other programs, odd names and ids).
#include <gtest/gtest.h>

#include <algorithm>

#include "service/core/sweep_decision.h"

namespace {

SweepNode Node(const wchar_t* name, bool present, const wchar_t* id = L"SWD\\WINTUN\\{X}") {
  SweepNode node;
  node.idRead = true;
  node.instanceId = id;
  node.present = present;
  node.connectionName = name;
  return node;
}

struct SweepRun {
  AdapterSweepResult result;
  std::vector<std::wstring> removalsAsked;
};

// Sweeps the nodes; removals of the names in `failing` fail.
SweepRun Sweep(const std::vector<SweepNode>& nodes, bool remove,
          const std::vector<std::wstring>& failing = {}) {
  SweepRun run;
  for (const SweepNode& node : nodes) {
    AccountSweepNode(run.result, node, remove, [&] {
      run.removalsAsked.push_back(node.connectionName);
      return std::find(failing.begin(), failing.end(), node.connectionName) == failing.end();
    });
  }
  return run;
}

TEST(SweepDecision, NothingToSweep) {
  const SweepRun run = Sweep({}, true);
  EXPECT_EQ(run.result.wintun_nodes, 0u);
  EXPECT_EQ(run.result.ours_left_behind, 0u);
  EXPECT_EQ(run.result.removed, 0u);
  EXPECT_EQ(run.result.live_kept, 0u);
  EXPECT_EQ(run.result.names, "");
}

TEST(SweepDecision, LiveAdapterKeptPhantomRemoved) {
  const std::vector<SweepNode> nodes = {Node(L"Kelpmarrow", true), Node(L"Kelpmarrow 2", false)};
  const SweepRun removing = Sweep(nodes, true);
  EXPECT_EQ(removing.result.wintun_nodes, 2u);
  EXPECT_EQ(removing.result.live_kept, 1u);
  EXPECT_EQ(removing.result.ours_left_behind, 1u);
  EXPECT_EQ(removing.result.removed, 1u);
  EXPECT_EQ(removing.result.names, "Kelpmarrow 2");
  EXPECT_EQ(removing.removalsAsked, (std::vector<std::wstring>{L"Kelpmarrow 2"}));

  const SweepRun counting = Sweep(nodes, false);
  EXPECT_EQ(counting.result.ours_left_behind, 1u);
  EXPECT_EQ(counting.result.removed, 0u);
  EXPECT_TRUE(counting.removalsAsked.empty());
}

TEST(SweepDecision, OthersAndNearMissesAreOnlyCounted) {
  SweepNode unreadable;  // id could not be read
  const std::vector<SweepNode> nodes = {
      Node(L"OtherVPN", false),  Node(L"Kelpmarro", false), Node(L"", false),
      Node(L"Kelpmarr\u00f6w", false), Node(L"xKelpmarrow", false), unreadable};
  const SweepRun run = Sweep(nodes, true);
  EXPECT_EQ(run.result.wintun_nodes, 6u);
  EXPECT_EQ(run.result.ours_left_behind, 0u);
  EXPECT_EQ(run.result.live_kept, 0u);
  EXPECT_EQ(run.result.names, "");
  EXPECT_TRUE(run.removalsAsked.empty());
}

TEST(SweepDecision, CaseVariantsJoinedInOrderAndFailuresNotCounted) {
  const std::vector<SweepNode> nodes = {Node(L"KELPMARROW 2", false), Node(L"kelpMarrow (1)", false),
                                        Node(L"Kelpmarrow\u00e9", false)};
  const SweepRun run = Sweep(nodes, true, {L"kelpMarrow (1)"});
  EXPECT_EQ(run.result.ours_left_behind, 3u);
  EXPECT_EQ(run.result.removed, 2u);
  EXPECT_EQ(run.result.names, "KELPMARROW 2,kelpMarrow (1),Kelpmarrow\xc3\xa9");
  EXPECT_EQ(run.removalsAsked.size(), 3u);
}

TEST(SweepDecision, GuidFromInstanceId) {
  EXPECT_EQ(AdapterGuidFromInstanceId(L"SWD\\Wintun\\{ABC-1}"), L"{ABC-1}");
  EXPECT_EQ(AdapterGuidFromInstanceId(L"SWD\\Wintun\\{a}{b}"), L"{a}");
  EXPECT_EQ(AdapterGuidFromInstanceId(L"x}{inner}tail}"), L"{inner}");
  EXPECT_EQ(AdapterGuidFromInstanceId(L"{}"), L"{}");
  EXPECT_EQ(AdapterGuidFromInstanceId(L"SWD\\Wintun\\ABC"), L"");
  EXPECT_EQ(AdapterGuidFromInstanceId(L"SWD\\Wintun\\{ABC"), L"");
  EXPECT_EQ(AdapterGuidFromInstanceId(L"SWD\\Wintun\\ABC}"), L"");
  EXPECT_EQ(AdapterGuidFromInstanceId(L""), L"");
}

}  // namespace
