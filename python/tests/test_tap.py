"""The tap cuts a TCP stream into whole frames wherever the stream's blocks end."""

import socket
import threading
import zlib

import numpy as np
import pytest

import ktclient


def frame_bytes(n, payload_len):
    header = np.zeros(1, ktclient.FRAME_HEADER)
    header["module_id"], header["channel_byte"], header["msg_id"] = 7, n % 16, n
    header["payload_len"] = payload_len
    body = header.tobytes() + bytes((n + i) % 256 for i in range(payload_len))
    return body + zlib.crc32(body).to_bytes(4, "little")


def serve(data, pieces):
    """A listening socket whose one client gets ``data`` cut at the offsets ``pieces``."""
    server = socket.create_server(("127.0.0.1", 0))

    def send():
        conn, _ = server.accept()
        with conn:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            at = 0
            for end in pieces + [len(data)]:
                conn.sendall(data[at:end])
                at = end
        server.close()

    thread = threading.Thread(target=send)
    thread.start()
    return server.getsockname()[1], thread


@pytest.mark.parametrize("cut", ["every byte", "inside headers", "one block"])
def test_frames_cut_anywhere_come_out_whole(cut):
    frames = [frame_bytes(n, length) for n, length in enumerate([0, 1, 2028, 17, 64] * 40)]
    data = b"".join(frames)
    starts = np.cumsum([0] + [len(f) for f in frames[:-1]])
    pieces = {"every byte": list(range(1, 3000)),  # the first frames a byte at a time
              "inside headers": [int(s) + k for s in starts[1:] for k in (3,)],
              "one block": []}[cut]
    port, thread = serve(data, pieces)
    with ktclient.Tap(port, timeout=10) as tap:
        got = [bytes(f) for f in tap]
    thread.join()
    assert got == frames


def test_a_stream_that_ends_inside_a_frame_is_an_error():
    port, thread = serve(frame_bytes(0, 10) + frame_bytes(1, 10)[:20], [])
    with ktclient.Tap(port, timeout=10) as tap:
        assert next(tap).msg_id == 0
        with pytest.raises(ktclient.FrameError):
            next(tap)
    thread.join()
