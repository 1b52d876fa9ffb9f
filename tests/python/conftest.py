import gc
import re
import sys

import pytest

import tessaryn
import tessaryn_tools

# Both classes share the engine and every gate, measurement, peek and group semantics; the
# oracles that check those run on each. The research class's seeded stream is a third source of
# outcomes, so it runs as a third "class".
SIMULATORS = {
    "Tessaryn": tessaryn.Tessaryn,
    "Simulator": tessaryn_tools.Simulator,
    "seeded": lambda n: tessaryn_tools.Simulator(n, seed=20261209 + n),
}


def panic_type():
    """The internal-fault exception type, reached through a raised instance."""
    try:
        tessaryn.Tessaryn(0).h(0)
    except BaseException as e:  # noqa: BLE001 - it is deliberately not an Exception
        return type(e)
    raise AssertionError("expected an internal fault")


@pytest.fixture(scope="session")
def Panic():
    return panic_type()


@pytest.fixture(params=list(SIMULATORS), ids=list(SIMULATORS))
def Sim(request):
    """A simulator class (or a seeded maker) of either module."""
    return SIMULATORS[request.param]


@pytest.fixture
def Bad(Sim, Panic):
    """What a bad index or equal control and target raise for `Sim`: tessaryn's fault, or the
    research class's IndexError and ValueError."""
    if Sim is tessaryn.Tessaryn:
        return (Panic, Panic)
    return (IndexError, ValueError)


def raises_exactly(exc_type, message):
    """pytest.raises pinned to an exact message."""
    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")


class RefcountProbe:
    """Checks that reference counts of the given objects are the same before and after."""

    def __init__(self, *objs):
        self.objs = objs

    def __enter__(self):
        # Collected garbage on both sides: cycles left by earlier tests or by the exceptions
        # raised inside (tracebacks hold frames) would otherwise drop references in between.
        gc.collect()
        self.before = [sys.getrefcount(o) for o in self.objs]
        return self

    def __exit__(self, *exc):
        gc.collect()
        after = [sys.getrefcount(o) for o in self.objs]
        assert after == self.before
        return False
