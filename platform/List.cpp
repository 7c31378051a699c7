#include "platform/List.h"

#include <mutex>

List::~List()
{
    RemoveAll();
}

ListNode* List::Append(void* item)
{
    std::lock_guard guard(lock);
    auto* node = new ListNode{item, nullptr, last};
    if (last != nullptr)
        last->next = node;
    else
        first = node;
    last = node;
    ++count;
    return node;
}

void List::RemoveAll(void (*release)(void* item))
{
    std::lock_guard guard(lock);
    ListNode* node = first;
    while (node != nullptr) {
        ListNode* next = node->next;
        if (release != nullptr)
            release(node->item);
        {
            std::lock_guard unlink(lock);
            if (node->prev != nullptr)
                node->prev->next = node->next;
            else
                first = node->next;
            if (node->next != nullptr)
                node->next->prev = node->prev;
            else
                last = node->prev;
            --count;
            delete node;
        }
        node = next;
    }
}

void List::MoveToFront(ListNode* node)
{
    std::lock_guard guard(lock);
    if (node == nullptr || node == first)
        return;
    node->prev->next = node->next;
    if (node->next != nullptr)
        node->next->prev = node->prev;
    else
        last = node->prev;
    node->prev = nullptr;
    node->next = first;
    first->prev = node;
    first = node;
}
