// The hand-over's rules, a row each: which transfer a data connection goes
// to, or why it is refused, after what happened to the run's targets.
#include "moxtil/engine/Handover.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace {

UW Ip(const char* text) { return inet_addr(text); }

const char kMacA[] = "02:00:00:00:00:0a", kMacB[] = "02:00:00:00:00:0b", kMacX[] = "02:00:00:00:00:99";

using Step = std::function<void(DataHandover&)>;
ER AwaitNow(DataHandover& h, int n) {
  ID cepid;
  T_IPV4EP peer;
  PairedBy by;
  return h.Await(n, Deadline::In(0), &cepid, &peer, &by);
}
Step Begin(int n, const char* address, const char* mac = "") { return [=](DataHandover& h) { h.Begin(n, Ip(address), mac); }; }
Step Expect(int n) { return [=](DataHandover& h) { h.Expect(n); }; }
Step GiveUp(int n) { return [=](DataHandover& h) { EXPECT_EQ(AwaitNow(h, n), E_TMOUT); }; }  // its wait runs out
// Slot n is handed its device's connection from address, and takes it.
Step Take(int n, const char* address) {
  return [=](DataHandover& h) {
    ASSERT_EQ(h.Offer(40 + n, {Ip(address), 4000}, "", false).slot, n);
    EXPECT_EQ(AwaitNow(h, n), E_OK);
  };
}
Step End(int n) { return [=](DataHandover& h) { T_IPV4EP peer; h.End(n, &peer); }; }
Step Cancel(int n) { return [=](DataHandover& h) { h.Cancel(n); }; }

