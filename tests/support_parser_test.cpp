#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zorbel/support.h"

namespace {

// Buffers sized exactly as the parser's contract asks (the line's length plus
// one), on the heap so that the address sanitizer sees any overrun.
std::unique_ptr<char[]> buffer_for(const std::string& line) {
    return std::unique_ptr<char[]>(new char[line.size() + 1]);
}

std::vector<std::string> all_params(XParser& p, char* out) {
    std::vector<std::string> got;
    for (unsigned n = p.get_first_param(out); n; n = p.get_next_param(out)) {
        EXPECT_EQ(n, std::strlen(out));
        got.emplace_back(out);
    }
    return got;
}

std::vector<std::pair<std::string, std::string>> all_modifiers(XParser& p, char* out) {
    std::vector<std::pair<std::string, std::string>> got;
    for (unsigned n = p.get_first_modifier(out); n; n = p.get_next_modifier(out)) {
        EXPECT_EQ(n, std::strlen(out));
        std::string name = out;
        unsigned v = p.get_mod_value(out);
        got.emplace_back(name, v ? std::string(out) : std::string());
        if (v) {
            EXPECT_EQ(v, std::strlen(out));
        }
    }
    return got;
}

struct LineCase {
    std::string line;
    std::string command;
    std::vector<std::pair<std::string, std::string>> modifiers;  // "" = no value
    std::vector<std::string> params;
    std::string stripped;  // delete_modifiers on a fresh parser
};

}  // namespace

