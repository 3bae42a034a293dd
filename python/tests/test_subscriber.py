"""The subscriber against kt-daqd's publish mode on the simulated instrument."""

import math
import re
import signal

import numpy as np

import ktclient
from instrument import sim_frame_ok, sim_seq, wait_until

# Every wait for a frame: far beyond the engine's rates, so only a fault ends it.
FRAME_WAIT = 10


def take(sub, count):
    frames = []
    for _ in range(count):
        frame = sub.receive(FRAME_WAIT)
        assert frame is not None, f"no frame within {FRAME_WAIT} s after {len(frames)}"
        frames.append(frame)
    return frames


def timed_out_from(inst, first):
    """The msg_ids from ``first`` on whose acknowledgement kt-daqd waited for in vain."""
    timed_out = re.findall(r"msg\[id\] : (\d+) time out", inst.daqd_out.text())
    return [int(m) for m in timed_out if int(m) >= first]


def test_acknowledged_frames_are_all_there_and_of_exactly_the_sources_asked_for(instrument):
    # Both other sources match the prefix of frame://1:1.
    inst = instrument("--sources", "1:1,1:10,1:11", "--payload", "0,100,2028", "--rate", "2000")
    with ktclient.Subscriber(["1:1"], ack=True) as sub:
        inst.start_daqd("--subscribe", "1:1", "--stats", "3600", "--json")
        frames = take(sub, 30)
        # Without its acknowledgements each frame would cost kt-daqd a time-out.
        inst.daqd_stats()
        assert timed_out_from(inst, frames[0].msg_id) == []
        frames += take(sub, 270)
        assert all(f.source == (1, 1) for f in frames)
        assert all(sim_frame_ok(f) for f in frames)
        msg_ids = [f.msg_id for f in frames]
        assert msg_ids == list(range(msg_ids[0], msg_ids[0] + 300))
        assert sub.stats.lost == 0 and not sub.stats.out_of_order
        assert sub.stats.other_topics > 0  # 1:10 and 1:11 came by prefix and were left out
        assert sub.stats.frames == 300 and sub.stats.per_source == {(1, 1): 300}
        assert sub.stats.acked == 299 and sub.stats.ack_failures == 0  # the last one in hand
    assert sub.stats.acked == 300
    # kt-daqd waited in vain only for frames published before the subscription arrived
    # (all it printed is read once it has ended).
    inst.stop_daqd()
    assert timed_out_from(inst, msg_ids[0]) == []


def test_without_acknowledgements_every_source_asked_for_and_no_other(instrument):
    inst = instrument("--sources", "1:1,1:10,2:1,1:12", "--payload", "64", "--rate", "2000")
    with ktclient.Subscriber(["1:1", (2, 1)], ack=False) as sub:
        inst.start_daqd()  # no subscriber registered: nothing awaits acknowledgements
        frames = take(sub, 400)
    assert {f.source for f in frames} == {(1, 1), (2, 1)}
    assert sub.stats.acked == 0 and sub.stats.frames == 400
    assert sum(sub.stats.per_source.values()) == 400
    # What was counted lost is what the msg_ids skipped.
    for source in ((1, 1), (2, 1)):
        ids = [f.msg_id for f in frames if f.source == source]
        assert sub.stats.gaps[source] == sum(b - a - 1 for a, b in zip(ids, ids[1:]))


def test_gaps_are_counted_after_a_stall(instrument):
    inst = instrument("--sources", "3:4", "--payload", "2028", "--rate", "20000")
    with ktclient.Subscriber("all", ack=False) as sub:
        inst.start_daqd("--stats", "3600", "--json")
        first = take(sub, 10)
        # Not reading: the queues fill up until kt-daqd drops frames for this subscriber.
        assert wait_until(lambda: inst.daqd_stats()["dropped_for_lagging"] > 0, 60)
        frames = first[:]
        while sub.stats.lost == 0:
            frames += take(sub, 1)
        frames += take(sub, 50)
    assert not sub.stats.out_of_order
    # The 16-bit msg_id wraps; the engine's 64-bit count tells the frames truly missing.
    seqs = [sim_seq(f) for f in frames]
    assert seqs == sorted(seqs)
    assert sub.stats.lost == seqs[-1] - seqs[0] + 1 - len(frames)
    assert sub.stats.gaps[(3, 4)] == sub.stats.lost


