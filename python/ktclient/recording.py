"""Recordings of received frames, as kt-sub --out and kt-tap --out write them.

``FILE`` holds the frames byte for byte, ``FILE.index`` one 24-byte record per frame
(offset, receive time, source, msg_id, length) after a 16-byte header, and
``FILE.meta.json`` describes the recording. docs/recording-format.md in the source tree
gives the layout. A recording without index or sidecar (made before they existed) still
reads: its frames are found by walking the data file, without receive times.
"""

import json
import os
import platform
import socket
import time
from datetime import datetime, timezone

import numpy as np

from .frame import FRAME_OVERHEAD, SAMPLE_FORMATS, Frame, frame_length, parse_source
from .gaps import MsgOrder
from .version import __version__

FORMAT_NAME = "kt-recording"
FORMAT_VERSION = 1
INDEX_MAGIC = b"KTINDEX\0"
INDEX_HEADER_SIZE = 16
INDEX_RECORD = np.dtype([
    ("offset", "<u8"),
    ("received_ns", "<u8"),
    ("module_id", "u1"),
    ("channel_id", "u1"),
    ("msg_id", "<u2"),
    ("length", "<u4"),
])
SAMPLE_FORMAT_NAMES = ("raw",) + tuple(SAMPLE_FORMATS)

class RecordingError(ValueError):
    """A file that is not a readable recording."""