TEST(Parser, TableOfLines) {
    const LineCase cases[] = {
        {"send $port=3 $mode = fast file1 file2",
         "send",
         {{"port", "3"}, {"mode", "fast"}},
         {"file1", "file2"},
         "send file1 file2"},
        {"cmd", "cmd", {}, {}, "cmd"},
        // A modifier without a value takes the next suffix's value on the line.
        {"cmd $a $b=1 x", "cmd", {{"a", "1"}, {"b", "1"}}, {"x"}, "cmd x"},
        // The parameter scan looks for the modifier's suffix up to the line's end.
        {"cmd $flag p1 p2", "cmd", {{"flag", ""}}, {}, "cmd"},
        {"cmd $$v==w p", "cmd", {{"v", "w"}}, {"p"}, "cmd p"},
        // A prefix inside the command word starts a modifier too.
        {"x$y=1 p", "x$y=1", {{"y", "1"}}, {"p"}, "x$y=1 p"},
        {"  go  a  b ", "go", {}, {"a", "b"}, "go a b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::string line = c.line;
        auto out = buffer_for(line);
        XParser p(&line[0]);
        EXPECT_EQ(p.delete_modifiers(out.get()), c.stripped.size() + 1);
        EXPECT_EQ(out.get(), c.stripped);

        p.set_line(&line[0]);
        EXPECT_EQ(p.get_command(out.get()), c.command.size());
        EXPECT_EQ(out.get(), c.command);
        EXPECT_EQ(all_modifiers(p, out.get()), c.modifiers);
        EXPECT_EQ(all_params(p, out.get()), c.params);
        EXPECT_EQ(p.get_next_param(out.get()), 0u);  // stays at the end
    }
}

TEST(Parser, CursorsMoveIndependently) {
    char line[] = "run $a=1 one two three";
    char out[sizeof line];
    XParser p(line);
    EXPECT_EQ(p.set_line(line), std::strlen(line));
    // get_next_param before get_first_param locates the parameters itself.
    ASSERT_EQ(p.get_next_param(out), 3u);
    EXPECT_STREQ(out, "one");
    // Modifier scans leave the parameter cursor alone, and get_command moves nothing.
    ASSERT_EQ(p.get_first_modifier(out), 1u);
    EXPECT_EQ(p.get_command(out), 3u);
    EXPECT_EQ(p.get_mod_value(out), 1u);
    EXPECT_STREQ(out, "1");
    // delete_modifiers appends only the parameters not read yet.
    EXPECT_EQ(p.delete_modifiers(out), std::strlen("run two three") + 1);
    EXPECT_STREQ(out, "run two three");
    EXPECT_EQ(p.get_next_param(out), 0u);
}

// The parameters split at the parser's own separators, the command at the
// global ones as they are when get_command runs.
TEST(Parser, OwnSeparatorsAgainstGlobalOnes) {
    char line[] = "a b,c,d";
    char comma[] = ",";
    char out[sizeof line];
    XParser p(line, comma);
    EXPECT_EQ(p.get_command(out), 1u);
    EXPECT_STREQ(out, "a");
    std::vector<std::string> params = all_params(p, out);
    EXPECT_EQ(params, (std::vector<std::string>{"c", "d"}));
    p.set_line(line);
    EXPECT_EQ(p.delete_modifiers(out), 6u);
    EXPECT_STREQ(out, "a c d");

    // Changing a global affects get_command at once, and parsers built later.
    char* saved = separator_chars;
    separator_chars = comma;
    EXPECT_EQ(p.get_command(out), 3u);
    EXPECT_STREQ(out, "a b");
    XParser later(line);
    EXPECT_EQ(all_params(later, out), (std::vector<std::string>{"c", "d"}));
    separator_chars = saved;

    // Here the command (split at spaces) is the whole line while the
    // parameters (split at commas) repeat part of it; the rebuilt line must
    // still fit in the line's length plus one.
    std::string overlapping = "abc,d";
    auto buf = buffer_for(overlapping);
    XParser q(&overlapping[0], comma);
    unsigned n = q.delete_modifiers(buf.get());
    EXPECT_LE(n, overlapping.size() + 1);
    EXPECT_EQ(std::strncmp(buf.get(), "abc,d", 5), 0);
}

TEST(Parser, NullsAndEmptyLines) {
    char out[16] = "untouched";
    XParser none;
    EXPECT_EQ(none.set_line(nullptr), 0u);
    EXPECT_EQ(none.get_command(out), 0u);
    EXPECT_EQ(none.get_first_modifier(out), 0u);
    EXPECT_EQ(none.get_next_modifier(out), 0u);
    EXPECT_EQ(none.get_mod_value(out), 0u);
    EXPECT_EQ(none.get_first_param(out), 0u);
    EXPECT_EQ(none.get_next_param(out), 0u);
    EXPECT_EQ(none.delete_modifiers(out), 0u);
    EXPECT_STREQ(out, "untouched");

    char empty[] = "";
    XParser e(empty);
    EXPECT_EQ(e.get_first_param(out), 0u);
    EXPECT_EQ(e.get_next_param(out), 0u);
    EXPECT_EQ(e.get_command(out), 0u);
    EXPECT_EQ(e.delete_modifiers(out), 0u);

    // Null character sets fall back to the defaults; a null `out` only counts.
    char line[] = "go $k=v p";
    XParser n(line, nullptr, nullptr, nullptr);
    EXPECT_EQ(n.get_command(nullptr), 2u);
    EXPECT_EQ(n.get_first_modifier(nullptr), 1u);
    EXPECT_EQ(n.get_mod_value(nullptr), 1u);
    EXPECT_EQ(n.get_first_param(out), 1u);
    EXPECT_STREQ(out, "p");
    EXPECT_EQ(n.delete_modifiers(nullptr), 0u);

    // A null global separator set is read as the default one.
    char* saved = separator_chars;
    separator_chars = nullptr;
    EXPECT_EQ(n.get_command(out), 2u);
    XParser defaults(line);
    EXPECT_EQ(defaults.get_first_param(out), 1u);
    separator_chars = saved;
}

TEST(Parser, CopiesOwnTheirStrings) {
    char line[] = "cp $r=1 src dst";
    char out[sizeof line];
    auto original = std::make_unique<XParser>(line);
    ASSERT_EQ(original->get_first_param(out), 3u);  // "src" read

    XParser copy(*original);
    XParser assigned;
    assigned = *original;
    XParser& same = assigned;
    assigned = same;   // self-assignment keeps the line
    original.reset();  // the copies must not share what it freed

    for (XParser* p : {&copy, &assigned}) {
        EXPECT_EQ(p->get_next_param(out), 3u);  // carries on where the original was
        EXPECT_STREQ(out, "dst");
        EXPECT_EQ(p->get_first_modifier(out), 1u);
        EXPECT_STREQ(out, "r");
    }
    // A line taken from inside the parser's own copy.
    char fresh[] = "alpha beta";
    copy.set_line(fresh);
    copy.get_first_param(out);
    EXPECT_EQ(copy.set_line(out), 4u);
    EXPECT_EQ(copy.get_command(out), 4u);
    EXPECT_STREQ(out, "beta");
}

TEST(Parser, LongLine) {
    std::string line = "cmd";
    for (int i = 0; i < 20000; ++i) line += " $m" + std::to_string(i) + "=v p" + std::to_string(i);
    auto out = buffer_for(line);
    XParser p(&line[0]);
    EXPECT_EQ(p.get_command(out.get()), 3u);
    unsigned mods = 0;
    for (unsigned n = p.get_first_modifier(out.get()); n; n = p.get_next_modifier(out.get())) ++mods;
    EXPECT_EQ(mods, 20000u);
    // Every value word is followed by a parameter, so "$m0=v p0" leaves p0
    // as the first parameter and the next modifier ends the scan there.
    EXPECT_EQ(p.get_first_param(out.get()), 2u);
    EXPECT_STREQ(out.get(), "p0");
    EXPECT_GT(p.delete_modifiers(out.get()), 0u);
}
