#include <gtest/gtest.h>

#include <vector>

#include "platform/List.h"

namespace {

std::vector<int> Items(const List& list)
{
    std::vector<int> items;
    for (ListNode* node = list.first; node != nullptr; node = node->next)
        items.push_back(*static_cast<int*>(node->item));
    // The back links must tell the same story.
    std::vector<int> backwards;
    for (ListNode* node = list.last; node != nullptr; node = node->prev)
        backwards.insert(backwards.begin(), *static_cast<int*>(node->item));
    EXPECT_EQ(items, backwards);
    EXPECT_EQ(static_cast<int>(items.size()), list.count);
    return items;
}

int released = 0;
void Release(void* item)
{
    ++released;
    delete static_cast<int*>(item);
}

TEST(ListTest, AppendMoveToFrontAndRemoveAll)
{
    List list;
    EXPECT_TRUE(Items(list).empty());
    EXPECT_EQ(list.last, nullptr);

    std::vector<ListNode*> nodes;
    for (int i = 1; i <= 4; ++i)
        nodes.push_back(list.Append(new int(i)));
    EXPECT_EQ(Items(list), (std::vector<int>{1, 2, 3, 4}));

    list.MoveToFront(nodes[2]);
    EXPECT_EQ(Items(list), (std::vector<int>{3, 1, 2, 4}));
    list.MoveToFront(nodes[3]); // the last one
    EXPECT_EQ(Items(list), (std::vector<int>{4, 3, 1, 2}));
    list.MoveToFront(nodes[3]); // already first
    EXPECT_EQ(Items(list), (std::vector<int>{4, 3, 1, 2}));

    released = 0;
    list.RemoveAll(Release);
    EXPECT_EQ(released, 4);
    EXPECT_TRUE(Items(list).empty());
    EXPECT_EQ(list.first, nullptr);
    EXPECT_EQ(list.last, nullptr);

    // Without a release function the items stay with their owner.
    int kept[2] = {7, 8};
    list.Append(&kept[0]);
    list.Append(&kept[1]);
    list.RemoveAll();
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(kept[1], 8);
    list.Append(&kept[1]);
    EXPECT_EQ(Items(list), (std::vector<int>{8}));
}

TEST(ListTest, LockIsReentrant)
{
    List list;
    std::lock_guard guard(list.lock);
    int item = 1;
    list.Append(&item); // takes the lock again on the same thread
    EXPECT_EQ(list.count, 1);
}

} // namespace
