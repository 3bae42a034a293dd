"""The frame record as the instrument sends it, and a zero-copy view of one frame.

A frame is a 16-byte header, ``payload_len`` payload bytes and a 4-byte trailer, all
little-endian. Only the low four bits of header byte 1 are the channel; header bytes 4 to
13 and the trailer are carried unchanged and have no meaning here.
"""

import time

import numpy as np

FRAME_HEADER = np.dtype(
    [
        ("module_id", "u1"),
        ("channel_byte", "u1"),  # the channel in bits 0..3; bits 4..7 mean nothing
        ("msg_id", "<u2"),
        ("reserved", "u1", (10,)),
        ("payload_len", "<u2"),
    ]
)
HEADER_SIZE = 16
TRAILER_SIZE = 4
FRAME_OVERHEAD = HEADER_SIZE + TRAILER_SIZE
SLOT_SIZE = 2048
MAX_PAYLOAD = SLOT_SIZE - FRAME_OVERHEAD
CHANNEL_MASK = 0x0F
MAX_MODULE = 255
MAX_CHANNEL = 15

# Payload sample formats by name, as numpy dtypes.
SAMPLE_FORMATS = {
    "u8": np.dtype("u1"),
    "i16le": np.dtype("<i2"),
    "i32le": np.dtype("<i4"),
    "f32le": np.dtype("<f4"),
}


class FrameError(ValueError):
    """Bytes that are not one whole frame."""


def parse_source(source):
    """(module, channel) from "M:C" or a pair, checked against the frame's ranges."""
    if isinstance(source, str):
        parts = source.split(":")
        if len(parts) != 2 or not all(p.strip().isdigit() for p in parts):
            raise ValueError(f"bad source {source!r}: give M:C, e.g. 1:1")
        module, channel = int(parts[0]), int(parts[1])
    else:
        try:
            module, channel = source
        except (TypeError, ValueError):
            raise ValueError(f"bad source {source!r}: give M:C or (module, channel)") from None
        if not all(isinstance(v, (int, np.integer)) and not isinstance(v, bool)
                   for v in (module, channel)):
            raise ValueError(f"bad source {source!r}: module and channel are whole numbers")
    if not 0 <= module <= MAX_MODULE or not 0 <= channel <= MAX_CHANNEL:
        raise ValueError(
            f"bad source {source!r}: module 0..{MAX_MODULE}, channel 0..{MAX_CHANNEL}")
    return int(module), int(channel)


def frame_length(buffer, offset=0):
    """Bytes of the frame that starts at ``offset``, from its payload_len."""
    return int.from_bytes(buffer[offset + 14:offset + 16], "little") + FRAME_OVERHEAD


class Frame:
    """One frame over the buffer it arrived in, without a copy.

    ``payload`` is a read-only numpy view of the payload bytes; ``samples(fmt)`` views
    them as samples. The frame keeps its buffer alive as long as it or a view lives.
    """

    __slots__ = ("buffer", "header", "payload", "received_ns")

    def __init__(self, buffer, received_ns=None):
        data = memoryview(buffer).cast("B")
        if len(data) < FRAME_OVERHEAD:
            raise FrameError(f"{len(data)} bytes: shorter than a frame's header and trailer")
        length = frame_length(data)
        if length > SLOT_SIZE:
            raise FrameError(f"payload_len {length - FRAME_OVERHEAD} is beyond {MAX_PAYLOAD}")
        if length != len(data):
            raise FrameError(f"{len(data)} bytes for a frame of {length}")
        self.buffer = data
        self.header = np.frombuffer(data, FRAME_HEADER, count=1)[0]
        self.payload = np.frombuffer(data, np.uint8, count=length - FRAME_OVERHEAD,
                                     offset=HEADER_SIZE)
        self.received_ns = time.time_ns() if received_ns is None else received_ns

    @property
    def module(self):
        return int(self.header["module_id"])

    @property
    def channel(self):
        return int(self.header["channel_byte"]) & CHANNEL_MASK

    @property
    def source(self):
        """(module, channel)."""
        return self.module, self.channel

    @property
    def msg_id(self):
        return int(self.header["msg_id"])

    @property
    def payload_len(self):
        return int(self.header["payload_len"])

    @property
    def trailer(self):
        return int.from_bytes(self.buffer[-TRAILER_SIZE:], "little")

    def samples(self, sample_format="i16le"):
        """The payload as samples of ``sample_format`` (a name of SAMPLE_FORMATS or a
        numpy dtype); bytes behind the last whole sample are left out."""
        dtype = SAMPLE_FORMATS.get(sample_format) if isinstance(sample_format, str) else None
        dtype = dtype if dtype is not None else np.dtype(sample_format)
        whole = len(self.payload) // dtype.itemsize * dtype.itemsize
        return self.payload[:whole].view(dtype)

    def __bytes__(self):
        return bytes(self.buffer)

    def __len__(self):
        return len(self.buffer)

    def __repr__(self):
        return (f"Frame({self.module}:{self.channel} msg_id {self.msg_id} "
                f"payload_len {self.payload_len})")
