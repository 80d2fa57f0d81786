#include <climits>
#include <cstring>
#include <new>
#include <utility>

#include "zorbel/support.h"

namespace {

// The built-in character sets. The globals point at them until a client
// points them elsewhere; the arrays are writable because the globals are
// char* (the interface predates const) but nothing here writes them.
char default_separators[] = " \t\n";
char default_prefix[] = "$";
char default_suffix[] = "=";

// A copy of `s` on the heap, or null when `s` is null or memory ran out: a
// parser without a line (or with a default set) is the graceful outcome.
char* duplicate(const char* s) {
    if (!s) return nullptr;
    std::size_t n = std::strlen(s);
    char* copy = new (std::nothrow) char[n + 1];
    if (copy) std::memcpy(copy, s, n + 1);
    return copy;
}

// A set given as null falls back to the built-in one, so that no scan ever
// reads through a null pointer.
const char* or_default(const char* set, const char* fallback) { return set ? set : fallback; }

bool in(const char* set, char c) { return c != '\0' && std::strchr(set, c) != nullptr; }

}  // namespace

char* separator_chars = default_separators;
char* mod_prefix = default_prefix;
char* mod_suffix = default_suffix;

XParser::XParser(char* line, char* separators, char* prefix, char* suffix) {
    set_line(line);
    this->separators = duplicate(or_default(separators, default_separators));
    this->prefix = duplicate(or_default(prefix, default_prefix));
    this->suffix = duplicate(or_default(suffix, default_suffix));
}

XParser::~XParser() {
    delete[] line;
    delete[] separators;
    delete[] prefix;
    delete[] suffix;
}

// Copies own their strings: sharing them would free them twice. The cursors
// keep their offsets into the copied line.
XParser::XParser(const XParser& other)
    : line(duplicate(other.line)),
      separators(duplicate(other.separators)),
      prefix(duplicate(other.prefix)),
      suffix(duplicate(other.suffix)) {
    if (line) {
        mod_cursor = line + (other.mod_cursor - other.line);
        param_cursor = line + (other.param_cursor - other.line);
    }
}

XParser& XParser::operator=(const XParser& other) {
    if (this == &other) return *this;
    XParser copy(other);
    std::swap(line, copy.line);
    std::swap(separators, copy.separators);
    std::swap(prefix, copy.prefix);
    std::swap(suffix, copy.suffix);
    std::swap(mod_cursor, copy.mod_cursor);
    std::swap(param_cursor, copy.param_cursor);
    return *this;
}

unsigned int XParser::set_line(char* s) {
    // Copied before the old line is freed, so `s` may point into it.
    char* copy = nullptr;
    std::size_t n = s ? std::strlen(s) : 0;
    if (s && n < UINT_MAX) copy = duplicate(s);  // lengths are reported as unsigned int
    delete[] line;
    line = mod_cursor = param_cursor = copy;
    return copy ? static_cast<unsigned int>(n) : 0;
}

unsigned int XParser::skip(const char* s, const char* set, bool in_set, char* out) {
    if (!s) return 0;
    const char* p = s;
    while (*p && in(set, *p) == in_set) ++p;
    std::size_t n = static_cast<std::size_t>(p - s);
    if (out) {
        std::memcpy(out, s, n);
        out[n] = '\0';
    }
    return static_cast<unsigned int>(n);
}

// The command splits at the global separators as they are at the time of
// the call, not at the parser's own set: a parser with other separators
// still names the same command as one with the defaults.
unsigned int XParser::get_command(char* out) {
    if (!line) return 0;
    const char* seps = or_default(separator_chars, default_separators);
    const char* p = line + skip(line, seps, true, nullptr);
    return skip(p, seps, false, out);
}

unsigned int XParser::get_first_modifier(char* out) {
    if (!line) return 0;
    mod_cursor = line;
    return get_next_modifier(out);
}

// The search for a prefix covers the whole rest of the line, so a prefix
// inside the command, a value or a parameter starts a modifier too.
unsigned int XParser::get_next_modifier(char* out) {
    if (!line) return 0;
    char* p = mod_cursor + skip(mod_cursor, prefix, false, nullptr);
    if (*p == '\0' || *p != prefix[0]) return 0;
    p += skip(p, prefix, true, nullptr);  // "$$name" reads as "$name"
    // The name runs up to the first suffix or separator character.
    unsigned int n = skip(p, suffix, false, nullptr);
    unsigned int to_separator = skip(p, separators, false, nullptr);
    if (to_separator < n) n = to_separator;
    if (out) {
        std::memcpy(out, p, n);
        out[n] = '\0';
    }
    mod_cursor = p + n;
    return n;
}

// The value is the word after the next suffix on the line, wherever that
// is: a modifier written without a value takes the next modifier's value.
unsigned int XParser::get_mod_value(char* out) {
    if (!line) return 0;
    const char* p = mod_cursor + skip(mod_cursor, suffix, false, nullptr);
    if (*p == '\0' || *p != suffix[0]) return 0;
    p += skip(p, suffix, true, nullptr);  // "==" reads as "="
    p += skip(p, separators, true, nullptr);
    return skip(p, separators, false, out);
}

// Parameters begin behind the command and behind every following group of
// prefix, name, suffix and value word (separators around the suffix allowed).
unsigned int XParser::get_first_param(char* out) {
    if (!line || *line == '\0') return 0;
    char* p = line + skip(line, separators, true, nullptr);
    for (;;) {
        p += skip(p, separators, false, nullptr);  // the command, then a value
        p += skip(p, separators, true, nullptr);
        if (*p == '\0' || *p != prefix[0]) break;
        p += skip(p, suffix, false, nullptr);
        p += skip(p, suffix, true, nullptr);
        p += skip(p, separators, true, nullptr);
    }
    param_cursor = p;
    return next_param(out);
}

unsigned int XParser::get_next_param(char* out) {
    if (!line || *line == '\0') return 0;
    if (param_cursor == line) return get_first_param(out);
    return next_param(out);
}

unsigned int XParser::next_param(char* out) {
    char* p = param_cursor + skip(param_cursor, separators, true, nullptr);
    unsigned int n = skip(p, separators, false, out);
    param_cursor = p + n;
    return n;
}

// The result never grows past the line's own length: the command splits at
// the global separators and the parameters at the parser's, and when the two
// sets differ the words can overlap. A caller's buffer of the line's length
// plus one must always be enough, so a parameter that would not fit ends it.
unsigned int XParser::delete_modifiers(char* out) {
    if (!out || !line) return 0;
    unsigned int len = get_command(out);
    if (len == 0) return 0;
    const std::size_t room = std::strlen(line);
    for (;;) {
        unsigned int n = peek_param_length();
        if (n == 0 || len + 1 + n > room) break;
        out[len] = ' ';
        len += 1 + get_next_param(out + len + 1);
    }
    out[len] = '\0';
    return len + 1;
}

unsigned int XParser::peek_param_length() {
    char* saved = param_cursor;
    unsigned int n = get_next_param(nullptr);
    param_cursor = saved;
    return n;
}
