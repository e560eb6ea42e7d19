// What a station makes of two looks at its interface, a row each; and a look at the interface every host has.
#include "moxtil/address/InterfaceWatch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

InterfaceState Up(const char* address) { return {true, true, inet_addr(address)}; }
InterfaceState UpNoAddress() { return {true, true, 0}; }
InterfaceState Down(const char* address) { return {true, false, inet_addr(address)}; }
InterfaceState Gone() { return {}; }

struct Row { const char* name; InterfaceState before, now; InterfaceChange change; };

TEST(InterfaceWatch, ChangeOf) {
  const Row rows[] = {
      {"unchanged", Up("192.168.0.2"), Up("192.168.0.2"), InterfaceChange::kNone},
      {"a new address", Up("192.168.0.2"), Up("192.168.0.12"), InterfaceChange::kNewAddress},
      {"address lost", Up("192.168.0.2"), UpNoAddress(), InterfaceChange::kNoAddress},
      {"link down, address kept", Up("192.168.0.2"), Down("192.168.0.2"), InterfaceChange::kDown},
      {"adapter removed", Up("192.168.0.2"), Gone(), InterfaceChange::kDown},
      {"down, then removed: the same absence", Down("192.168.0.2"), Gone(), InterfaceChange::kNone},
      {"removed, then back without an address", Gone(), UpNoAddress(), InterfaceChange::kNone},
      {"no address, then down", UpNoAddress(), Down("192.168.0.2"), InterfaceChange::kNone},
      {"link back with its address", Down("192.168.0.2"), Up("192.168.0.2"), InterfaceChange::kBack},
      {"link back with another address", Down("192.168.0.2"), Up("192.168.0.12"), InterfaceChange::kBack},
      {"an address at last", UpNoAddress(), Up("192.168.0.12"), InterfaceChange::kBack},
      {"adapter back with its address", Gone(), Up("192.168.0.2"), InterfaceChange::kBack},
      {"still gone", Gone(), Gone(), InterfaceChange::kNone},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(static_cast<int>(ChangeOf(row.before, row.now)), static_cast<int>(row.change)) << row.name;
  }
}

TEST(InterfaceWatch, LooksAtLoopback) {
  InterfaceWatch watch;
  const InterfaceState lo = watch.Look("lo");
  EXPECT_TRUE(lo.exists);
  EXPECT_TRUE(lo.up);
  EXPECT_EQ(lo.address, inet_addr("127.0.0.1"));
  EXPECT_TRUE(IsUsable(lo));
  // A second look through the same socket sees the same.
  const InterfaceState again = watch.Look("lo");
  EXPECT_EQ(again.address, lo.address);
  EXPECT_FALSE(IsUsable(watch.Look("nosuch-if-39")));
}

}  // namespace
