"""Quick-look plots of a recording: per source the payload samples one after the other,
and a strip of frame rates over the receive times with the msg_id gaps marked."""

import numpy as np

from .frame import SAMPLE_FORMATS
from .gaps import MsgOrder

# At most this many sources get a waveform panel of their own.
MAX_PANELS = 6
# At most this many samples per source are drawn: the latest ones.
MAX_POINTS = 20000


def _figure_module():
    import matplotlib
    matplotlib.use("Agg")  # headless: files only, no display needed
    import matplotlib.pyplot as plt
    return plt


def _gap_times(recording, source, times_s):
    """Times of the frames that came after msg_ids were skipped."""
    order = MsgOrder()
    at = []
    for t, msg_id in zip(times_s, recording.index["msg_id"][recording._select(source)]):
        before = order.gaps
        order.take(int(msg_id))
        if order.gaps > before:
            at.append(t)
    return np.array(at)


def plot_recording(recording, out, sources=None, sample_format=None, title=None):
    """Draws ``recording`` (a Recording) into the PNG file ``out``; ``sources`` limits the
    panels to some sources ("M:C"), ``sample_format`` overrides the declared one ("raw"
    plots bytes). Returns the sources drawn."""
    plt = _figure_module()
    fmt = recording.sample_format if sample_format is None else sample_format
    if fmt != "raw" and fmt not in SAMPLE_FORMATS:
        raise ValueError(f"bad sample format {fmt!r}")
    available = list(recording.sources())
    chosen = available if sources is None else [s for s in sources if s in available]
    if sources is not None and len(chosen) != len(sources):
        missing = sorted(set(sources) - set(available))
        raise ValueError(f"no frames of {', '.join(missing)} in the recording")
    chosen = chosen[:MAX_PANELS]
    if not chosen:
        raise ValueError("the recording holds no frames")

    origin_ns = int(recording.index["received_ns"].min()) if recording.has_times else 0
    # Sizes in quarters of an inch: exact in binary, so the picture has whole pixels.
    fig, axes = plt.subplots(len(chosen) + 1, 1, figsize=(10, 2.25 * len(chosen) + 2.5),
                             squeeze=False)
    axes = axes[:, 0]
    arrays = recording.to_arrays(fmt)
    for ax, source in zip(axes, chosen):
        # The frames of a source carry consecutive stretches of its signal: their samples
        # one after the other, numbered; when they arrived is the strip's business.
        samples = arrays[source]
        shown = samples[-MAX_POINTS:]
        first = len(samples) - len(shown)
        ax.plot(np.arange(first, len(samples)), shown, linewidth=0.8)
        ax.set_xlabel("sample")
        ax.set_ylabel(fmt)
        frames = recording.sources()[source]
        latest = " (the latest shown)" if first else ""
        ax.set_title(f"{source}: {frames} frames, {len(samples)} samples{latest}", fontsize=9)
        ax.grid(True, alpha=0.3)

    strip = axes[-1]
    if recording.has_times:
        for source in chosen:
            t = (recording.times(source).astype(np.int64) - origin_ns) / 1e9
            span = max(float(t[-1]), 1e-3)
            bins = max(1, min(100, int(span / 0.1)))
            counts, edges = np.histogram(t, bins=bins, range=(0, span))
            width = edges[1] - edges[0]
            strip.stairs(counts / width, edges, label=f"{source} frames/s")
            gaps = _gap_times(recording, source, t)
            if len(gaps):
                strip.plot(gaps, np.zeros(len(gaps)), "rx", label=f"{source} msg_id gaps")
        strip.set_xlabel("time since the first frame (s)")
        strip.set_ylabel("frames/s")
        strip.legend(fontsize=7, loc="upper right")
    else:
        strip.text(0.5, 0.5, "no receive times (recording without index)",
                   ha="center", va="center", transform=strip.transAxes)
    strip.grid(True, alpha=0.3)
    fig.suptitle(title or recording.path, fontsize=10)
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    plt.close(fig)
    return chosen