def _utc(ns):
    stamp = datetime.fromtimestamp(ns // 1_000_000_000, tz=timezone.utc)
    return stamp.strftime("%Y-%m-%dT%H:%M:%S") + f".{ns % 1_000_000_000 // 1000:06d}Z"


class RecordingWriter:
    """Writes a recording in the format kt-sub and kt-tap write; a context manager whose
    exit writes the sidecar."""

    def __init__(self, path, tool="ktclient", origin="", sample_format="raw"):
        if sample_format not in SAMPLE_FORMAT_NAMES:
            raise ValueError(f"bad sample format {sample_format!r}: give one of "
                             f"{', '.join(SAMPLE_FORMAT_NAMES)}")
        self.path = os.fspath(path)
        self._info = {"tool": tool, "origin": origin, "sample_format": sample_format}
        self._data = open(self.path, "wb")
        self._index = open(self.path + ".index", "wb")
        self._index.write(INDEX_MAGIC + FORMAT_VERSION.to_bytes(4, "little") +
                          INDEX_RECORD.itemsize.to_bytes(4, "little"))
        self._record = np.zeros(1, INDEX_RECORD)
        self._offset = 0
        self._frames = 0
        self._sources = {}
        self._start_ns = time.time_ns()

    def write(self, frame, received_ns=None):
        """Appends one whole frame (a Frame, or its bytes)."""
        if not isinstance(frame, Frame):
            frame = Frame(frame, received_ns)
        elif received_ns is None:
            received_ns = frame.received_ns
        r = self._record[0]
        r["offset"] = self._offset
        r["received_ns"] = frame.received_ns if received_ns is None else received_ns
        r["module_id"], r["channel_id"] = frame.module, frame.channel
        r["msg_id"], r["length"] = frame.msg_id, len(frame)
        self._data.write(frame.buffer)
        self._index.write(self._record.tobytes())
        self._offset += len(frame)
        self._frames += 1
        s = self._sources.get(frame.source)
        if s is None:
            s = self._sources[frame.source] = {"frames": 0, "bytes": 0, "order": MsgOrder(),
                                               "first": frame.msg_id, "last": frame.msg_id}
        s["frames"] += 1
        s["bytes"] += len(frame)
        if s["order"].take(frame.msg_id):
            s["last"] = frame.msg_id

    def close(self):
        """Flushes the frames and the index and writes the sidecar."""
        if self._data.closed:
            return
        self._data.close()
        self._index.close()
        name = os.path.basename(self.path)
        meta = {
            "format": FORMAT_NAME,
            "version": FORMAT_VERSION,
            "data": name,
            "index": name + ".index",
            "tool": self._info["tool"],
            "product_version": __version__,
            "host": socket.gethostname() or platform.node(),
            "origin": self._info["origin"],
            "sample_format": self._info["sample_format"],
            "start": _utc(self._start_ns),
            "end": _utc(time.time_ns()),
            "frames": self._frames,
            "bytes": self._offset,
            "sources": [{
                "source": f"{m}:{c}", "module": m, "channel": c, "frames": s["frames"],
                "bytes": s["bytes"], "msg_id_gaps": s["order"].gaps,
                "out_of_order": s["order"].out_of_order, "first_msg_id": s["first"],
                "last_msg_id": s["last"],
            } for (m, c), s in sorted(self._sources.items())],
        }
        with open(self.path + ".meta.json", "w", encoding="utf-8") as out:
            json.dump(meta, out, indent=2)
            out.write("\n")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Recording:
    """A recording on disk, read without copying its frames (the data file is mapped).

    ``meta`` is the sidecar as a dict (None without one), ``index`` a numpy array of
    INDEX_RECORD with one entry per frame (receive times 0 when the recording has no index
    file), ``sample_format`` the declared format ("raw" when none is declared).
    """

    def __init__(self, path):
        self.path = os.fspath(path)
        size = os.path.getsize(self.path)
        self.data = (np.memmap(self.path, np.uint8, mode="r") if size
                     else np.zeros(0, np.uint8))
        self.meta = None
        if os.path.exists(self.path + ".meta.json"):
            with open(self.path + ".meta.json", encoding="utf-8") as f:
                self.meta = json.load(f)
            if self.meta.get("format") != FORMAT_NAME:
                raise RecordingError(f"{self.path}.meta.json is not a {FORMAT_NAME} sidecar")
        self.has_times = os.path.exists(self.path + ".index")
        self.index = self._read_index() if self.has_times else self._walk()
        self.sample_format = (self.meta or {}).get("sample_format", "raw")

    def _read_index(self):
        raw = np.fromfile(self.path + ".index", np.uint8)
        if len(raw) < INDEX_HEADER_SIZE or raw[:8].tobytes() != INDEX_MAGIC:
            raise RecordingError(f"{self.path}.index is not a recording index")
        record_size = int.from_bytes(raw[12:16].tobytes(), "little")
        if record_size < INDEX_RECORD.itemsize:
            raise RecordingError(f"{self.path}.index: records of {record_size} bytes")
        body = raw[INDEX_HEADER_SIZE:]
        count = len(body) // record_size
        rows = body[:count * record_size].reshape(count, record_size)
        index = np.ascontiguousarray(rows[:, :INDEX_RECORD.itemsize]).view(INDEX_RECORD)
        index = index.reshape(count)
        # Records of frames the data file does not hold in full (a recording cut short)
        # are left out.
        whole = index["offset"] + index["length"] <= len(self.data)
        return index[whole]

    def _walk(self):
        entries = []
        offset = 0
        while offset + FRAME_OVERHEAD <= len(self.data):
            length = frame_length(self.data, offset)
            if offset + length > len(self.data):
                break
            h = self.data[offset:offset + 4]
            entries.append((offset, 0, h[0], h[1] & 0x0F, int(h[2]) | int(h[3]) << 8, length))
            offset += length
        return np.array(entries, INDEX_RECORD)

    def __len__(self):
        return len(self.index)

    def frame(self, i):
        """Frame ``i``, a view into the mapped data file."""
        r = self.index[i]
        start = int(r["offset"])
        return Frame(self.data[start:start + int(r["length"])], int(r["received_ns"]))

    def frames(self, source=None):
        """The frames in file order, of one source ("M:C" or a pair) or of all."""
        for i in self._select(source):
            yield self.frame(i)

    def sources(self):
        """{"M:C": frame count} in module and channel order."""
        keys = self.index["module_id"].astype(np.uint32) << 8 | self.index["channel_id"]
        values, counts = np.unique(keys, return_counts=True)
        return {f"{k >> 8}:{k & 0xFF}": int(n) for k, n in zip(values, counts)}

    def times(self, source=None):
        """Receive times (ns since 1970, UTC) of the frames of ``source`` or of all."""
        return self.index["received_ns"][self._select(source)]

    def to_arrays(self, sample_format=None):
        """{"M:C": the payload samples of that source's frames, one after the other}, as
        ``sample_format`` (default: the declared one; "raw" gives bytes)."""
        fmt = self.sample_format if sample_format is None else sample_format
        dtype = np.dtype(np.uint8) if fmt == "raw" else SAMPLE_FORMATS.get(fmt)
        if dtype is None:
            raise ValueError(f"bad sample format {fmt!r}: give one of "
                             f"{', '.join(SAMPLE_FORMAT_NAMES)}")
        arrays = {}
        for source in self.sources():
            parts = [f.samples(dtype) for f in self.frames(source)]
            arrays[source] = np.concatenate(parts) if parts else np.zeros(0, dtype)
        return arrays

    def _select(self, source):
        if source is None:
            return np.arange(len(self.index))
        module, channel = parse_source(source)
        return np.flatnonzero((self.index["module_id"] == module) &
                              (self.index["channel_id"] == channel))


__all__ = ["INDEX_RECORD", "Recording", "RecordingError", "RecordingWriter",
           "SAMPLE_FORMAT_NAMES"]
