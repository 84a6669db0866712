// The event loop's connection table (order of activity, lookup by socket)
// and the bound it is kept within.
#include "server/connections.h"

#include <gtest/gtest.h>

#include "server/listener.h"

namespace {

std::vector<int> OldestFirst(ConnectionTable& table) {
  std::vector<int> order;
  for (ReadingConnection* at = table.Oldest(); at;
       at = at->Newer < 0 ? nullptr : table.Find(at->Newer)) {
    order.push_back(at->Socket);
  }
  return order;
}

TEST(ConnectionTable, KeepsConnectionsInOrderOfActivity) {
  ConnectionTable table;
  for (int socket : {7, 3, 12}) table.Insert(socket, in_addr{}, 100);
  EXPECT_EQ(table.Count(), 3);
  EXPECT_EQ(OldestFirst(table), (std::vector<int>{7, 3, 12}));

  table.Touch(*table.Find(7), 101);  // the oldest becomes the newest
  EXPECT_EQ(OldestFirst(table), (std::vector<int>{3, 12, 7}));
  table.Touch(*table.Find(7), 102);  // already the newest
  EXPECT_EQ(OldestFirst(table), (std::vector<int>{3, 12, 7}));
  EXPECT_EQ(table.Find(7)->LastData, 102);

  table.Erase(*table.Find(12));  // from the middle
  EXPECT_EQ(OldestFirst(table), (std::vector<int>{3, 7}));
  EXPECT_EQ(table.Find(12), nullptr);
  table.Erase(*table.Find(3));
  table.Erase(*table.Find(7));
  EXPECT_EQ(table.Count(), 0);
  EXPECT_EQ(table.Oldest(), nullptr);
}

TEST(ConnectionTable, ASocketReusedIsANewConnection) {
  ConnectionTable table;
  ReadingConnection& first = table.Insert(5, in_addr{}, 1);
  first.Packet.AddData("abc", 3);
  const std::uint32_t firstSerial = first.Serial;
  table.Erase(first);
  EXPECT_EQ(table.Find(5), nullptr);
  EXPECT_EQ(table.Find(-1), nullptr);
  EXPECT_EQ(table.Find(1000), nullptr);

  ReadingConnection& second = table.Insert(5, in_addr{}, 2);
  EXPECT_NE(second.Serial, firstSerial);
  EXPECT_EQ(second.Packet.Length(), 0);  // nothing carried over
  EXPECT_FALSE(second.Watched);
}

TEST(ConnectionTable, WorksOnAfterAFloodHasGone) {
  ConnectionTable table;
  for (int socket = 0; socket < 2000; ++socket) table.Insert(socket, in_addr{}, 1);
  while (ReadingConnection* oldest = table.Oldest()) table.Erase(*oldest);
  EXPECT_EQ(table.Count(), 0);
  EXPECT_EQ(table.Find(1999), nullptr);
  for (int socket : {1500, 4}) table.Insert(socket, in_addr{}, 2);
  EXPECT_EQ(OldestFirst(table), (std::vector<int>{1500, 4}));
  table.Erase(*table.Find(1500));
  EXPECT_EQ(OldestFirst(table), (std::vector<int>{4}));
}

TEST(ConnectionCap, StaysWithinTheDescriptorLimit) {
  struct Case {
    int maxConnections, maxSessions;
    long limit;
    int expected;
  };
  const Case cases[] = {
      {16384, 64, 1 << 20, 16384},  // the setting when descriptors abound
      {16384, 64, 20000, 16384},
      {16384, 64, 16384, 16384 - 32 - 4 * 64},
      {16384, 64, 1024, 1024 - 32 - 4 * 64},
      {100, 64, 1024, 100},
      {0, 64, 1 << 20, 16384},  // unset: the default
      {16384, 64, 100, 8},      // never below a handful
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ConnectionCap(c.maxConnections, c.maxSessions, c.limit), c.expected)
        << c.maxConnections << " " << c.maxSessions << " " << c.limit;
  }
}

}  // namespace
