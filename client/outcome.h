// How the modern interface's calls fail: one body fills an Outcome, and the
// two public forms either throw it as zorbel::Error or hand its code to the
// caller's std::error_code.
#ifndef ZORBEL_CLIENT_OUTCOME_H
#define ZORBEL_CLIENT_OUTCOME_H

#include <string>
#include <system_error>
#include <utility>

#include "support/last_error.h"
#include "zorbel/error.h"

namespace zorbel {
namespace detail {

struct Outcome {
    std::error_code code;
    std::string what;

    bool failed() const { return static_cast<bool>(code); }
    void fail(errc reason, std::string text) {
        code = make_error_code(reason);
        what = std::move(text);
    }
    // The reason a classic call just recorded on this thread; `context` says
    // what was being done when the record has no text of its own.
    void fail_from_classic(errc fallback, const std::string& context) {
        const Failure& f = last_failure();
        const errc reason = f.code == errc{} ? fallback : f.code;
        const std::string detail = f.text();
        fail(reason, detail.empty() ? context : context + ": " + detail);
    }
    // Throws, or fills `ec` (cleared when nothing failed).
    void report(std::error_code* ec) const {
        if (ec) {
            *ec = code;
            return;
        }
        if (failed()) throw Error(code, what);
    }
};

}  // namespace detail
}  // namespace zorbel

#endif