struct Row {
  const char* name;
  std::vector<Step> before;
  const char* from;          // the data connection's address
  const char* mac;           // its hardware address, "" none readable
  int slot;                  // -1 refused
  PairedBy by;
  const char* why = "";      // a refusal's reason, as a regular expression
  bool oneAtATime = false;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class HandoverRules : public ::testing::TestWithParam<Row> {};

TEST_P(HandoverRules, ChoosesTheTransferOfTheDeviceItCameFrom) {
  const Row& row = GetParam();
  static DataHandover h;  // large: its memory of the run's targets
  h.Reset();
  for (const Step& step : row.before) step(h);
  const Choice choice = h.Offer(7, {Ip(row.from), 5000}, row.mac, row.oneAtATime);
  EXPECT_EQ(choice.slot, row.slot);
  EXPECT_EQ(static_cast<int>(choice.by), static_cast<int>(row.by));
  EXPECT_TRUE(std::regex_match(choice.why, std::regex(row.why))) << choice.why;
}

const char kNotServed[] = "no target waits for one, and none was served from its address";

INSTANTIATE_TEST_SUITE_P(
    Rows, HandoverRules,
    ::testing::Values(
        // By the loader's address: while its loader is sent or closed, or it waits; before any other.
        Row{"OwnAddressWhileLoading", {Begin(0, "10.0.0.2")}, "10.0.0.2", "", 0, PairedBy::kAddress},
        Row{"OwnAddressWhileWaiting", {Begin(0, "10.0.0.3"), Expect(0), Begin(1, "10.0.0.2"), Expect(1)},
            "10.0.0.2", "", 1, PairedBy::kAddress},
        Row{"OwnAddressBeforeAnotherOfTheSameMac", {Begin(0, "10.0.0.3", kMacA), Expect(0), Begin(1, "10.0.0.2", kMacA)},
            "10.0.0.2", kMacA, 1, PairedBy::kAddress},
        // A late device: its address belongs to a target of this run; never handed to another.
        Row{"LateWhileAnotherWaits", {Begin(0, "10.0.0.2"), Expect(0), GiveUp(0), Begin(1, "10.0.0.3"), Expect(1)},
            "10.0.0.2", "", -1, PairedBy::kNone,
            "its address is that of target 10\\.0\\.0\\.2 of this run, whose own wait ended 0\\.[0-9] s ago"},
        Row{"LateAfterItsTransferEnded",
            {Begin(0, "10.0.0.2"), Expect(0), GiveUp(0), End(0), Begin(0, "10.0.0.3"), Expect(0)}, "10.0.0.2", "",
            -1, PairedBy::kNone, "its address is that of target 10\\.0\\.0\\.2 of this run, whose own wait ended .*"},
        Row{"ASecondConnectionOfADeviceServed", {Begin(0, "10.0.0.2"), Take(0, "10.0.0.2"), Begin(1, "10.0.0.3"), Expect(1)},
            "10.0.0.2", "", -1, PairedBy::kNone, ".*10\\.0\\.0\\.2 of this run, which already has its data connection"},
        Row{"AfterItsFinish", {Begin(0, "10.0.0.2"), Take(0, "10.0.0.2"), End(0), Begin(1, "10.0.0.3"), Expect(1)},
            "10.0.0.2", "", -1, PairedBy::kNone, ".*which had its data connection; its transfer ended 0\\.[0-9] s ago"},
        Row{"AfterItsLoaderFailed", {Begin(0, "10.0.0.2"), End(0), Begin(1, "10.0.0.3"), Expect(1)}, "10.0.0.2", "",
            -1, PairedBy::kNone, ".*whose transfer ended 0\\.[0-9] s ago, before it waited for one"},
        Row{"WhileItsTransferIsCancelled", {Begin(0, "10.0.0.2"), Cancel(0), Begin(1, "10.0.0.3"), Expect(1)},
            "10.0.0.2", "", -1, PairedBy::kNone, ".*whose transfer is ending"},
        // The hardware address decides where it can be read, whatever the address: back with an
        // address an earlier target had (DHCP gives it out again), a host with a device's address.
        Row{"AnEarlierTargetsAddressWithTheMacOfAWaitingDevice",
            {Begin(0, "10.0.0.2", kMacA), Expect(0), GiveUp(0), Begin(1, "10.0.0.3", kMacB), Expect(1)}, "10.0.0.2",
            kMacB, 1, PairedBy::kMac},
        Row{"AWaitingDevicesAddressWithAnotherMac", {Begin(0, "10.0.0.2", kMacA), Expect(0)}, "10.0.0.2", kMacX, -1,
            PairedBy::kNone, "no target waits for a device with its hardware address 02:00:00:00:00:99, .*"},
        Row{"ItsAddressWhereItsDevicesMacWasNotRead", {Begin(0, "10.0.0.2"), Expect(0)}, "10.0.0.2", kMacA, 0,
            PairedBy::kAddress},
        // By the device's hardware address: a new address across its reboot.
        Row{"NewAddressSameMac", {Begin(0, "10.0.0.2", kMacA), Expect(0), Begin(1, "10.0.0.3", kMacB), Expect(1)},
            "10.0.0.13", kMacB, 1, PairedBy::kMac},
        Row{"NewAddressSameMacWhileItsLoaderCloses", {Begin(0, "10.0.0.3", kMacB)}, "10.0.0.13", kMacB, 0,
            PairedBy::kMac},
        Row{"AStrangerWhileADeviceWaits", {Begin(0, "10.0.0.2", kMacA), Expect(0)}, "10.0.0.50", kMacX, -1,
            PairedBy::kNone, "no target waits for a device with its hardware address 02:00:00:00:00:99, and this run "
            "never served one: a host that is no device of this run takes no device's place"},
        Row{"AStrangerMacWhereNoMacWasRead", {Begin(0, "10.0.0.2"), Expect(0)}, "10.0.0.50", kMacX, -1,
            PairedBy::kNone, "no target waits for a device with its hardware address .*"},
        Row{"AKnownMacAtANewAddressAfterItsWait",
            {Begin(0, "10.0.0.2", kMacA), Expect(0), GiveUp(0), Begin(1, "10.0.0.3", kMacB), Expect(1)}, "10.0.0.12",
            kMacA, -1, PairedBy::kNone,
            "its hardware address 02:00:00:00:00:0a is that of target 10\\.0\\.0\\.2 of this run, whose own wait "
            "ended 0\\.[0-9] s ago"},
        // By order only, where no hardware address can be read: the longest waiting since its
        // loader was acknowledged; one still sending its loader does not wait yet.
        Row{"OrderTheLongestWaiting",
            {Begin(0, "10.0.0.2"), Begin(1, "10.0.0.3"), Expect(1), Begin(2, "10.0.0.4"), Expect(2), Expect(0)},
            "10.0.0.9", "", 1, PairedBy::kOrder},
        Row{"OrderNoneWaits", {Begin(0, "10.0.0.2")}, "10.0.0.9", "", -1, PairedBy::kNone, kNotServed},
        // A transfer known by its device's hardware address waits for that device alone.
        Row{"OrderOnlyAmongUnknownMacs",
            {Begin(0, "10.0.0.2", kMacA), Expect(0), Begin(1, "10.0.0.3"), Expect(1)}, "10.0.0.9", "", 1,
            PairedBy::kOrder},
        Row{"OrderNotToOneKnownByItsMac", {Begin(0, "10.0.0.2", kMacA), Expect(0)}, "10.0.0.9", "", -1,
            PairedBy::kNone, "the targets that wait are known by their devices' hardware addresses, .*"},
        Row{"OrderNotToOneThatGaveUp", {Begin(0, "10.0.0.2"), Expect(0), GiveUp(0)}, "10.0.0.9", "", -1,
            PairedBy::kNone, kNotServed},
        Row{"OrderNotToACancelledOne", {Begin(0, "10.0.0.2"), Expect(0), Cancel(0)}, "10.0.0.9", "", -1,
            PairedBy::kNone, kNotServed},
        Row{"NothingAtAll", {}, "10.0.0.9", "", -1, PairedBy::kNone, kNotServed},
        // One target at a time: the one transfer, from any address, whatever the run served.
        Row{"OneAtATimeAnyAddress", {Begin(0, "10.0.0.2")}, "10.0.0.9", kMacX, 0, PairedBy::kOrder, "", true},
        Row{"OneAtATimeItsOwn", {Begin(0, "10.0.0.2"), Expect(0)}, "10.0.0.2", "", 0, PairedBy::kAddress, "", true},
        Row{"OneAtATimeAnEarlierAddress", {Begin(0, "10.0.0.9"), End(0), Begin(0, "10.0.0.2"), Expect(0)}, "10.0.0.9",
            "", 0, PairedBy::kOrder, "", true},
        Row{"OneAtATimeNoneWaits", {Begin(0, "10.0.0.2"), Expect(0), GiveUp(0)}, "10.0.0.2", "", -1,
            PairedBy::kNone, "no target waits for one", true}),
    [](const ::testing::TestParamInfo<Row>& p) { return std::string(p.param.name); });

// The run remembers its latest targets: an address served long ago is
// forgotten (and then paired by order), a recent one is not.
TEST(Handover, RemembersTheLatestTargets) {
  static DataHandover h;
  h.Reset();
  char address[32];
  for (int i = 0; i < kRemembered + 1; ++i) {
    snprintf(address, sizeof address, "10.%d.%d.%d", i >> 16 & 255, i >> 8 & 255, i & 255);
    h.Begin(0, Ip(address), "");
    T_IPV4EP none;
    h.End(0, &none);
  }
  h.Begin(1, Ip("10.200.0.1"), "");
  h.Expect(1);
  EXPECT_EQ(h.Offer(31, {Ip("10.0.0.0"), 4000}, "", false).slot, 1) << "the oldest is forgotten";
  h.Begin(2, Ip("10.200.0.2"), "");
  h.Expect(2);
  EXPECT_EQ(h.Offer(32, {Ip(address), 4000}, "", false).slot, -1) << "the latest is remembered";
}

}  // namespace
