// Arbitrary bytes, in arbitrary chunks, into a block engine with channels
// registered: whatever a device sends must never crash the receiver, and the
// stream of valid blocks hidden in it must still be delivered.
//
// Input layout: byte 0 picks the chunk size (1..256), the rest is the stream.
// A few valid blocks are mixed into it so that the fuzzer starts from inputs
// that reach delivery and the channel queues, not only the hunt.
#include <cstdint>
#include <memory>
#include <vector>

#include "block/testing/recording_transport.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"

namespace {

// A channel whose blocks are taken as they arrive, as a reading stream would,
// so the receiver keeps accepting data blocks for it.
class TakingChannel : public ChannelInput {
public:
    TakingChannel(BlockDriver* driver, unsigned char id) : ChannelInput(driver, id) {}
    void take_if_ready() {
        if (!waits_for_data()) {
            expected_block.store(static_cast<unsigned char>(expected_block.load() + 1));
            flag.clear();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zorbel::testing::RecordingTransport transport;
    BlockDriver engine("", &transport);
    engine.link_check = false;
    engine.connected = true;

    // Channels 0, 5 and 255 read; channel 7 writes (it queues commands).
    std::vector<std::unique_ptr<TakingChannel>> inputs;
    for (unsigned char id : {0, 5, 255}) inputs.push_back(std::make_unique<TakingChannel>(&engine, id));
    ChannelOutput output(&engine, 7);

    std::size_t chunk = size ? (data[0] % 256) + 1 : 1;
    std::vector<unsigned char> stream(data + (size ? 1 : 0), data + size);
    auto good = zorbel::testing::frame_block(BlockProtocol::blk_data, 5, 0, {1, 2, 3});
    stream.insert(stream.begin() + static_cast<long>(stream.size() / 2), good.begin(), good.end());
    auto cmd = zorbel::testing::frame_command(7, BlockProtocol::cmd_next_block, 0);
    stream.insert(stream.end(), cmd.begin(), cmd.end());

    for (std::size_t pos = 0; pos < stream.size(); pos += chunk) {
        unsigned int n = static_cast<unsigned int>(std::min(chunk, stream.size() - pos));
        engine.dispatch_block_callback(stream.data() + pos, n);
        for (auto& in : inputs) in->take_if_ready();
    }
    // The polled path over the same bytes.
    transport.feed(stream);
    for (int i = 0; i < 64 && engine.dispatch_block(); ++i)
        for (auto& in : inputs) in->take_if_ready();
    return 0;
}
