"""Channel configuration of the filter mode, refused here when the device would take it
wrongly, as kt-channel does."""

import ctypes
import ctypes.util
import os

import zmq

from .frame import MAX_CHANNEL, MAX_MODULE
from .keys import apply_curve
from .subscriber import PUB_PORT, endpoint

CONFIG_PORT = PUB_PORT  # the filter mode serves configurations where the publish mode publishes
MAX_MESSAGE = 1024  # bytes of a message the device takes
MAX_SOURCES = 128  # channel numbers in one channel
MAX_FILTERS = 16  # filters in one chain
MAX_PORT = 65535
ALL_FRAMES = 255  # as module and first channel: every frame
DEFAULT_TIMEOUT_MS = 3000


def _whole(value, what, low, high):
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"bad {what} {value!r}: give a whole number from {low} to {high}")
    return value


def _text(value, what):
    if not isinstance(value, str):
        raise ValueError(f"bad {what} {value!r}: give a text")
    if ";" in value or "\0" in value:
        raise ValueError(f"bad {what} {value!r}: it must not contain ';' or a NUL")
    return value


def channel_message(name, port, module, channels, filters, param=""):
    """The configuration message of one channel, checked: a name, a port 1..65535, a
    module 0..255, 1 to 128 channel numbers 0..15 (255 first with module 255 for every
    frame), at most 16 filter names, at most 1024 bytes. ValueError says what is wrong."""
    name = _text(name, "channel name")
    if not name:
        raise ValueError("no channel name: the device enters no channel without one")
    _whole(port, "port", 1, MAX_PORT)
    _whole(module, "module", 0, MAX_MODULE)
    channels = [channels] if isinstance(channels, int) else list(channels)
    if not channels:
        raise ValueError("no channel numbers: give 1 to 128 of them")
    if len(channels) > MAX_SOURCES:
        raise ValueError(
            f"{len(channels)} channels given; the device takes at most {MAX_SOURCES} "
            "in one channel")
    for i, c in enumerate(channels):
        if not (i == 0 and module == ALL_FRAMES and c == ALL_FRAMES
                and not isinstance(c, bool)):
            _whole(c, "channel", 0, MAX_CHANNEL)
    filters = [filters] if isinstance(filters, str) else list(filters)
    if len(filters) > MAX_FILTERS:
        raise ValueError(f"{len(filters)} filters given; a channel chains at most {MAX_FILTERS}")
    for f in filters:
        _text(f, "filter name")
        if not f or "," in f or f != f.strip():
            raise ValueError(f"bad filter name {f!r}: an unknown name ends the device")
    param = _text(param, "param")
    # The port stands before the channels: the channel's socket opens on it.
    items = [f"0={name}", f"1={port}", f"2={module}", "3=" + ",".join(map(str, channels)),
             f"4={param}"]
    if filters:
        items.append("5=" + ",".join(filters))
    message = ";".join(items).encode()
    if len(message) > MAX_MESSAGE:
        raise ValueError(f"message of {len(message)} bytes; the device takes at most {MAX_MESSAGE}")
    return message


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def plugin_defines(plugin, name):
    """Whether the filter plug-in file ``plugin`` itself defines ``name`` (not one of the
    libraries it uses): what the device finds when it looks the name up."""
    lib = ctypes.CDLL(os.fspath(plugin), mode=ctypes.RTLD_LOCAL)
    try:
        address = ctypes.cast(getattr(lib, name), ctypes.c_void_p).value
    except AttributeError:
        return False
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    info = _DlInfo()
    if libc.dladdr(ctypes.c_void_p(address), ctypes.byref(info)) == 0:
        return False
    return (info.dli_saddr == address and info.dli_fname is not None
            and os.path.realpath(os.fsdecode(info.dli_fname)) == os.path.realpath(plugin))


def configure_channel(name, port, module, channels, filters, param="", host="127.0.0.1",
                      timeout_ms=DEFAULT_TIMEOUT_MS, *, plugin=None, config_port=CONFIG_PORT,
                      server_key=None, client_key=None, context=None):
    """Sends one channel configuration and returns once the device has replied.

    The message is checked first (ValueError). With ``plugin``, the path of the filter
    plug-in, each filter name must be a function it defines: the device ends on an
    unknown one. TimeoutError when no reply came within ``timeout_ms``. The reply carries
    no status: the device's output tells whether the channel was entered."""
    message = channel_message(name, port, module, channels, filters, param)
    if plugin is not None:
        for f in [filters] if isinstance(filters, str) else filters:
            if not plugin_defines(plugin, f):
                raise ValueError(f"unknown filter {f!r}: {plugin} does not define it")
    own = context is None
    ctx = zmq.Context() if own else context
    sock = ctx.socket(zmq.REQ)
    try:
        sock.linger = 0
        sock.sndtimeo = timeout_ms
        apply_curve(sock, server_key, client_key)
        sock.connect(endpoint(host, config_port))
        try:
            sock.send(message)
        except zmq.Again:
            raise TimeoutError(
                f"cannot send to {host}:{config_port} within {timeout_ms} ms") from None
        if sock.poll(timeout_ms) == 0:
            raise TimeoutError(
                f"no reply from {host}:{config_port} within {timeout_ms} ms "
                "(is the filter mode running?)")
        sock.recv()
    finally:
        sock.close(linger=0)
        if own:
            ctx.term()
