"""Gaps in the msg_ids of the sources: msg_id counts each source's frames and wraps at
65536."""

import collections

MSG_ID_MODULO = 1 << 16


class GapCounter:
    """Per source: msg_ids skipped going forward (``gaps``), and frames whose msg_id is
    the newest one's or behind it by at most half the range (``out_of_order``: late or
    duplicated). Any other msg_id is ahead, and those in between are counted skipped."""

    def __init__(self):
        self.gaps = collections.Counter()
        self.out_of_order = collections.Counter()
        self._newest = {}

    def take(self, source, msg_id):
        """Counts one frame; False when it is out of order."""
        newest = self._newest.get(source)
        if newest is not None:
            ahead = (msg_id - newest) % MSG_ID_MODULO
            if ahead == 0 or ahead >= MSG_ID_MODULO // 2:
                self.out_of_order[source] += 1
                return False
            self.gaps[source] += ahead - 1
        self._newest[source] = msg_id
        return True
