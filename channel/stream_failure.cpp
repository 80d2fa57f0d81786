#include "channel/stream_failure.h"

#include "support/last_error.h"
#include "zorbel/block.h"
#include "zorbel/support.h"

namespace zorbel {
namespace detail {

bool stream_failed(BlockDriver* engine, bool channel_bad) noexcept {
    if (engine == nullptr || engine->is_finished())
        set_last_error_fixed(errc::device_gone, "the link to the device has ended");
    else if (Synchro::is_finished())
        set_last_error_fixed(errc::cancelled, "the library is shutting down");
    else if (channel_bad)
        set_last_error_fixed(errc::io_error, "the channel was closed");
    else
        set_last_error_fixed(errc::timed_out, "no answer within the stream's time-out");
    return false;
}

}  // namespace detail
}  // namespace zorbel
