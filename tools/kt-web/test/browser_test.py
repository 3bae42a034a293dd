"""kt-web's page in a real browser: headless Chromium, driven over its DevTools protocol,
against kt-web watching kt-daqd on the simulated instrument.

Run inside kt-sim (KT_SIM_DEVICE set) with KT_DAQD, KT_WEB, KT_WEB_PAGE, KT_CHROMIUM and
KT_ARTIFACTS in the environment; CTest does so.
"""

import os
import subprocess
import sys
import tempfile
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
from devtools import DevTools  # noqa: E402

WEB_PORT = 8097
SOURCES = {"1:1": 100, "2:3": 100}  # frames/s the simulated engine gives each


@pytest.fixture
def instrument():
    env = os.environ
    # kt-web acknowledges every frame as the registered subscriber: none is dropped,
    # however busy the browser keeps the machine.
    daqd = subprocess.Popen([env["KT_DAQD"], "--subscribe", "all", env["KT_SIM_DEVICE"]],
                            stdout=subprocess.DEVNULL)
    web = subprocess.Popen([env["KT_WEB"], "--port", str(WEB_PORT), "--www", env["KT_WEB_PAGE"],
                            "--ack"], stdout=subprocess.PIPE, text=True)
    assert "kt-web: serving" in web.stdout.readline()
    yield daqd
    for p in (web, daqd):
        p.terminate()
        p.wait(timeout=15)


@pytest.fixture
def browser():
    with tempfile.TemporaryDirectory(prefix="kt-web-browser-", ignore_cleanup_errors=True) as profile:
        tools = DevTools(os.environ["KT_CHROMIUM"], profile)
        yield tools
        tools.close()


ROWS = """[...document.querySelectorAll('#sources tbody tr')].map(
    r => [...r.cells].map(c => c.textContent))"""
# Pixels of the waveform canvas that are not its white background.
DRAWN = """(() => { const c = document.getElementById('wave');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let n = 0; for (let i = 0; i < d.length; i += 4)
      if (d[i] < 250 || d[i + 1] < 250 || d[i + 2] < 250) n++;
    return n; })()"""


def test_live_view_of_the_simulated_instrument(instrument, browser):
    browser.call("Page.navigate", session=True, url=f"http://127.0.0.1:{WEB_PORT}/")
    assert browser.wait_for("document.querySelectorAll('#sources tbody tr').length == 2")
    # The engine wrote frames before kt-web subscribed; once that backlog has gone through,
    # each source shows its rate.
    steady = " && ".join(
        f"Math.abs(rows.find(r => r[0] == '{source}')[2] - {rate}) <= {rate * 0.1}"
        for source, rate in SOURCES.items())
    assert browser.wait_for(f"(() => {{ const rows = {ROWS}; return rows.length == 2 && "
                            f"{steady}; }})()", timeout=30), browser.evaluate(ROWS)
    first = {row[0]: row for row in browser.evaluate(ROWS)}
    assert set(first) == set(SOURCES)
    for source in SOURCES:
        assert first[source][3] == "0", f"gaps in {first[source]}"
    time.sleep(1.5)
    second = {row[0]: row for row in browser.evaluate(ROWS)}
    for source in SOURCES:
        assert int(second[source][1]) > int(first[source][1])
    assert browser.evaluate(DRAWN) > 200
    assert browser.evaluate("document.getElementById('connection').dataset.state") == "live"
    assert browser.evaluate("document.getElementById('problem').hidden")
    browser.screenshot(os.path.join(os.environ["KT_ARTIFACTS"], "kt-web.png"))

    # The engine stops: the page says so.
    instrument.terminate()
    instrument.wait(timeout=15)
    text = browser.wait_for(
        "!document.getElementById('problem').hidden && "
        "document.getElementById('problem').textContent")
    assert "engine is not running" in text
    assert browser.evaluate("document.getElementById('connection').dataset.state") == "problem"
    browser.screenshot(os.path.join(os.environ["KT_ARTIFACTS"], "kt-web-stopped.png"))
    assert browser.console_errors() == []
