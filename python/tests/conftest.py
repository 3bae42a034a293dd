import contextlib
import os

import pytest

from instrument import Instrument


@pytest.fixture
def instrument():
    """Starts the simulated instrument with kt-sim's options; stops it after the test."""
    if os.environ.get("KT_SIM_NAMESPACE") != "1":
        pytest.fail("run the tests through sim/ns-run: they bind the instrument's fixed ports")
    with contextlib.ExitStack() as stack:

        def start(*sim_args):
            inst = Instrument(*sim_args)
            stack.callback(inst.close)
            return inst

        yield start
