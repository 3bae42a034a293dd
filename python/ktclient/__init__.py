"""Client of the instrument's frame streams: the frame record, a subscriber of the
publish mode, the channel configuration and a tap of a channel's TCP port."""

from .channel import channel_message, configure_channel, plugin_defines
from .frame import (FRAME_HEADER, FRAME_OVERHEAD, HEADER_SIZE, MAX_PAYLOAD, SAMPLE_FORMATS,
                    SLOT_SIZE, TRAILER_SIZE, Frame, FrameError, parse_source)
from .gaps import GapCounter
from .keys import read_key
from .subscriber import Subscriber, SubscriberStats
from .tap import Tap

__all__ = [
    "FRAME_HEADER", "FRAME_OVERHEAD", "HEADER_SIZE", "MAX_PAYLOAD", "SAMPLE_FORMATS", "SLOT_SIZE",
    "TRAILER_SIZE", "Frame", "FrameError", "GapCounter", "Subscriber", "SubscriberStats", "Tap",
    "channel_message", "configure_channel", "parse_source", "plugin_defines", "read_key",
]
