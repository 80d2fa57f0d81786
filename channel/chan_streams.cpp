// The channel streams the pipe layer creates. Pipe numbers are computed in
// 32 bits; a channel number is the low 8 bits of that.
#include "zorbel/channel.h"

ChanInput::ChanInput(BlockDriver* driver, unsigned long num)
    : ChannelInput(driver, static_cast<unsigned char>(num & 0xFF)) {}

// Leaves the table before this object starts coming apart.
ChanInput::~ChanInput() { unregister(); }

ChanOutput::ChanOutput(BlockDriver* driver, unsigned long num)
    : ChannelOutput(driver, static_cast<unsigned char>(num & 0xFF)) {}

ChanOutput::~ChanOutput() { unregister(); }
