#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "support/last_error.h"
#include "control/pipe_table.h"
#include "zorbel/control.h"

namespace {
// Class names are handed out as char* (the interface predates const), so they
// live in writable arrays that nobody writes.
char factory_class_name[] = "XPipeFactory";
}  // namespace

// A table that cannot be allocated leaves the factory usable but empty: every
// operation then reports failure instead of the constructor throwing.
XPipeFactory::XPipeFactory() : XAtom(), table(new (std::nothrow) XPipeTable) {}

// The pipes still in the table are not destroyed: each belongs to whoever
// holds its references, and a client releases every pipe first.
XPipeFactory::~XPipeFactory() {
    zorbel::detail::CriticalLock lock;
    delete table;
    table = nullptr;
}

char* XPipeFactory::get_class() { return factory_class_name; }

// A factory with unique numbers reserves the number before the pipe is made
// and keeps it until the pipe is in the table, so two threads asking for one
// number at once get one pipe between them. No lock is held while the pipe is
// made: making it attaches channels, which takes protocol_critical, and a
// factory lock held across that would deadlock against a client that holds
// the critical section while it makes or releases a pipe.
XPipe* XPipeFactory::new_pipe(char* name, unsigned long num, unsigned long param) {
    if (!table) {
        zorbel::detail::set_last_error(zorbel::errc::io_error, "the pipe factory has no table");
        return nullptr;
    }
    const bool numbered = table->unique_numbers;
    if (numbered) {
        // A number the table cannot hold is no pipe number at all, not one in use.
        if (!XPipeTable::holds_number(num)) {
            zorbel::detail::set_last_error(zorbel::errc::invalid_argument, "pipe " + std::to_string(num));
            return nullptr;
        }
        zorbel::detail::CriticalLock lock;
        if (!table->reserve_number(num)) {
            zorbel::detail::set_last_error(zorbel::errc::busy,
                                           "pipe " + std::to_string(num) + " is open already");
            return nullptr;
        }
    }
    XPipe* pipe = create_pipe(name, num, param);
    const bool added = pipe && add_pipe(pipe);
    // Made but not entered: nobody could ever release it, so unmake it now.
    if (pipe && !added) destroy_pipe(pipe);
    if (numbered) {
        zorbel::detail::CriticalLock lock;
        table->free_number(num);
    }
    // A factory that maps numbers to channels refuses numbers outside them.
    if (!added)
        zorbel::detail::set_last_error(pipe ? zorbel::errc::busy : zorbel::errc::invalid_argument,
                                       "pipe " + std::to_string(num));
    return added ? pipe : nullptr;
}

XPipe* XPipeFactory::get_pipe_by_name(char* name, unsigned long) {
    if (!table || !name) return nullptr;
    zorbel::detail::CriticalLock lock;
    XPipeNode* node = table->find([name](XPipe* p) {
        char* n = p->get_name();
        return n && std::strcmp(n, name) == 0;
    });
    if (!node) return nullptr;
    ++node->refs;
    return node->item;
}

XPipe* XPipeFactory::get_pipe_by_uid(unsigned long uid, unsigned long) {
    if (!table) return nullptr;
    zorbel::detail::CriticalLock lock;
    XPipeNode* node = table->find([uid](XPipe* p) { return p->get_uid() == uid; });
    if (!node) return nullptr;
    ++node->refs;
    return node->item;
}

XPipe* XPipeFactory::get_pipe_by_num(unsigned long num, unsigned long) {
    if (!table) return nullptr;
    zorbel::detail::CriticalLock lock;
    XPipeNode* node = table->find([num](XPipe* p) { return p->get_num() == num; });
    if (!node) return nullptr;
    ++node->refs;
    return node->item;
}

// The pipe leaves the table and, for a factory with unique numbers, its number
// stays taken until the destruction is over: the old pipe's channels leave the
// engine's table in their destructors, and a new pipe with the number must
// not register its channels before that.
bool XPipeFactory::delete_pipe(XPipe* pipe, unsigned long) {
    if (!table || !pipe) return false;
    unsigned long num = 0;
    bool held = false;
    {
        zorbel::detail::CriticalLock lock;
        if (!remove_pipe(pipe)) return false;
        if (table->unique_numbers) {
            num = pipe->get_num();
            table->hold_number(num);
            held = true;
        }
    }
    // Out of the table, so no other thread can reach it any more.
    destroy_pipe(pipe);
    if (held) {
        zorbel::detail::CriticalLock lock;
        table->free_number(num);
    }
    return true;
}

long XPipeFactory::get_pipes_total() {
    if (!table) return -1;
    zorbel::detail::CriticalLock lock;
    return table->total;
}

long XPipeFactory::get_pipes_max() { return table ? 0 : -1; }

XPipe* XPipeFactory::create_pipe(char* name, unsigned long, unsigned long) {
    return new (std::nothrow) XPipe(*this, name);
}

void XPipeFactory::destroy_pipe(XPipe* pipe) { delete pipe; }

bool XPipeFactory::add_pipe(XPipe* pipe) {
    if (!pipe || !table) return false;
    XPipeNode* node = new (std::nothrow) XPipeNode{nullptr, nullptr, pipe, 1};
    if (!node) return false;
    zorbel::detail::CriticalLock lock;
    table->link_first(node);
    return true;
}

bool XPipeFactory::remove_pipe(XPipe* pipe) {
    if (!pipe || !table) return false;
    zorbel::detail::CriticalLock lock;
    if (table->total <= 0) return false;
    XPipeNode* node = table->find([pipe](XPipe* p) { return p == pipe; });
    if (!node) return false;
    if (--node->refs > 0) return false;
    table->unlink(node);
    delete node;
    return true;
}
