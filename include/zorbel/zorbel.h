// The zorbel client library: everything a client program uses.
#ifndef ZORBEL_ZORBEL_H
#define ZORBEL_ZORBEL_H

#include "zorbel/support.h"
#include "zorbel/log.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"
#include "zorbel/usb.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/error.h"
#include "zorbel/client.h"

#endif
