"""Counting what the msg_ids of a source skip, across their wrap at 65536."""

from ktclient.gaps import GapCounter


def feed(counter, source, ids):
    return [counter.take(source, i) for i in ids]


def test_gaps_are_counted_per_source_across_the_wrap():
    c = GapCounter()
    feed(c, (1, 1), [65533, 65534, 65535, 0, 1])  # wraps without a gap
    feed(c, (1, 2), [65534, 1, 5])  # 65535 and 0 skipped across the wrap, then 2..4
    assert c.gaps[(1, 1)] == 0
    assert c.gaps[(1, 2)] == 2 + 3
    assert not c.out_of_order


def test_late_and_repeated_msg_ids_are_out_of_order_and_leave_the_newest():
    c = GapCounter()
    assert feed(c, (3, 4), [10, 12, 12, 9, 13]) == [True, True, False, False, True]
    assert c.out_of_order[(3, 4)] == 2 and c.gaps[(3, 4)] == 1
    # 11 arriving late closes its gap.
    assert feed(c, (3, 4), [11]) == [False]
    assert c.out_of_order[(3, 4)] == 3 and c.gaps[(3, 4)] == 0
    # More than half the range ahead is behind; just under half is a gap.
    c = GapCounter()
    assert feed(c, (0, 0), [100, 100 + 32768, 100 + 32767]) == [True, False, True]
    assert c.gaps[(0, 0)] == 32766
