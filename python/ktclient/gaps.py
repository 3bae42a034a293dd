"""Gaps in the msg_ids of the sources: msg_id counts each source's frames and wraps at
65536. A msg_id skipped going forward counts as a gap until it comes after all; one
behind the newest (by at most half the range) came late or twice, and is out of order.
The tools count the same way."""

import collections

MSG_ID_MODULO = 1 << 16
_HALF_RANGE = MSG_ID_MODULO // 2
_WINDOW = 64  # msg_ids behind the newest whose arrival is remembered


class MsgOrder:
    """The msg_id sequence of one source: msg_ids skipped going forward count as gaps until
    they come after all; a msg_id behind the newest one is out of order."""

    def __init__(self):
        self.started = False
        self.newest = 0
        self.missing = 0  # bit k: msg_id newest - 1 - k skipped and not received
        self.known = 0
        self.gaps = 0
        self.out_of_order = 0

    def take(self, msg_id):
        """True when ``msg_id`` is in order (the first, or ahead of every earlier one)."""
        if not self.started:
            self.started, self.newest = True, msg_id
            return True
        ahead = (msg_id - self.newest) & 0xFFFF
        if ahead == 0:
            self.out_of_order += 1
            return False
        if ahead < _HALF_RANGE:
            skipped = ahead - 1
            self.gaps += skipped
            self.missing = 0 if ahead >= _WINDOW else (self.missing << ahead) & (2**_WINDOW - 1)
            self.missing |= (2**_WINDOW - 1) if skipped >= _WINDOW else (1 << skipped) - 1
            self.known = min(self.known + ahead, _WINDOW)
            self.newest = msg_id
            return True
        self.out_of_order += 1
        behind = ((self.newest - msg_id) & 0xFFFF) - 1
        if behind < self.known and self.missing & (1 << behind):
            self.missing &= ~(1 << behind)
            self.gaps -= 1
        return False


class GapCounter:
    """Per source: msg_ids skipped and not received since (``gaps``), and frames whose
    msg_id is behind the newest (``out_of_order``: late or duplicated)."""

    def __init__(self):
        self._orders = collections.defaultdict(MsgOrder)

    def take(self, source, msg_id):
        """Counts one frame; False when it is out of order."""
        return self._orders[source].take(msg_id)

    @property
    def gaps(self):
        return collections.Counter({s: o.gaps for s, o in self._orders.items() if o.gaps})

    @property
    def out_of_order(self):
        return collections.Counter(
            {s: o.out_of_order for s, o in self._orders.items() if o.out_of_order})
