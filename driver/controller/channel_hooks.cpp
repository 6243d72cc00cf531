#include "driver/controller/channel_hooks.h"

card_channel_ops card_channel_hooks = {};
