"""Constructing a simulator: binding, conversion and allocation failures."""

import os

import pytest

from conftest import RefcountProbe, raises_exactly
from tessaryn import Tessaryn


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "call",
    [lambda: Tessaryn(4), lambda: Tessaryn(qubit_amount=4), lambda: Tessaryn(Idx(4)), lambda: Tessaryn(True)],
)
def test_accepted_forms(call):
    assert type(call()) is Tessaryn


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Tessaryn(), "Tessaryn.__new__() missing 1 required positional argument: 'qubit_amount'"),
        (lambda: Tessaryn(4, 5), "Tessaryn.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: Tessaryn(4, n=1), "Tessaryn.__new__() got an unexpected keyword argument 'n'"),
        (lambda: Tessaryn(4, qubit_amount=1), "Tessaryn.__new__() got multiple values for argument 'qubit_amount'"),
        (lambda: Tessaryn("3"), "argument 'qubit_amount': 'str' object cannot be interpreted as an integer"),
        (lambda: Tessaryn(3.0), "argument 'qubit_amount': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_binding_and_type_errors(call, message):
    with raises_exactly(TypeError, message):
        call()


def test_relabelled_type_error_keeps_cause():
    class Bad:
        def __index__(self):
            try:
                raise ValueError("inner")
            except ValueError as e:
                raise TypeError("no index here") from e

    with pytest.raises(TypeError) as info:
        Tessaryn(Bad())
    assert str(info.value) == "argument 'qubit_amount': no index here"
    assert isinstance(info.value.__cause__, ValueError)
    assert info.value.__suppress_context__


def test_other_conversion_errors_pass_unchanged():
    class Raises:
        def __index__(self):
            raise KeyError("k")

    class SubTypeError(TypeError):
        pass

    class RaisesSub:
        def __index__(self):
            raise SubTypeError("sub")

    with pytest.raises(OverflowError) as info:
        Tessaryn(-1)
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError) as info:
        Tessaryn(2**64)
    assert not str(info.value).startswith("argument")
    with pytest.raises(KeyError):
        Tessaryn(Raises())
    with raises_exactly(SubTypeError, "sub"):
        Tessaryn(RaisesSub())


def test_capacity_overflow_and_memory_error(Panic):
    with raises_exactly(Panic, "capacity overflow"):
        Tessaryn(2**63)
    with raises_exactly(Panic, "capacity overflow"):
        Tessaryn(2**64 - 1)
    # Refused at construction, not later when the storage is touched, saying what was asked.
    with raises_exactly(MemoryError, f"cannot hold {2**62} qubits: a register holds at most 4294967296"):
        Tessaryn(2**62)
    machine = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    n = machine // 25 + 1
    if n > 2**32:
        return  # a machine of over 100 GiB holds every register that has a size
    with raises_exactly(
        MemoryError,
        f"cannot hold {n} qubits: a register needs 25 bytes per qubit, {25 * n} bytes in all, "
        f"and this machine has {machine} bytes of memory",
    ):
        Tessaryn(n)


def test_zero_qubits_allowed_but_every_index_faults(Panic):
    sim = Tessaryn(0)
    with raises_exactly(Panic, "index out of bounds: the len is 0 but the index is 0"):
        sim.h(0)


def test_refcounts_stable_across_success_and_failure():
    n = 12345
    bad = 1.5
    with RefcountProbe(n, bad):
        for _ in range(100):
            Tessaryn(n % 7)
            with pytest.raises(TypeError):
                Tessaryn(bad)
            with pytest.raises(TypeError):
                Tessaryn(qubit_amount=n, x=bad)