def test_subscriber_keeps_going_when_kt_daqd_is_restarted(instrument):
    inst = instrument("--sources", "1:1", "--payload", "64", "--rate", "1000")
    with ktclient.Subscriber("all", ack=True, reply_timeout_ms=500) as sub:
        inst.start_daqd("--subscribe", "all")
        before = take(sub, 50)
        inst.stop_daqd(signal.SIGKILL)
        inst.start_daqd("--subscribe", "all")
        after = take(sub, 100)
        acked_at_end = sub.stats.acked
    assert all(sim_frame_ok(f) for f in before + after)
    assert sim_seq(after[0]) > sim_seq(before[-1])
    assert not sub.stats.out_of_order
    # The new kt-daqd took the acknowledgements of the frames it published.
    assert sub.stats.ack_failures <= 1
    assert acked_at_end >= 149 - sub.stats.ack_failures


def test_a_sine_from_the_instrument_reads_back_as_samples(instrument):
    inst = instrument("--sources", "1:1", "--payload", "200", "--rate", "1000",
                      "--waveform", "sine:50", "--amplitude", "10000")
    with ktclient.Subscriber("1:1", ack=False) as sub:
        inst.start_daqd()
        frames = take(sub, 100)
    for f in frames:
        samples = f.samples("i16le")
        assert samples.size == 100
        # Frame k of the source spans k/1000 s to (k + 1)/1000 s; msg_id counts them.
        t = (f.msg_id + np.arange(100) / 100) / 1000
        expected = 10000 * np.sin(2 * math.pi * 50 * t)
        assert np.max(np.abs(samples - expected)) <= 1.5 + 1e-9, f



def in_step_with_a_window(instrument, **sub_options):
    """A subscriber of 1:1 against a kt-daqd with an acknowledgement window of 64, once in
    step: every frame received and acknowledged, and kt-daqd waiting in vain for none."""
    # 2000 frames/s: the 5000 frames taken first span 2.5 s of the engine's time, after
    # which the frames published before the subscription arrived, never received, are
    # settled (their acknowledgements awaited in vain for 2 s or taken by this
    # subscriber's first ones).
    inst = instrument("--sources", "1:1", "--payload", "64,2028", "--rate", "2000")
    with ktclient.Subscriber("1:1", ack=True, **sub_options) as sub:
        inst.start_daqd("--subscribe", "1:1", "--queue-depth", "64", "--ack-window", "64",
                        "--stats", "3600", "--json")
        frames = take(sub, 5000)
        before = inst.daqd_stats()
        frames += take(sub, 3000)
        after = inst.daqd_stats()
    msg_ids = [f.msg_id for f in frames]
    assert msg_ids == [(msg_ids[0] + i) % 65536 for i in range(len(msg_ids))]
    assert all(sim_frame_ok(f) for f in frames[-3000:])
    assert sub.stats.ack_failures == 0
    assert sub.stats.acked == sub.stats.frames == 8000
    assert after["ack_timeouts"] == before["ack_timeouts"], (before, after)
    assert after["dropped_for_lagging"] == before["dropped_for_lagging"] == 0
    assert after["acknowledged"] - before["acknowledged"] >= 3000 - 64
    return sub


def test_counted_acknowledgements_keep_a_window_going(instrument):
    sub = in_step_with_a_window(instrument, ack_every=16)
    assert sub.stats.ack_requests == 500


def test_acknowledging_each_frame_still_works_with_a_window(instrument):
    sub = in_step_with_a_window(instrument)
    assert sub.stats.ack_requests == 8000
