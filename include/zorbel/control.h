// Connection control and pipes: the connection object a client creates,
// starts and stops, and the named, numbered, reference-counted pipes that
// carry byte streams over its channels.
#ifndef ZORBEL_CONTROL_H
#define ZORBEL_CONTROL_H

#include <atomic>
#include <memory>

#include "zorbel/block.h"
#include "zorbel/channel.h"
#include "zorbel/export.h"
#include "zorbel/support.h"

// The classic interface keeps the names that client programs written against
// it use, so the internal code's naming rule does not apply from here on.
// NOLINTBEGIN(readability-identifier-naming)

// An object with a process-unique id (never reused, the first is 1) and an
// optional name. The name is stored by pointer, not copied.
class ZORBEL_API XAtom {
public:
    XAtom();
    explicit XAtom(char* name);
    XAtom(const XAtom& other);
    XAtom& operator=(const XAtom& other);
    virtual ~XAtom();
    // A text of the class, owned by the library and valid for the life of the
    // process; nobody writes through the pointer.
    virtual char* get_class() = 0;

    unsigned long get_uid();
    // The pointer given at construction (or null): the caller's text, which
    // must outlive the atom; the atom neither copies nor frees it.
    char* get_name();

protected:
    std::uint32_t uid;
    char* name;
};

class XPipe;
class XPipeTable;

// Makes pipes, keeps every living pipe in a reference-counted table, finds
// them by name, uid or number, and destroys a pipe when its last reference
// is given back. How a pipe is made and unmade is up to derived factories.
//
// Thread-safety: every table operation runs under protocol_critical; a lookup
// takes its reference while still holding it.
class ZORBEL_API XPipeFactory : public XAtom {
public:
    XPipeFactory();
    ~XPipeFactory() override;
    XPipeFactory(const XPipeFactory&) = delete;  // the table is owned
    XPipeFactory& operator=(const XPipeFactory&) = delete;
    char* get_class() override;

    // Makes a pipe and enters it with one reference, which the caller owns and
    // gives back with delete_pipe or XPipe::release (the pipe is destroyed
    // with the last reference); null on failure. A
    // factory whose numbers map to channels (XMCPPipeFactory) also returns
    // null for a number that a pipe holds, or that another thread is making
    // or releasing the last pipe of at this moment. Never holds a lock while
    // the pipe is made, so it may be called inside the critical section.
    XPipe* new_pipe(char* name, unsigned long num, unsigned long param);
    // Each found pipe carries one more reference, to be given back with
    // delete_pipe or XPipe::release; the pipe stays valid until then. Null
    // when none matches.
    XPipe* get_pipe_by_name(char* name, unsigned long param);
    XPipe* get_pipe_by_uid(unsigned long uid, unsigned long param);
    XPipe* get_pipe_by_num(unsigned long num, unsigned long param);
    // Gives one reference back; true when it was the last one and the pipe
    // has been destroyed.
    bool delete_pipe(XPipe* pipe, unsigned long param);
    // Pipes in the table; there is no fixed maximum (0). Both -1 without a table.
    long get_pipes_total();
    long get_pipes_max();

protected:
    virtual XPipe* create_pipe(char* name, unsigned long num, unsigned long param);
    virtual void destroy_pipe(XPipe* pipe);
    bool add_pipe(XPipe* pipe);
    bool remove_pipe(XPipe* pipe);

    XPipeTable* table;
};

// A named, numbered atom that hands out one input and one output stream. The
// plain XPipe has no streams of its own and hands out the shared null ones.
// Pipes are made and destroyed only through their factory.
class ZORBEL_API XPipe : public XAtom {
public:
    explicit XPipe(XPipeFactory& factory);
    XPipe(XPipeFactory& factory, char* name);
    XPipe(const XPipe&) = delete;  // pipes own streams and table entries
    XPipe& operator=(const XPipe&) = delete;
    char* get_class() override;
    virtual Input& get_input();
    virtual Output& get_output();
    virtual unsigned long get_num();

