// Doubly linked list of item pointers with its own re-entrant lock. The list
// owns its nodes, never its items. Readers walk first/next without the lock:
// lists change only during start-up and teardown.
#pragma once

#include "platform/Platform.h"

struct ListNode {
    void* item;
    ListNode* next;
    ListNode* prev;
};

struct List {
    RecursiveLock lock;
    int count = 0;
    ListNode* first = nullptr;
    ListNode* last = nullptr;

    List() = default;
    List(const List&) = delete;
    List& operator=(const List&) = delete;
    ~List();

    // Adds item at the end and returns its node.
    ListNode* Append(void* item);
    // Removes every node; each item goes to release first when one is given.
    void RemoveAll(void (*release)(void* item) = nullptr);
    // Unlinks node and puts it at the front; the others keep their order.
    void MoveToFront(ListNode* node);
};
