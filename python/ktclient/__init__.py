"""Client of the instrument's frame streams: the frame record, a subscriber of the
publish mode, the channel configuration, a tap of a channel's TCP port, and recordings."""

from .channel import channel_message, configure_channel, plugin_defines
from .frame import (FRAME_HEADER, FRAME_OVERHEAD, HEADER_SIZE, MAX_PAYLOAD, SAMPLE_FORMATS,
                    SLOT_SIZE, TRAILER_SIZE, Frame, FrameError, parse_source)
from .gaps import GapCounter
from .keys import read_key
from .recording import INDEX_RECORD, Recording, RecordingError, RecordingWriter
from .subscriber import Subscriber, SubscriberStats
from .tap import Tap
from .version import __version__

__all__ = [
    "FRAME_HEADER", "FRAME_OVERHEAD", "HEADER_SIZE", "INDEX_RECORD", "MAX_PAYLOAD",
    "SAMPLE_FORMATS", "SLOT_SIZE", "TRAILER_SIZE", "Frame", "FrameError", "GapCounter",
    "Recording", "RecordingError", "RecordingWriter", "Subscriber", "SubscriberStats", "Tap",
    "__version__", "channel_message", "configure_channel", "parse_source", "plugin_defines",
    "read_key",
]
