import re
import sys

import pytest

import tessaryn


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


def raises_exactly(exc_type, message):
    """pytest.raises pinned to an exact message."""
    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")


class RefcountProbe:
    """Checks that reference counts of the given objects are the same before and after."""

    def __init__(self, *objs):
        self.objs = objs

    def __enter__(self):
        self.before = [sys.getrefcount(o) for o in self.objs]
        return self

    def __exit__(self, *exc):
        after = [sys.getrefcount(o) for o in self.objs]
        assert after == self.before
        return False
