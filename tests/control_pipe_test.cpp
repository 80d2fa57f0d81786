#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "control/pipe_table.h"
#include "zorbel/control.h"

namespace {

// Streams that count their destruction and whose bad bit a test can flip.
struct Counted {
    int* deleted;
    void redirect(int* counter) { deleted = counter; }
};

class TestInput : public Input, public Counted {
public:
    TestInput(int* deleted, bool bad) : Counted{deleted} {
        if (bad) set(0x1);
    }
    ~TestInput() override { ++*deleted; }
    void make_bad(bool bad) { bad ? set(0x1) : clear(0x1); }
    long read(unsigned char*, long) override { return 0; }
    int read_byte() override { return 'i'; }
    long seekg(long, seek_t) override { return -1; }
    long tellg() override { return -1; }
};

class TestOutput : public Output, public Counted {
public:
    TestOutput(int* deleted, bool bad) : Counted{deleted} {
        if (bad) set(0x1);
    }
    ~TestOutput() override { ++*deleted; }
    void make_bad(bool bad) { bad ? set(0x1) : clear(0x1); }
    long write(const unsigned char*, long) override { return 0; }
    int write_byte(int) override { return -1; }
    long seekp(long, seek_t) override { return -1; }
    long tellp() override { return -1; }
};

// A factory whose pipes carry their number and a pair of counting streams,
// the way a concrete factory builds on the base one.
class NumberedFactory : public XPipeFactory {
public:
    int inputs_deleted = 0;
    int outputs_deleted = 0;

protected:
    XPipe* create_pipe(char* name, unsigned long num, unsigned long) override {
        return new XPipeBase(*this, name, new TestInput(&inputs_deleted, false),
                             new TestOutput(&outputs_deleted, false), num);
    }
};

// A factory whose table never takes a pipe, to see new_pipe unmake it again.
class RefusingFactory : public XPipeFactory {
public:
    int destroyed = 0;

protected:
    XPipe* create_pipe(char* name, unsigned long, unsigned long) override {
        delete table;  // from here on, the factory behaves as one without a table
        table = nullptr;
        return XPipeFactory::create_pipe(name, 0, 0);
    }
    void destroy_pipe(XPipe* pipe) override {
        ++destroyed;
        XPipeFactory::destroy_pipe(pipe);
    }
};

char kName[] = "alpha";

}  // namespace

TEST(Atom, UidsAreUniqueIncreasingAndCopied) {
    XPipeFactory a, b;
    EXPECT_GT(a.get_uid(), 0u);
    EXPECT_EQ(b.get_uid(), a.get_uid() + 1);

    // Atoms made on many threads at once never share a uid.
    std::vector<std::thread> threads;
    std::vector<std::vector<unsigned long>> seen(4);
    for (auto& s : seen)
        threads.emplace_back([&s] {
            for (int i = 0; i < 200; ++i) s.push_back(XPipeFactory().get_uid());
        });
    for (auto& t : threads) t.join();
    std::set<unsigned long> all;
    for (auto& s : seen) all.insert(s.begin(), s.end());
    EXPECT_EQ(all.size(), 800u);
}

TEST(PipeFactory, NewFactoryIsEmpty) {
    XPipeFactory f;
    EXPECT_EQ(f.get_pipes_total(), 0);
    EXPECT_EQ(f.get_pipes_max(), 0);
    EXPECT_STREQ(f.get_class(), "XPipeFactory");
    EXPECT_EQ(f.get_name(), nullptr);
    EXPECT_EQ(f.get_pipe_by_num(0, 0), nullptr);
    EXPECT_EQ(f.get_pipe_by_uid(f.get_uid(), 0), nullptr);
}

