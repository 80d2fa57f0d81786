// The pipe factory's table of living pipes with their reference counts.
#ifndef ZORBEL_CONTROL_PIPE_TABLE_H
#define ZORBEL_CONTROL_PIPE_TABLE_H

#include <bitset>

#include "support/critical_section.h"
#include "zorbel/control.h"

// One pipe in the table and the number of references handed out for it.
struct XPipeNode {
    XPipeNode* next;
    XPipeNode* prev;
    XPipe* item;
    int refs;
};

// A circular doubly linked list behind a sentinel head (whose item is null).
// New pipes go directly after the head, so a walk from head.next meets the
// most recently added pipe first: lookups by a name several pipes share find
// the newest one.
//
// Thread-safety: none of its own; the factory guards every walk and change
// with protocol_critical, the lock the block engine also takes, so that a
// lookup's reference is taken before any other thread can drop the last one.
class XPipeTable {
public:
    XPipeTable() : head{&head, &head, nullptr, 0}, total(0), unique_numbers(false) {}
    ~XPipeTable() { clear(); }
    XPipeTable(const XPipeTable&) = delete;
    XPipeTable& operator=(const XPipeTable&) = delete;

    // Links `node` directly after the head.
    void link_first(XPipeNode* node) REQUIRES(zorbel::detail::critical_section) {
        node->prev = &head;
        node->next = head.next;
        head.next->prev = node;
        head.next = node;
        ++total;
    }

    void unlink(XPipeNode* node) REQUIRES(zorbel::detail::critical_section) {
        node->prev->next = node->next;
        node->next->prev = node->prev;
        node->next = node->prev = node;
        --total;
    }

    // The first node, newest first, for which `match(item)` holds; null if none.
    template <typename Match>
    XPipeNode* find(Match match) REQUIRES(zorbel::detail::critical_section) {
        for (XPipeNode* n = head.next; n != &head; n = n->next)
            if (match(n->item)) return n;
        return nullptr;
    }

    // Frees every node; the pipes themselves are left alone. Called by the
    // destructor, which the factory runs inside the critical section; the
    // analysis does not follow a destructor's caller.
    void clear() NO_THREAD_SAFETY_ANALYSIS {
        while (head.next != &head) {
            XPipeNode* n = head.next;
            unlink(n);
            delete n;
        }
    }

    static bool holds_number(unsigned long num) { return num < kNumbers; }

    // Takes `num` for a pipe about to be made: false while a pipe in the
    // table carries it or another is being made or destroyed under it.
    bool reserve_number(unsigned long num) REQUIRES(zorbel::detail::critical_section) {
        if (num >= busy_numbers.size() || busy_numbers.test(num)) return false;
        if (find([num](XPipe* p) { return p->get_num() == num; })) return false;
        busy_numbers.set(num);
        return true;
    }
    // Marks `num` as held by a pipe that has left the table and is being
    // destroyed; its channels are still registered until that ends.
    void hold_number(unsigned long num) REQUIRES(zorbel::detail::critical_section) {
        if (num < busy_numbers.size()) busy_numbers.set(num);
    }
    void free_number(unsigned long num) REQUIRES(zorbel::detail::critical_section) {
        if (num < busy_numbers.size()) busy_numbers.reset(num);
    }

    XPipeNode head GUARDED_BY(zorbel::detail::critical_section);
    int total GUARDED_BY(zorbel::detail::critical_section);
    // Set by factories whose pipe number maps to fixed channels, so that a
    // number is in use once: from the start of its new_pipe to the end of the
    // destruction that its last release starts.
    bool unique_numbers;
    static constexpr std::size_t kNumbers = 256;
    std::bitset<kNumbers> busy_numbers GUARDED_BY(zorbel::detail::critical_section);
};

#endif
