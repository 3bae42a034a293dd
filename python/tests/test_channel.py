"""Channel configuration: the checks before sending, and a configured channel tapped."""

import json
import os
import subprocess
import sys

import pytest

import ktclient
from instrument import PUB_PORT, listening, preload, program, sim_frame_ok, wait_until

OUTPUT = "kt_output_filter"


def test_message_holds_the_items_in_the_order_the_device_needs():
    assert ktclient.channel_message("ch1", 9000, 2, [1, 3], [
        "kt_R507_datalogger_filter", OUTPUT], "3") == (
            b"0=ch1;1=9000;2=2;3=1,3;4=3;5=kt_R507_datalogger_filter,kt_output_filter")
    # No filters: no key 5 item, whose empty name would end the device.
    assert (ktclient.channel_message("every", 1, 255, [255, 3], [])
            == b"0=every;1=1;2=255;3=255,3;4=")
    longest = ktclient.channel_message("c", 65535, 0, list(range(16)) * 8, [OUTPUT] * 16)
    assert longest.count(b",") == 127 + 15


@pytest.mark.parametrize("args,complaint", [
    (("", 9000, 1, [1], []), "no channel name"),
    (("a;b", 9000, 1, [1], []), "';'"),
    (("c", 0, 1, [1], []), "port"),
    (("c", 65536, 1, [1], []), "port"),
    (("c", True, 1, [1], []), "port"),
    (("c", 9000, 256, [1], []), "module"),
    (("c", 9000, -1, [1], []), "module"),
    (("c", 9000, 1, [16], []), "channel"),
    (("c", 9000, 1, [1, 255], []), "channel"),
    (("c", 9000, 1, [255], []), "channel"),  # 255 means every frame only with module 255
    (("c", 9000, 255, [3, 255], []), "channel"),
    (("c", 9000, 1, [], []), "no channel numbers"),
    (("c", 9000, 1, [0] * 129, []), "at most 128"),
    (("c", 9000, 1, [1], [OUTPUT] * 17), "at most 16"),
    (("c", 9000, 1, [1], [""]), "filter name"),
    (("c", 9000, 1, [1], ["a,b"]), "filter name"),
    (("c", 9000, 1, [1], [" kt_output_filter"]), "filter name"),
    (("c", 9000, 1, [1], [OUTPUT], "x;y"), "param"),
    (("c" * 1000, 9000, 1, [1], [OUTPUT]), "at most 1024"),
])
def test_what_the_device_would_take_wrongly_is_refused(args, complaint):
    with pytest.raises(ValueError, match=complaint):
        ktclient.channel_message(*args)


# The check loads the plug-in; in a process of its own, which a sanitizer build's plug-in
# needs its run-time preloaded into.
CHECK_FILTERS = """
import json, sys
import ktclient
plugin = sys.argv[1]
defined = {name: ktclient.plugin_defines(plugin, name) for name in sys.argv[2:]}
try:
    ktclient.configure_channel("c", 9000, 1, [1], ["memcpy"], plugin=plugin)
    refused = ""
except ValueError as e:
    refused = str(e)
print(json.dumps({"defined": defined, "refused": refused}))
"""


def test_filter_names_are_checked_against_the_plugin_itself():
    plugin = program("KT_FILTERS_LIB")
    names = [OUTPUT, "kt_R507_datalogger_filter", "kt_no_such_filter", "malloc"]
    env = dict(os.environ, LD_PRELOAD=preload(plugin, ""), ASAN_OPTIONS="detect_leaks=0")
    run = subprocess.run([sys.executable, "-c", CHECK_FILTERS, plugin, *names], env=env,
                         capture_output=True, text=True, check=True)
    result = json.loads(run.stdout)
    # malloc is found through the C library only.
    assert result["defined"] == {OUTPUT: True, "kt_R507_datalogger_filter": True,
                                 "kt_no_such_filter": False, "malloc": False}
    assert "does not define" in result["refused"]


def test_no_reply_is_a_time_out(instrument):
    assert not listening(PUB_PORT)
    with pytest.raises(TimeoutError):
        ktclient.configure_channel("c", 9000, 1, [1], [OUTPUT], timeout_ms=200)


def test_configured_channel_sends_whole_frames_of_its_sources_to_the_tap(instrument):
    inst = instrument("--sources", "2:1,2:3,2:4,5:3,2:13", "--payload", "64,512,2028,0",
                      "--rate", "5000")
    inst.start_daqd("--mode", "filter")
    ktclient.configure_channel("ch1", 9000, 2, [1, 3], [OUTPUT])
    assert listening(9000)
    with ktclient.Tap(9000, timeout=10) as tap:
        frames = [f for f, _ in zip(tap, range(400))]
    assert len(frames) == 400
    assert {f.source for f in frames} == {(2, 1), (2, 3)}
    assert all(sim_frame_ok(f) for f in frames)
    assert {f.payload_len for f in frames} == {64, 512, 2028}  # empty frames are not sent
    for source in ((2, 1), (2, 3)):
        ids = [f.msg_id for f in frames if f.source == source]
        assert ids == sorted(ids) and len(set(ids)) == len(ids)
    # A second configuration of the same name replaces the channel.
    ktclient.configure_channel("ch1", 9001, 5, [3], [OUTPUT])
    assert wait_until(lambda: listening(9001), 10)
    with ktclient.Tap(9001, timeout=10) as tap:
        assert {f.source for f, _ in zip(tap, range(50))} == {(5, 3)}
