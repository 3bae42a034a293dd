"""Recordings: written by the client and by kt-sub, read back alike; older files without
index or sidecar; quick-look plots of them, through the library and through kt-plot."""

import json
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

from instrument import program, wait_until
from ktclient import Recording, RecordingWriter, Subscriber
from ktclient.plot import plot_recording

KT_PLOT = os.path.join(os.path.dirname(__file__), "..", "kt-plot")


def frame(module, channel, msg_id, payload):
    """A frame of the instrument's layout; the channel byte's upper bits set, which are
    not part of the channel."""
    return (struct.pack("<BBH10sH", module, 0xA0 | channel, msg_id, bytes(10), len(payload))
            + payload + b"\x01\x02\x03\x04")


def sine_recording(path, frames=120, gaps=(40, 41)):
    """1:1 carrying a 5 Hz sine, 64 i16 samples a frame at 200 frames/s (msg_ids in
    ``gaps`` left out), and one frame of 7:15."""
    with RecordingWriter(path, origin="test", sample_format="i16le") as w:
        for k in range(frames):
            if k in gaps:
                continue
            t = (k * 64 + np.arange(64)) / (64 * 200)
            samples = (1000 * np.sin(2 * np.pi * 5 * t)).astype("<i2")
            w.write(frame(1, 1, k, samples.tobytes()), 1_000_000_000 + k * 5_000_000)
        w.write(frame(7, 15, 65535, b"\x05\x00"), 1_000_000_000 + frames * 5_000_000)


def test_written_recording_reads_back_with_its_index_and_sidecar(tmp_path):
    path = str(tmp_path / "run.bin")
    frames = [frame(2, 3, 1, np.arange(4, dtype="<i2").tobytes()), frame(2, 3, 2, b""),
              frame(7, 15, 65535, np.arange(50, dtype="<i2").tobytes()),
              frame(2, 3, 5, np.arange(1014, dtype="<i2").tobytes()),
              frame(2, 3, 3, b"\x00\x00\x01\x00"), frame(7, 15, 1, b"\x09\x00")]
    with RecordingWriter(path, tool="pytest", origin="tcp://x:1", sample_format="i16le") as w:
        for i, f in enumerate(frames):
            w.write(f, 1000 + i)
    with open(path, "rb") as f:
        assert f.read() == b"".join(frames)

    meta = json.load(open(path + ".meta.json"))
    assert (meta["format"], meta["version"], meta["tool"]) == ("kt-recording", 1, "pytest")
    assert meta["frames"] == 6 and meta["bytes"] == sum(map(len, frames))
    # The same counts as the tools give: 4 skipped first, then 3 came late.
    assert meta["sources"][0] == {
        "source": "2:3", "module": 2, "channel": 3, "frames": 4, "bytes": 2120,
        "msg_id_gaps": 1, "out_of_order": 1, "first_msg_id": 1, "last_msg_id": 5}
    assert meta["sources"][1]["msg_id_gaps"] == 1  # 0 skipped across the wrap

    r = Recording(path)
    assert r.has_times and len(r) == 6 and r.sample_format == "i16le"
    assert r.sources() == {"2:3": 4, "7:15": 2}
    assert list(r.times("7:15")) == [1002, 1005]
    assert [f.msg_id for f in r.frames("2:3")] == [1, 2, 5, 3]
    arrays = r.to_arrays()
    assert arrays["2:3"].dtype == np.dtype("<i2")
    assert list(arrays["2:3"][:6]) == [0, 1, 2, 3, 0, 1]  # frames 1 and 5, in file order
    assert list(r.to_arrays("u8")["7:15"][-2:]) == [9, 0]

    # A recording made before index and sidecar existed: found by walking the frames; a
    # frame cut short at the end is left out.
    os.remove(path + ".index")
    os.remove(path + ".meta.json")
    with open(path, "ab") as f:
        f.write(frame(9, 9, 0, b"abcdef")[:10])
    old = Recording(path)
    assert not old.has_times and old.meta is None and old.sample_format == "raw"
    assert old.sources() == {"2:3": 4, "7:15": 2}
    assert [bytes(f) for f in old.frames()] == frames