TEST(PipeFactory, SameNameTwiceFindsTheNewest) {
    XPipeFactory f;
    char* name = kName;  // stored by pointer, so one buffer serves both
    XPipe* p = f.new_pipe(name, 1, 0);
    XPipe* q = f.new_pipe(name, 1, 0);
    ASSERT_TRUE(p && q);
    EXPECT_NE(p->get_uid(), q->get_uid());
    EXPECT_EQ(p->get_name(), name);
    EXPECT_EQ(f.get_pipes_total(), 2);

    EXPECT_EQ(f.get_pipe_by_name(name, 0), q);
    char same_text[] = "alpha";  // compared by content, not by pointer
    EXPECT_EQ(f.get_pipe_by_name(same_text, 0), q);
    char other_case[] = "alphA";
    EXPECT_EQ(f.get_pipe_by_name(other_case, 0), nullptr);
    EXPECT_EQ(f.get_pipe_by_name(nullptr, 0), nullptr);

    // The base factory ignores the number: every pipe answers 0.
    EXPECT_EQ(f.get_pipe_by_num(0, 0), q);
    EXPECT_EQ(f.get_pipe_by_num(1, 0), nullptr);

    // q now holds three references (new_pipe and three lookups).
    EXPECT_FALSE(q->release());
    EXPECT_FALSE(q->release());
    EXPECT_FALSE(q->release());
    EXPECT_TRUE(q->release());
    EXPECT_EQ(f.get_pipes_total(), 1);
    EXPECT_EQ(f.get_pipe_by_name(name, 0), p);
    EXPECT_FALSE(p->release());
    EXPECT_TRUE(p->release());
    EXPECT_EQ(f.get_pipes_total(), 0);
}

TEST(PipeFactory, LastReferenceDestroys) {
    NumberedFactory f;
    XPipe* p = f.new_pipe(nullptr, 7, 0);
    ASSERT_NE(p, nullptr);
    XPipe* q = f.get_pipe_by_uid(p->get_uid(), 0);
    EXPECT_EQ(q, p);

    EXPECT_FALSE(f.delete_pipe(p, 0));
    EXPECT_EQ(f.get_pipe_by_num(7, 0), p);  // still findable (and one more reference)
    EXPECT_FALSE(f.delete_pipe(p, 0));
    EXPECT_EQ(f.inputs_deleted, 0);
    EXPECT_TRUE(f.delete_pipe(p, 0));
    EXPECT_EQ(f.get_pipes_total(), 0);
    EXPECT_EQ(f.inputs_deleted, 1);
    EXPECT_EQ(f.outputs_deleted, 1);
}

TEST(PipeFactory, ForeignAndNullPipesAreRefused) {
    XPipeFactory f, g;
    XPipe* mine = f.new_pipe(nullptr, 0, 0);
    XPipe* theirs = g.new_pipe(nullptr, 0, 0);
    EXPECT_FALSE(f.delete_pipe(theirs, 0));
    EXPECT_FALSE(f.delete_pipe(nullptr, 0));
    EXPECT_EQ(g.get_pipes_total(), 1);
    // A pipe created without a name is found by no name.
    char empty[] = "";
    EXPECT_EQ(f.get_pipe_by_name(empty, 0), nullptr);
    EXPECT_TRUE(mine->release());
    EXPECT_TRUE(theirs->release());
}

TEST(PipeFactory, WithoutATableEverythingFails) {
    RefusingFactory f;
    EXPECT_EQ(f.new_pipe(nullptr, 0, 0), nullptr);  // made, not entered, unmade
    EXPECT_EQ(f.destroyed, 1);
    EXPECT_EQ(f.get_pipes_total(), -1);
    EXPECT_EQ(f.get_pipes_max(), -1);
    EXPECT_EQ(f.new_pipe(nullptr, 0, 0), nullptr);
    char name[] = "x";
    EXPECT_EQ(f.get_pipe_by_name(name, 0), nullptr);
    EXPECT_EQ(f.get_pipe_by_uid(1, 0), nullptr);
    EXPECT_EQ(f.get_pipe_by_num(0, 0), nullptr);
}

TEST(PipeFactory, DestroyingTheFactoryLeavesPipesAlone) {
    int inputs = 0, outputs = 0;
    XPipe* p;
    XPipe* q;
    {
        NumberedFactory f;
        p = f.new_pipe(nullptr, 1, 0);
        q = f.new_pipe(nullptr, 2, 0);
        ASSERT_TRUE(p && q);
        inputs = f.inputs_deleted;
        outputs = f.outputs_deleted;
    }
    EXPECT_EQ(inputs, 0);
    EXPECT_EQ(outputs, 0);
    // Still whole: their streams answer. The channel-less pipes are then
    // deleted directly, as their owner would have to.
    EXPECT_EQ(p->get_input().read_byte(), 'i');
    EXPECT_EQ(q->get_num(), 2u);
    int gone = 0;
    for (XPipe* pipe : {p, q}) {
        auto* base = static_cast<XPipeBase*>(pipe);
        static_cast<TestInput&>(base->get_input()).redirect(&gone);
        static_cast<TestOutput&>(base->get_output()).redirect(&gone);
        delete base;
    }
    EXPECT_EQ(gone, 4);
}

