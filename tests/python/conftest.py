import gc
import re
import struct
import sys

import pytest

import tessaryn
import tessaryn_tools

# `--forms tableau` (or `thrash`) holds the research simulators' groups in that form through
# tessaryn_tools._set_form_policy, so that the oracles meet every form and every move between
# them: the engine's result must not depend on it.
FORMS = None


def pytest_addoption(parser):
    parser.addoption("--forms", choices=["tableau", "thrash"], default=None,
                     help="hold the research simulators' entangled groups in this form")  # fmt: skip


def pytest_configure(config):
    global FORMS
    FORMS = config.getoption("--forms")


def make_simulator(n, seed=None):
    """A research simulator, in the forced form when one is asked for."""
    sim = tessaryn_tools.Simulator(n, seed=seed)
    if FORMS is not None:
        tessaryn_tools._set_form_policy(sim, FORMS)
    return sim


class Seeded:
    """Makes seeded research simulators, with the seed for n qubits at hand."""

    @staticmethod
    def seed(n):
        return 20261209 + n

    def __call__(self, n):
        return make_simulator(n, seed=self.seed(n))


# Both classes share the engine and every gate, measurement, peek and group semantics; the
# oracles that check those run on each. The research class's seeded stream is a third source of
# outcomes, so it runs as a third "class".
SIMULATORS = {"Tessaryn": tessaryn.Tessaryn, "Simulator": make_simulator, "seeded": Seeded()}


def chacha12_words(key, count, stream=0):
    """The documented stream, written out independently: ChaCha12 blocks of `key` (32 bytes),
    counter from 0, stream id `stream`, as 32-bit words."""
    mask = 0xFFFFFFFF

    def quarter(x, a, b, c, d):
        for p, q, r, shift in ((a, b, d, 16), (c, d, b, 12), (a, b, d, 8), (c, d, b, 7)):
            x[p] = (x[p] + x[q]) & mask
            x[r] ^= x[p]
            x[r] = ((x[r] << shift) | (x[r] >> (32 - shift))) & mask

    words, counter = [], 0
    while len(words) < count:
        state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *struct.unpack("<8I", key), counter, 0,
                 stream & mask, stream >> 32]  # fmt: skip
        x = list(state)
        for _ in range(6):
            for a, b, c, d in ((0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15)):
                quarter(x, a, b, c, d)
            for a, b, c, d in ((0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)):
                quarter(x, a, b, c, d)
        words += [(u + v) & mask for u, v in zip(x, state)]
        counter += 1
    return words[:count]


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
    if FORMS is not None and request.param == "Tessaryn":
        pytest.skip("forced forms reach the research class only")
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
