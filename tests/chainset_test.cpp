// The serial-port registry: the linked list, its entries, and concurrent use.
#include "serial/Chainset.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using nivex::Chainset;
using nivex::ComPortList;
using nivex::ComPortNode;
using nivex::Node;

namespace {

// Counts destructions, so a test can see that the list frees through Node*.
struct CountedNode : Node {
  static int alive;
  CountedNode() { ++alive; }
  ~CountedNode() override { --alive; }
};
int CountedNode::alive = 0;

// Walks the list both ways and checks that the links agree with first/last.
void ExpectConsistent(const Chainset& l, const std::vector<Node*>& want) {
  std::vector<Node*> fwd, back;
  for (Node* n = l.first; n; n = n->next) fwd.push_back(n);
  for (Node* n = l.last; n; n = n->prev) back.insert(back.begin(), n);
  EXPECT_EQ(fwd, want);
  EXPECT_EQ(back, want);
  EXPECT_EQ(l.first == nullptr, want.empty());
  EXPECT_EQ(l.last == nullptr, want.empty());
}

TEST(Chainset, InsertDeleteKeepsLinksConsistent) {
  {
    Chainset l;
    EXPECT_EQ(l.IndexOf(nullptr), 0);  // empty list
    std::vector<Node*> n;
    for (int i = 0; i < 5; ++i) {
      n.push_back(new CountedNode);
      l.Insert(n.back());
    }
    ExpectConsistent(l, n);
    EXPECT_EQ(l.IndexOf(n[2]), 2);
    l.Delete(n[2]);  // middle
    ExpectConsistent(l, {n[0], n[1], n[3], n[4]});
    l.Delete(n[0]);  // first
    ExpectConsistent(l, {n[1], n[3], n[4]});
    l.Delete(n[4]);  // last
    ExpectConsistent(l, {n[1], n[3]});
    EXPECT_EQ(CountedNode::alive, 2);

    // A node that is not in the list changes nothing and is not freed.
    CountedNode outsider;
    l.Delete(&outsider);
    EXPECT_EQ(l.IndexOf(&outsider), -1);
    ExpectConsistent(l, {n[1], n[3]});

    l.Delete(n[1]);
    l.Delete(n[3]);  // the only node
    ExpectConsistent(l, {});
    Node* again = new CountedNode;
    l.Insert(again);
    ExpectConsistent(l, {again});
  }
  EXPECT_EQ(CountedNode::alive, 0);  // the remaining node is freed with the list
}

TEST(ComPortList, EntriesAndLookups) {
  ComPortList reg;
  EXPECT_EQ(reg.GetComPortNode(1), nullptr);
  EXPECT_FALSE(reg.DeleteComPort(1));
  EXPECT_FALSE(reg.EnableCheckSum(1, true));
  EXPECT_FALSE(reg.SetTerminator(1, "\n"));
  EXPECT_EQ(reg.GetComPortHANDLE(nullptr), nullptr);

  EXPECT_TRUE(reg.AddComPort(3, "ttyS3"));
  ComPortNode* a = reg.GetComPortNode(3);
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(a->checkSum);
  EXPECT_STREQ(a->terminator, "\r");
  EXPECT_EQ(reg.GetComPortHANDLE("ttyS3"), a);
  EXPECT_EQ(reg.GetComPortHANDLE("ttyS"), nullptr);

  // Duplicates: configuration reaches the first entry only; deletion goes in insertion order.
  EXPECT_TRUE(reg.AddComPort(3, "second"));
  EXPECT_TRUE(reg.AddComPort(4, "ttyS4"));
  ComPortNode* b = reg.GetComPortHANDLE("second");
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(reg.EnableCheckSum(3, true));
  EXPECT_TRUE(reg.SetTerminator(3, "\r\n"));
  EXPECT_TRUE(a->checkSum);
  EXPECT_STREQ(a->terminator, "\r\n");
  EXPECT_FALSE(b->checkSum);
  EXPECT_STREQ(b->terminator, "\r");
  EXPECT_EQ(reg.IndexOf(reg.GetComPortNode(4)), 2);
  EXPECT_TRUE(reg.DeleteComPort(3));
  EXPECT_EQ(reg.GetComPortNode(3), b);
  EXPECT_TRUE(reg.DeleteComPort(3));
  EXPECT_FALSE(reg.DeleteComPort(3));
  EXPECT_NE(reg.GetComPortNode(4), nullptr);

  // Overlong texts are cut to their fields; null counts as empty.
  reg.AddComPort(7, std::string(40, 'n').c_str());
  ComPortNode* c = reg.GetComPortNode(7);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(std::string(c->name), std::string(22, 'n'));
  EXPECT_TRUE(reg.SetTerminator(7, std::string(600, 't').c_str()));
  EXPECT_EQ(std::string(c->terminator), std::string(255, 't'));
  EXPECT_TRUE(reg.SetTerminator(7, nullptr));
  EXPECT_STREQ(c->terminator, "");
}

TEST(ComPortList, ConcurrentAddConfigureRemove) {
  ComPortList reg;
  std::atomic<int> failures{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < 6; ++t) {
    ts.emplace_back([&, t] {
      const unsigned long port = 100 + t;  // each thread owns one port number
      const std::string name = "ttyT" + std::to_string(t);
      for (int i = 0; i < 400; ++i) {
        reg.AddComPort(port, name.c_str());
        if (!reg.EnableCheckSum(port, (i & 1) != 0)) ++failures;
        if (!reg.SetTerminator(port, (i & 1) ? "\n" : "\r")) ++failures;
        if (reg.GetComPortHANDLE(name.c_str()) == nullptr) ++failures;
        reg.GetComPortNode(200);  // a miss walks the whole list
        if (!reg.DeleteComPort(port)) ++failures;
      }
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(reg.first, nullptr);
  EXPECT_EQ(reg.last, nullptr);
}

}  // namespace
