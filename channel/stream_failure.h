// Why a channel stream call failed, for zorbel::last_error(): called on the
// failing path only, so a stream that works records nothing.
#ifndef ZORBEL_CHANNEL_STREAM_FAILURE_H
#define ZORBEL_CHANNEL_STREAM_FAILURE_H

class BlockDriver;

namespace zorbel {
namespace detail {

// Records the reason and returns false, so that a failing `return false`
// can become `return stream_failed(...)`. `channel_bad`: the channel's state
// word says bad (the peer deleted it, or its connection stopped).
bool stream_failed(BlockDriver* engine, bool channel_bad) noexcept;

}  // namespace detail
}  // namespace zorbel

#endif