def test_a_recording_of_kt_sub_and_one_of_the_client_read_back_alike(instrument, tmp_path):
    inst = instrument("--sources", "1:1", "--payload", "200", "--rate", "200",
                      "--waveform", "sine:20")
    ours, theirs = str(tmp_path / "client.bin"), str(tmp_path / "kt-sub.bin")
    sub_tool = subprocess.Popen(
        [program("KT_SUB"), "1:1", "--count", "150", "--quiet", "--out", theirs,
         "--sample-format", "i16le"], stderr=subprocess.PIPE, text=True)
    with Subscriber("1:1", ack=True, timeout=10) as sub, \
            RecordingWriter(ours, tool="pytest", sample_format="i16le") as writer:
        # One registered subscriber per acknowledging client: every frame waits for both.
        inst.start_daqd("--subscribe", "1:1", "--subscribe", "1:1")
        for n, f in enumerate(sub):
            writer.write(f)
            if n == 149:
                break
    _, errors = sub_tool.communicate(timeout=30)
    assert sub_tool.returncode == 0, errors

    a, b = Recording(ours), Recording(theirs)
    assert a.meta["tool"] == "pytest" and b.meta["tool"] == "kt-sub"
    assert a.meta.keys() == b.meta.keys()
    assert a.sample_format == b.sample_format == "i16le"
    # A frame published before both subscriptions had arrived reaches one of them only;
    # from the first both have on, they hold the same frames, byte for byte.
    start = max(int(a.index["msg_id"][0]), int(b.index["msg_id"][0]))
    ka = [bytes(f) for f in a.frames() if f.msg_id >= start]
    kb = [bytes(f) for f in b.frames() if f.msg_id >= start]
    common = min(len(ka), len(kb))
    assert common >= 140 and ka[:common] == kb[:common]
    for r in (a, b):
        assert all(np.diff(r.times().astype(np.int64)) >= 0)
        assert r.meta["sources"][0]["msg_id_gaps"] == 0


def test_plots_of_a_recording(tmp_path):
    import matplotlib.image
    path = str(tmp_path / "sine.bin")
    sine_recording(path)
    out = str(tmp_path / "plot.png")
    assert plot_recording(Recording(path), out) == ["1:1", "7:15"]
    image = matplotlib.image.imread(out)
    assert image.shape[:2] == (700, 1000)  # two source panels and the rate strip
    assert (image[:, :, :3] < 0.5).mean() > 0.005  # lines and text, not a blank page

    run = subprocess.run([sys.executable, KT_PLOT, path, "--source", "1:1", "--out",
                          str(tmp_path / "one.png")], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout == f"kt-plot: 1:1 (119 frames) to {tmp_path / 'one.png'}\n"
    assert matplotlib.image.imread(str(tmp_path / "one.png")).shape[:2] == (475, 1000)

    run = subprocess.run([sys.executable, KT_PLOT, path, "--source", "9:9"],
                         capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 1 and "no frames of 9:9" in run.stderr
    run = subprocess.run([sys.executable, KT_PLOT, path, "--source", "1:16"],
                         capture_output=True, text=True)
    assert run.returncode == 2 and "channel 0..15" in run.stderr
    run = subprocess.run([sys.executable, KT_PLOT, str(tmp_path / "none.bin")],
                         capture_output=True, text=True)
    assert run.returncode == 1 and "kt-plot: " in run.stderr


def test_live_plot_of_the_instrument(instrument, tmp_path):
    inst = instrument("--sources", "1:1,2:3", "--payload", "200", "--rate", "400",
                      "--waveform", "sine:20")
    inst.start_daqd()
    record, out = str(tmp_path / "live.bin"), str(tmp_path / "live.png")
    run = subprocess.run([sys.executable, KT_PLOT, "--live", "1.5", "--no-ack", "--record", record,
                          "--out", out, "--sample-format", "i16le"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("kt-plot: 1:1, 2:3 (")
    r = Recording(record)
    assert r.meta["tool"] == "kt-plot" and set(r.sources()) == {"1:1", "2:3"}
    assert wait_until(lambda: os.path.getsize(out) > 0, 1)