// Lookups and releases race from several threads; each lookup's reference
// must keep the pipe alive until the same thread gives it back.
TEST(PipeFactory, ConcurrentLookupsAndReleases) {
    NumberedFactory f;
    XPipe* p = f.new_pipe(kName, 3, 0);
    ASSERT_NE(p, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&f] {
            for (int i = 0; i < 500; ++i) {
                XPipe* q = f.get_pipe_by_num(3, 0);
                ASSERT_NE(q, nullptr);
                EXPECT_EQ(q->get_num(), 3u);
                EXPECT_FALSE(q->release());
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(p->release());
    EXPECT_EQ(f.inputs_deleted, 1);
}

TEST(Pipe, PlainPipeUsesTheNullStreams) {
    XPipeFactory f;
    XPipe* p = f.new_pipe(nullptr, 5, 9);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->get_class(), "IPipe");
    EXPECT_EQ(&p->get_factory(), &f);
    EXPECT_EQ(p->get_num(), 0u);
    // The null input is bad, so a pipe without streams is closed.
    EXPECT_TRUE(p->is_closed());
    EXPECT_TRUE(p->is_bad());
    EXPECT_FALSE(p->is_opened());
    EXPECT_FALSE(p->is_good());

    unsigned char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(p->get_output().write(buf, 4), 4);
    EXPECT_EQ(p->get_output().write_byte(0xAB), 0xAB);
    EXPECT_EQ(p->get_input().read(buf, 4), 0);
    EXPECT_EQ(buf[0], 1);  // nothing was read into it
    EXPECT_EQ(p->get_input().read_byte(), -1);
    EXPECT_TRUE(p->release());
}

TEST(NullStreams, FixedAnswers) {
    EXPECT_EQ(NullInput.get_flags(), 0x1);
    EXPECT_EQ(NullOutput.get_flags(), 0);
    EXPECT_EQ(NullInput.get_timeout(), 0);
    EXPECT_EQ(NullOutput.get_timeout(), 0);
    for (seek_t origin : {seek_set, seek_cur, seek_end}) {
        EXPECT_EQ(NullInput.seekg(10, origin), -1);
        EXPECT_EQ(NullOutput.seekp(10, origin), -1);
    }
    EXPECT_EQ(NullInput.tellg(), -1);
    EXPECT_EQ(NullOutput.tellp(), -1);
    EXPECT_EQ(NullInput.get_size(), -1);
    EXPECT_EQ(NullOutput.get_size(), -1);
}

TEST(PipeBase, StateFollowsTheStreams) {
    int in_deleted = 0, out_deleted = 0;
    XPipeFactory f;

    // Good input, no output: open, and writes vanish into the null output.
    auto* in = new TestInput(&in_deleted, false);
    auto* half = new XPipeBase(f, kName, in, nullptr, 42);
    EXPECT_TRUE(half->is_good());
    EXPECT_EQ(half->get_num(), 42u);
    EXPECT_EQ(&half->get_output(), static_cast<Output*>(&NullOutput));
    EXPECT_EQ(half->get_output().write_byte(7), 7);
    EXPECT_EQ(half->get_input().read_byte(), 'i');
    in->make_bad(true);
    EXPECT_TRUE(half->is_closed());
    delete half;
    EXPECT_EQ(in_deleted, 1);

    // Both streams: closed while either is bad, open when both are clear.
    auto* in2 = new TestInput(&in_deleted, false);
    auto* out2 = new TestOutput(&out_deleted, true);
    auto* full = new XPipeBase(f, nullptr, in2, out2, 1);
    EXPECT_TRUE(full->is_closed());
    out2->make_bad(false);
    EXPECT_TRUE(full->is_opened());
    delete full;
    EXPECT_EQ(in_deleted, 2);
    EXPECT_EQ(out_deleted, 1);

    // No streams at all: the null input makes it closed.
    auto* none = new XPipeBase(f, nullptr, nullptr, nullptr, 0);
    EXPECT_TRUE(none->is_closed());
    delete none;
}
