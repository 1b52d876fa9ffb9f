"""The value classes MeasurementResult, Axis and Outcome."""

import pytest

from tessaryn import Axis, MeasurementResult, Outcome, Tessaryn

PlusOne, MinusOne = MeasurementResult.PlusOne, MeasurementResult.MinusOne


def test_members_repr_str_int():
    assert [repr(m) for m in (PlusOne, MinusOne)] == ["MeasurementResult.PlusOne", "MeasurementResult.MinusOne"]
    assert [str(a) for a in (Axis.X, Axis.Y, Axis.Z)] == ["Axis.X", "Axis.Y", "Axis.Z"]
    assert [int(m) for m in (PlusOne, MinusOne, Axis.X, Axis.Y, Axis.Z)] == [0, 1, 0, 1, 2]
    assert Axis.X is Axis.X and type(Axis.X) is Axis and type(PlusOne) is MeasurementResult


def test_docstrings():
    assert Axis.__doc__ is None
    assert MeasurementResult.__doc__ == "Result of a single-qubit measurement.\n\nExposed to Python as `tessaryn.MeasurementResult`."
    assert Outcome.__doc__ == "Measurement outcome and the axis that was measured.\n\nReturned in the values of `peek_measure_set`."


@pytest.mark.parametrize("cls", [MeasurementResult, Axis, Outcome])
def test_not_instantiable(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(0)


def test_equality_with_members_and_ints():
    assert PlusOne == PlusOne and PlusOne != MinusOne and not (PlusOne == MinusOne)
    assert PlusOne == 0 and MinusOne == 1 and not (PlusOne == 1)
    assert 1 == MinusOne  # reflected
    assert MinusOne == True  # noqa: E712 - bool converts to 1
    assert Axis.Z == 2 and Axis.Y != 0

    class Idx:
        def __index__(self):
            return 2

    assert Axis.Z == Idx()


def test_comparisons_that_fall_back_to_identity_or_fail():
    assert not (Axis.X == PlusOne) and Axis.X != PlusOne
    assert not (PlusOne == 0.0)
    assert not (Axis.X == 2**70)
    assert not (Axis.X == "X")
    for a, b in [(Axis.X, Axis.Y), (PlusOne, MinusOne), (Axis.X, 1)]:
        with pytest.raises(TypeError):
            a < b  # noqa: B015
        with pytest.raises(TypeError):
            a >= b  # noqa: B015
    # The slot itself returns NotImplemented rather than raising.
    assert Axis.X.__lt__(Axis.Y) is NotImplemented
    assert Axis.X.__eq__(1.5) is NotImplemented
    assert PlusOne.__eq__(Axis.X) is NotImplemented


def test_unhashable_but_truthy():
    with pytest.raises(TypeError):
        hash(Axis.X)
    with pytest.raises(TypeError):
        {PlusOne}  # noqa: B018
    assert MeasurementResult.__hash__ is None
    assert bool(PlusOne) and bool(Axis.X)
    with pytest.raises(TypeError):
        [1, 2, 3][Axis.Y]


def test_class_attributes_are_fixed_but_instances_reject_attributes():
    with pytest.raises(AttributeError):
        PlusOne.value = 3
    assert list(k for k in vars(Axis) if not k.startswith("__")) == ["X", "Y", "Z"]
    assert list(k for k in vars(MeasurementResult) if not k.startswith("__")) == ["PlusOne", "MinusOne"]
