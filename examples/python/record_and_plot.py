"""Subscribes to source 1:1 of the instrument, records 1500 frames and plots them.
   python3 record_and_plot.py RECORDING PLOT.png"""
import sys

from ktclient import Recording, RecordingWriter, Subscriber
from ktclient.plot import plot_recording

recording, picture = sys.argv[1], sys.argv[2]
with Subscriber(["1:1"], ack=True, timeout=5) as sub, \
        RecordingWriter(recording, sample_format="i16le") as out:
    for n, frame in enumerate(sub):              # exactly 1:1, each frame acknowledged
        out.write(frame)                          # frame.samples("i16le") is a numpy view
        if n == 1499:
            break
print(f"{n + 1} frames of 1:1, {sub.stats.lost} lost; {plot_recording(Recording(recording), picture)}")