    XPipeFactory& get_factory();
    // Gives this reference back; true when the pipe has been destroyed.
    bool release();
    bool is_good();
    bool is_opened();
    bool is_bad();
    bool is_closed();

protected:
    friend class XPipeFactory;
    ~XPipe() override;  // only the factory destroys pipes
    virtual unsigned short get_state();

    XPipeFactory* factory;
};

// A pipe that owns an input and an output stream (either may be null, in
// which case the null stream stands in) and carries a number.
class ZORBEL_API XPipeBase : public XPipe {
public:
    XPipeBase(XPipeFactory& factory, char* name, Input* input, Output* output, unsigned long num);
    ~XPipeBase() override;
    XPipeBase(const XPipeBase&) = delete;  // both copies would delete the streams
    XPipeBase& operator=(const XPipeBase&) = delete;

    Input& get_input() override;
    Output& get_output() override;
    unsigned long get_num() override;

protected:
    Input* input;
    Output* output;
    unsigned long num;
};

// The stream a pipe without an input hands out: bad from the start, reads
// nothing.
class ZORBEL_API NullInputStream : public Input {
public:
    NullInputStream();
    long read(unsigned char* buf, long count) override;
    int read_byte() override;
    long seekg(long offset, seek_t origin) override;
    long tellg() override;
};

// The stream a pipe without an output hands out: good, swallows everything.
class ZORBEL_API NullOutputStream : public Output {
public:
    NullOutputStream();
    long write(const unsigned char* data, long count) override;
    int write_byte(int c) override;
    long seekp(long offset, seek_t origin) override;
    long tellp() override;
};

extern ZORBEL_API NullInputStream NullInput;
extern ZORBEL_API NullOutputStream NullOutput;

class ChanIOControl;

// The pipe factory of a connection: pipe number p (1..125) becomes an output
// channel 2p-1 and an input channel 2p on the connection's block engine.
class ZORBEL_API XMCPPipeFactory : public XPipeFactory {
public:
    XMCPPipeFactory();
    XMCPPipeFactory(const XMCPPipeFactory&) = delete;
    XMCPPipeFactory& operator=(const XMCPPipeFactory&) = delete;
    char* get_class() override;

    ChanIOControl* control;

protected:
    XPipe* create_pipe(char* name, unsigned long num, unsigned long param) override;
};

namespace zorbel {
class DeviceClaim;
}

// One connection to one device: owns the USB transport, the block engine and
// the pipe factory. start(index) claims the device system-wide, opens it and
// starts the reader; stop() ends it. A device is held by one connection at a
// time across all processes.
//
// Thread-safety: start, stop and the destructor on one thread at a time;
// was_started / was_stopped from any thread.
class ZORBEL_API ChanIOControl {
public:
    ChanIOControl();
    ~ChanIOControl();
    ChanIOControl(const ChanIOControl&) = delete;
    ChanIOControl& operator=(const ChanIOControl&) = delete;

    bool start(int index);
    bool stop();
    bool started();
    bool stopped();
    bool was_started(unsigned long ms);
    bool was_stopped(unsigned long ms);
    // The connection's own engine and pipe factory (null only if they could
    // not be allocated). Owned by the connection: valid until it is
    // destroyed, across stop() and start(); never delete them.
    BlockDriver* get_block_driver();
    XPipeFactory* get_pipe_factory();
    void init_mcp_pipe_factory();
    void fini_mcp_pipe_factory();

private:
    std::atomic<bool> is_stopped;
    FormalSeqDriver* driver;
    XMCPPipeFactory* pipe_factory;
    BlockDriver* block_driver;
    Flag stop_flag;
    Flag start_flag;
    std::unique_ptr<zorbel::DeviceClaim> owner_mutex;
};

// NOLINTEND(readability-identifier-naming)

#endif
