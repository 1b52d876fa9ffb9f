"""Graph-state based quantum circuit simulator exposed as the `tessaryn` Python module."""

# Types of the compiled module, for type checkers and editors. The docstrings repeat the
# module's own. A bad qubit index raises pyo3_runtime.PanicException, a BaseException that is
# not a module attribute, so no signature here can name it.

from typing import ClassVar, SupportsIndex, final

__all__ = ["MeasurementResult", "Outcome", "Axis", "Tessaryn"]

@final
class MeasurementResult:
    """Result of a single-qubit measurement.

    Exposed to Python as `tessaryn.MeasurementResult`."""

    # The class cannot be instantiated; these two are the members, and every result compares
    # equal to one of them (but is a new object, so `is` does not work).
    PlusOne: ClassVar[MeasurementResult]
    MinusOne: ClassVar[MeasurementResult]
    # Results are unhashable: count them as int(result), not in a set or as dict keys.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    # True against an equal member or int; every instance is truthy, so compare rather than test.
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class Outcome:
    """Measurement outcome and the axis that was measured.

    Returned in the values of `peek_measure_set`."""

    @property
    def result(self) -> MeasurementResult: ...
    @property
    def axis(self) -> Axis: ...

@final
class Axis:
    X: ClassVar[Axis]
    Y: ClassVar[Axis]
    Z: ClassVar[Axis]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class Tessaryn:
    """Simulator for graph states over a fixed number of qubits.

    Use this class from Python to apply gates and perform measurements."""

    def __new__(cls, qubit_amount: SupportsIndex) -> Tessaryn: ...
    def x(self, qubit: SupportsIndex) -> None:
        """Apply an X (Pauli-X) gate to the given qubit.

        `node` is the index of the qubit."""

    def y(self, qubit: SupportsIndex) -> None:
        """Apply a Y (Pauli-Y) gate to the given qubit.

        `node` is the index of the qubit."""

    def z(self, qubit: SupportsIndex) -> None:
        """Apply a Z (Pauli-Z) gate to the given qubit.

        `node` is the index of the qubit."""

    def h(self, qubit: SupportsIndex) -> None:
        """Apply an H (Hadamard) gate to the given qubit.

        `node` is the index of the qubit."""

    def s(self, qubit: SupportsIndex) -> None:
        """Apply an S (phase) gate to the given qubit.

        `node` is the index of the qubit."""

    def sdag(self, qubit: SupportsIndex) -> None:
        """Apply an S† (inverse phase) gate to the given qubit.

        `node` is the index of the qubit."""

    def cz(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply a controlled-Z (CZ) gate with `control` and `target` qubits."""

    def cx(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply a controlled-X (CX) / CNOT gate with `control` and `target`."""

    def xcx(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply an X-controlled X gate (CX in the X basis)."""

    def ycx(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply a Y-controlled X gate (control qubit in the Y basis)."""

    def xcz(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply an X-controlled Z gate (target in X basis)."""

    def ycz(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply a Y-controlled Z gate (target in Y basis)."""

    def cy(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply a controlled-Y (CY) gate with `control` and `target`."""

    def xcy(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply an X-controlled Y gate (control in X basis)."""

    def ycy(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply a Y-controlled Y gate (both in Y basis)."""

    def measure_x(self, qubit: SupportsIndex) -> MeasurementResult:
        """Perform a projective measurement of `qubit` in the X basis.

        Returns `MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."""

    def measure_y(self, qubit: SupportsIndex) -> MeasurementResult:
        """Perform a projective measurement of `qubit` in the Y basis.

        Returns `MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."""

    def measure_z(self, qubit: SupportsIndex) -> MeasurementResult:
        """Perform a projective measurement of `qubit` in the Z basis.

        Returns `MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."""

    def get_entangled_group(self, qubit: SupportsIndex) -> set[int]:
        """Return the set of qubits that are entangled with `qubit`.

        This follows adjacency in the underlying graph."""

    def peek_measure_set(self, qubits: set[int] | frozenset[int]) -> dict[int, Outcome]:
        """Simulate measurements on a set of `qubits` without modifying the real state.

        Returns a map from qubit index to `Outcome` (result and axis used)."""
