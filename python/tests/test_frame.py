"""The frame dtype against the C record, and the frame view over received bytes."""

import json
import os
import subprocess
import zlib

import numpy as np
import pytest

import ktclient
from instrument import program


def test_frame_header_matches_the_c_record_byte_for_byte():
    # In a cross build the program is the device's, run under the emulator.
    command = os.environ.get("KT_EMULATOR", "").split() + [program("KT_FRAME_LAYOUT")]
    c = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
    dt = ktclient.FRAME_HEADER
    assert dt.itemsize == c["header"] == c["offsets"]["payload"] == c["size"]
    assert ktclient.FRAME_OVERHEAD == c["overhead"]
    assert ktclient.SLOT_SIZE == c["slot"]
    for field in ("module_id", "msg_id", "reserved", "payload_len"):
        assert dt.fields[field][1] == c["offsets"][field], field
    assert dt.fields["reserved"][0].itemsize == c["reserved_size"]
    assert dt.fields["channel_byte"][1] == 1
    assert c["channel_bits"] == 0x0F  # the channel is bits 0..3 of byte 1

    # The C compiler's bytes read back through the dtype give every field's value.
    header = np.frombuffer(bytes.fromhex(c["sample"]), dt)[0]
    assert header["module_id"] == 0xAB
    assert header["channel_byte"] & 0x0F == 0x5
    assert header["msg_id"] == 0x1234
    assert list(header["reserved"]) == list(range(1, 11))
    assert header["payload_len"] == 0x0203


def make_frame(module, channel_byte, msg_id, payload):
    header = np.zeros(1, ktclient.FRAME_HEADER)
    header["module_id"], header["channel_byte"], header["msg_id"] = module, channel_byte, msg_id
    header["payload_len"] = len(payload)
    body = header.tobytes() + bytes(payload)
    return body + zlib.crc32(body).to_bytes(4, "little")


def test_frame_view_reads_fields_and_shares_the_received_buffer():
    raw = bytearray(make_frame(12, 0xA7, 65535, np.arange(10, dtype="<i2").tobytes() + b"\x01"))
    frame = ktclient.Frame(raw, received_ns=5)
    # The upper bits of the channel byte are not the channel.
    assert (frame.module, frame.channel, frame.source) == (12, 7, (12, 7))
    assert (frame.msg_id, frame.payload_len, frame.received_ns) == (65535, 21, 5)
    assert frame.trailer == zlib.crc32(bytes(raw[:-4]))
    # Samples leave out the odd byte behind the last whole one.
    assert list(frame.samples("i16le")) == list(range(10))
    assert frame.samples("u8").size == 21
    # No copy: a change of the received bytes shows through the views.
    raw[16] = 99
    assert frame.payload[0] == 99 and frame.samples()[0] == 99
    assert np.shares_memory(frame.payload, np.frombuffer(raw, np.uint8))


def test_frame_refuses_bytes_that_are_not_one_whole_frame():
    good = make_frame(1, 1, 0, b"abcd")
    assert ktclient.Frame(make_frame(1, 1, 0, b"")).payload.size == 0
    with pytest.raises(ktclient.FrameError):
        ktclient.Frame(good[:19])  # shorter than header and trailer
    with pytest.raises(ktclient.FrameError):
        ktclient.Frame(good[:-1])  # shorter than its payload_len says
    with pytest.raises(ktclient.FrameError):
        ktclient.Frame(good + b"\0")  # longer
    oversized = bytearray(2049)
    oversized[14:16] = (2029).to_bytes(2, "little")
    with pytest.raises(ktclient.FrameError):
        ktclient.Frame(oversized)


@pytest.mark.parametrize("text,pair", [("1:1", (1, 1)), ("255:15", (255, 15)), ((0, 0), (0, 0))])
def test_source_names_are_read_within_the_frame_ranges(text, pair):
    assert ktclient.parse_source(text) == pair


@pytest.mark.parametrize("bad", ["1:16", "256:0", "1", "1:1:1", "a:b", "-1:2", (1,), (1, 2.5),
                                 (True, 1)])
def test_source_names_out_of_range_are_refused(bad):
    with pytest.raises(ValueError):
        ktclient.parse_source(bad)
