"""Research tools over tessaryn's graph-state engine: a simulator with seeds, ordinary exceptions, read-out of the graph, expectation values, entanglement entropy, copies, pickling and bulk construction; circuits in stim's circuit language, run natively and sampled many shots at a time."""

# Types of the research module, for type checkers and editors. The docstrings repeat the
# module's own. The value classes are tessaryn's, re-exported.

from collections.abc import Callable, Iterable, Mapping
from typing import Any, ClassVar, Literal, SupportsIndex, final

from tessaryn import Axis as Axis
from tessaryn import MeasurementResult as MeasurementResult
from tessaryn import Outcome as Outcome

__all__ = [
    "Simulator",
    "Circuit",
    "CompiledMeasurementSampler",
    "CompiledDetectorSampler",
    "MeasurementResult",
    "Outcome",
    "Axis",
]
__version__: str

def _restore(data: bytes, /) -> Simulator:
    """The simulator a pickled payload describes (what unpickling calls)."""

def _set_form_policy(simulator: Simulator, policy: Literal["automatic", "graph", "tableau", "thrash"], /) -> None:
    """For tests: how `simulator` holds its entangled groups from now on,
    'automatic' (the default), 'graph', 'tableau' or 'thrash'. Results do not depend on it."""

def _tableau_groups(simulator: Simulator, /) -> list[list[int]]:
    """For tests: the groups `simulator` holds as tableaux, each a sorted list of
    its qubits."""

@final
class Simulator:
    """A stabilizer state of `qubit_amount` qubits in graph form, starting in |0...0>.

    It has the methods of tessaryn.Tessaryn, with their arguments and semantics, and raises
    ordinary exceptions: IndexError for a qubit out of range, ValueError for a two-qubit
    gate given one qubit twice. Beyond those it reads the graph and its vertex operators
    out, answers expectation values and entanglement entropies, re-expresses the state by
    local complementation, copies and pickles itself, and is built in bulk by
    Simulator.from_graph.

    seed=None draws random outcomes from the calling thread's generator, keyed from the
    operating system. An int seed from 0 to 2**256 - 1 gives the simulator a stream of its
    own: ChaCha12 with the seed's 32 little-endian bytes as its key and block counter and
    stream id starting at 0, read as 32-bit little-endian words in order. A random outcome
    takes the top bit of the next word; a random peek axis takes a word w, as floor(3*w /
    2**32) (0: X, 1: Y, 2: Z; a second word only when the low half of 3*w is within 3 of
    2**32). A random outcome is that bit itself, however the state is held; a certain
    outcome takes no word. So a seeded simulator's outcomes depend only on its seed and on
    the calls that change its state (gates, measurements, and peek_measure_set, which
    samples), never on reads, copies, pickles, local_complement, failed calls, the number of
    qubits or the machine.
    """

    def __new__(cls, qubit_amount: SupportsIndex, *, seed: SupportsIndex | None = None) -> Simulator: ...
    def __len__(self) -> int: ...
    @property
    def num_qubits(self) -> int:
        """The number of qubits. O(1)."""

    @property
    def num_edges(self) -> int:
        """The number of edges of the graph. O(n), and the graph forms of dense groups held as
        tableaux, as edges() finds them.
        """

    def x(self, qubit: SupportsIndex) -> None:
        """Apply X (Pauli-X) to `qubit`. O(1)."""

    def y(self, qubit: SupportsIndex) -> None:
        """Apply Y (Pauli-Y) to `qubit`. O(1)."""

    def z(self, qubit: SupportsIndex) -> None:
        """Apply Z (Pauli-Z) to `qubit`. O(1)."""

    def h(self, qubit: SupportsIndex) -> None:
        """Apply H (Hadamard) to `qubit`. O(1)."""

    def s(self, qubit: SupportsIndex) -> None:
        """Apply S (the phase gate, sqrt(Z)) to `qubit`. O(1)."""

    def sdag(self, qubit: SupportsIndex) -> None:
        """Apply S† (the inverse of S) to `qubit`. O(1)."""

    def cz(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply controlled-Z to `control` and `target` (it is symmetric in the two).

        One table lookup when neither qubit has neighbours besides the other; otherwise up to
        three local complementations around the two first, whose cost grows with their degrees."""

    def cx(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply controlled-X (CNOT): X on `target` when `control` is |1>.

        Costs what cz costs."""

    def xcx(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply X-controlled X: X on `target` when `control` is |->.

        Costs what cz costs."""

    def ycx(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply Y-controlled X: X on `target` when `control` is |-i>.

        Costs what cz costs."""

    def xcz(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply X-controlled Z: Z on `target` when `control` is |-> (the gate cx(target,
        control)).

        Costs what cz costs."""

    def ycz(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply Y-controlled Z: Z on `target` when `control` is |-i> (the gate cy(target,
        control)).

        Costs what cz costs."""

    def cy(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply controlled-Y: Y on `target` when `control` is |1>.

        Costs what cz costs."""

    def xcy(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply X-controlled Y: Y on `target` when `control` is |->.

        Costs what cz costs."""

    def ycy(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Apply Y-controlled Y: Y on `target` when `control` is |-i>.

        Costs what cz costs."""

    def measure_x(self, qubit: SupportsIndex) -> MeasurementResult:
        """Measure `qubit` along X and collapse the state onto the outcome.

        Returns MeasurementResult.PlusOne (eigenvalue +1) or MeasurementResult.MinusOne. A
        random outcome takes one draw and leaves `qubit` without edges. Cost: deg(qubit) times
        the degree of one of its neighbours; O(m^2/64) in a dense group of m held as a tableau.
        """

    def measure_y(self, qubit: SupportsIndex) -> MeasurementResult:
        """Measure `qubit` along Y and collapse the state onto the outcome.

        Returns MeasurementResult.PlusOne (eigenvalue +1) or MeasurementResult.MinusOne. A
        random outcome takes one draw and leaves `qubit` without edges. Cost: quadratic in
        deg(qubit); O(m^2/64) in a dense group of m held as a tableau.
        """

    def measure_z(self, qubit: SupportsIndex) -> MeasurementResult:
        """Measure `qubit` along Z and collapse the state onto the outcome.

        Returns MeasurementResult.PlusOne (eigenvalue +1) or MeasurementResult.MinusOne. A
        random outcome takes one draw and leaves `qubit` without edges. Cost: linear in
        deg(qubit); O(m^2/64) in a dense group of m held as a tableau.
        """

    def get_entangled_group(self, qubit: SupportsIndex) -> set[int]:
        """The set of qubits connected to `qubit` in the graph, `qubit` included: those it is
        entangled with, directly or through others.

        Cost: the size of the group plus the degrees of its members. A dense group held as a
        tableau is read through its graph form, found once per change of the group, O(m^3/64)
        for m qubits; nothing is moved.
        """

    def peek_measure_set(self, qubits: set[int] | frozenset[int]) -> dict[int, Outcome]:
        """Sample measuring the set `qubits` without changing the state.

        The qubits are measured in turn on one working state: each along the axis on which its
        outcome is certain when it has no neighbours by then, along a random axis otherwise.
        Returns {qubit: Outcome}. This is a sample, not an expectation: for a chosen axis, use
        peek_x, peek_y, peek_z or expectation. Cost: the measurements, and as much again to put
        the state back."""

    def vop(self, qubit: SupportsIndex) -> int:
        """The vertex operator of `qubit`, an int from 0 to 23 (0 is the identity, 10 the Hadamard;
        the user guide has the table). O(1), once a dense group held as a tableau has its graph
        form (found once per change of the group, O(m^3/64)).
        """

    def neighbours(self, qubit: SupportsIndex) -> list[int]:
        """The neighbours of `qubit` in the graph, as a sorted list. O(deg(qubit)), or O(n/64) for
        a qubit of very many neighbours, once a dense group held as a tableau has its graph form
        (found once per change of the group, O(m^3/64)).
        """

    def degree(self, qubit: SupportsIndex) -> int:
        """The number of neighbours of `qubit`. O(1), once a dense group held as a
        tableau has its graph form (found once per change of the group, O(m^3/64)).
        """

    def vops(self) -> memoryview:
        """The vertex operators of all qubits: a read-only memoryview of n bytes (format 'B'),
        which numpy.asarray takes without a copy. O(n), and O(m^3/64) for each dense group of m
        held as a tableau whose graph form is not found yet (once per change of the group).
        """

    def edges(self) -> memoryview:
        """Every edge, as a read-only memoryview of shape (E, 2) and format 'I' (uint32) that
        numpy.asarray takes without a copy: one row (u, v) per edge, u < v, in ascending order.
        O(n + E), and the 8 bytes per edge of the output; O(m^3/64) more for each dense group of m
        held as a tableau whose graph form is not found yet (once per change of the group).
        """

    def to_networkx(self) -> Any:
        """The graph as a networkx.Graph: nodes 0 to n-1, each with its vertex operator as the node
        attribute 'vop', and the edges. Needs networkx, imported by this call. O(n + E) Python
        objects, and the graph forms of dense groups held as tableaux, as edges() finds them.
        """

    def stabilizers(self, qubits: Iterable[SupportsIndex] | None = None) -> list[str]:
        """The stabilizer generator of every qubit (or of those in `qubits`), in ascending qubit
        order: the vertex operators applied to X on the qubit and Z on its neighbours, as a
        signed Pauli string over all n qubits in the text form stim.PauliString parses ("+X_Z",
        "-YZ_"). The n generators together fix the state.

        O(n) per string, and the graph forms of the dense groups held as tableaux that they read, as
        edges() finds them. ValueError when the strings would take more than 100000000 characters.
        """

    def peek_x(self, qubit: SupportsIndex) -> Literal[-1, 0, 1]:
        """What measuring `qubit` along X is certain to give: +1 or -1, or 0 when the outcome would
        be random. Changes nothing and draws nothing. O(1); for a qubit of a dense group of m held
        as a tableau, O(m/64), and O(m^2/64) when the outcome is certain.
        """

    def peek_y(self, qubit: SupportsIndex) -> Literal[-1, 0, 1]:
        """What measuring `qubit` along Y is certain to give: +1 or -1, or 0 when the outcome would
        be random. Changes nothing and draws nothing. O(1); for a qubit of a dense group of m held
        as a tableau, O(m/64), and O(m^2/64) when the outcome is certain.
        """

    def peek_z(self, qubit: SupportsIndex) -> Literal[-1, 0, 1]:
        """What measuring `qubit` along Z is certain to give: +1 or -1, or 0 when the outcome would
        be random. Changes nothing and draws nothing. O(1); for a qubit of a dense group of m held
        as a tableau, O(m/64), and O(m^2/64) when the outcome is certain.
        """

    def expectation(self, pauli: str | Mapping[SupportsIndex, str | Axis]) -> Literal[-1, 0, 1]:
        """The expectation value of a Pauli product: +1 or -1 when the state is an eigenstate of
        it, 0 otherwise.

        `pauli` is a str in stim's text form, dense ("+X_Z", "-ZZ", the identity as _ or I,
        qubits beyond its length the identity) or sparse ("X0*Z12"), or a dict {qubit: 'X', 'Y',
        'Z' or an Axis}. Changes nothing and draws nothing. Cost: the length of `pauli`, plus
        O(D log D) for D the degrees of the qubits on which it acts; for t factors on a dense group
        of m held as a tableau, O(t*m/64), and O(m^2/64) when the value is not 0.
        """

    def local_complement(self, qubit: SupportsIndex) -> None:
        """Re-express the same state with the graph locally complemented at `qubit`: every edge
        among its neighbours is toggled, and the vertex operators of `qubit` and its neighbours
        absorb the change.

        A change of representation, not a gate: the state, and so every outcome distribution and
        expectation, stays the same, and so does every outcome a seeded run goes on to give.
        O(deg(qubit)^2 plus the degrees of its neighbours); a dense group held as a tableau is
        moved back to graph form first, O(m^3/64).
        """

    def entanglement_entropy(self, region: Iterable[SupportsIndex]) -> int:
        """The entanglement entropy in bits of the qubits in `region` against the others: the GF(2)
        rank of the edges between the two (vertex operators do not change it).

        `region` is any iterable of qubit indices (a set, a range, a numpy array); repeats count
        once. Cost: O(n/64 + D) to find the c edges across, D being the degrees on the smaller
        side, then the rank of the block they form: rows and columns of one entry cost O(c) in
        all (a cut of a chain or a cluster is nothing else), and the a-by-b block left
        O(a*b*min(a, b)/64) as bit rows. A dense group of m held as a tableau and cut by the
        region adds O(m*s*min(m, s)/64) for its s qubits on the smaller side; nothing is moved.
        """

    def copy(self) -> Simulator:
        """An independent simulator in the same state, held the same way. A seeded simulator's copy
        continues its stream from the same point, so the two give the same outcomes for the same
        calls. O(n + E), plus m^2/2 bytes per dense group of m held as a tableau.
        """

    def __copy__(self) -> Simulator:
        """The same as copy()."""

    def __deepcopy__(self, memo: Any) -> Simulator:
        """The same as copy()."""

    def __reduce__(self) -> tuple[Callable[[bytes], Simulator], tuple[bytes]]:
        """Pickling: the state as a compact, versioned and checksummed payload of about n + 8*E
        bytes, with a seeded simulator's stream and the point it has reached, and which groups are
        held as tableaux, so that the unpickled simulator gives the same outcomes at the same
        costs. Costs what edges() costs; nothing is moved.
        """

    def do_circuit(self, circuit: Circuit | str | object) -> memoryview:
        """Run `circuit` (a Circuit, or anything whose str() is circuit text, a stim.Circuit as it
        is) on this state, in one call: gates, measurements, resets, noise and feedback from the
        measurement record, REPEAT blocks run as often as they say. Random outcomes and noise
        draw from this simulator's stream (a seeded one's, in the documented order), results are
        appended to its measurement record, and the results of this run come back as a read-only
        memoryview of bools, which numpy.asarray takes without a copy. Sweep bits are 0.

        The state stays, so circuit segments interleave with gates chosen in Python. A qubit
        beyond the simulator raises IndexError, and a record target reaching before the
        record's start ValueError, before anything runs. The run releases the interpreter
        lock; Ctrl-C (KeyboardInterrupt) or memory running out (MemoryError) stops it between
        operations, leaving the state, the record and the stream as the operations before then
        left them. An operation of several engine steps (a two-qubit gate, a Pauli product) that
        runs out of memory part way is undone, unless undoing it runs out too; a product measured
        before then keeps its result, and its qubits may stay turned as its measurement left
        them (MPP X1*Z2 as H 1, CX 2 1, M 1 would). The results are this run's, in a buffer made
        before it starts. Cost: the engine's per operation; a REPEAT body is never copied.
        """

    def current_measurement_record(self) -> memoryview:
        """Every result this simulator has recorded, by circuits and by measure_x, measure_y and
        measure_z, in order: a read-only memoryview of bools (rec[-1] is the last). O(results).
        """

    @classmethod
    def from_stabilizers(cls, stabilizers: Iterable[str | object], *, seed: SupportsIndex | None = None) -> Simulator:
        """A simulator of n qubits in the state that `stabilizers`, n independent commuting Pauli
        strings, fix: strings in stim's text form ("+XZ_", "-YY", or sparse "X0*Z12"), or
        objects whose str() is one, such as the stim.PauliStrings of a stim.Tableau's
        to_stabilizers(). ValueError when they are not independent and commuting, or name a
        qubit beyond n. O(n^3/64) for the elimination that finds the graph form.
        """

    @classmethod
    def from_graph(
        cls,
        qubit_amount: SupportsIndex,
        edges: Iterable[Iterable[SupportsIndex]],
        vops: Iterable[SupportsIndex] | None = None,
        *,
        seed: SupportsIndex | None = None,
    ) -> Simulator:
        """A simulator in the graph state of `edges`, an integer array of shape (E, 2) or an
        iterable of pairs, with the vertex operators `vops` (n ints from 0 to 23; by default the
        identity on every qubit: the state that H on every qubit and then CZ on every edge make
        from |0...0>).

        Loops, repeated edges, qubits out of range, a wrong shape or item type and vertex
        operators out of range raise ValueError or TypeError naming the first bad entry, and
        nothing is built. O(n + E): every row is allocated once, at its final size."""

@final
class Circuit:
    """A circuit in stim's circuit language: `text`, or any object whose str() is such text (a
    stim.Circuit as it is). Every instruction of that language is read: the Clifford gates by
    all their names, measurements, resets, pair and Pauli-product measurements and phases,
    every noise channel, classical feedback from the measurement record, REPEAT blocks (kept
    once, never unrolled) and the annotations.

    Parsing is one pass over the text. Text that does not parse raises ValueError naming the
    line and column and what was expected. str() gives the circuit back as text (numbers in
    their shortest exact form), repr() as a constructor call; circuits compare by their
    instructions and pickle as their text. Run one with Simulator.do_circuit, or take its
    reference_sample().
    """

    def __new__(cls, text: str | object = "") -> Circuit: ...
    def __len__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def num_qubits(self) -> int:
        """One more than the largest qubit any target names."""

    @property
    def num_measurements(self) -> int:
        """The results a run records, repetitions counted."""

    @property
    def num_detectors(self) -> int:
        """The detectors a run declares, repetitions counted."""

    @property
    def num_observables(self) -> int:
        """One more than the largest observable index."""

    def reference_sample(self, *, bit_packed: bool = False) -> Any:
        """The circuit's results when every random outcome is +1 (recorded as 0) and noise does
        nothing: a noiseless sample in the layout of stim's reference sample, so that it can be
        handed to stim.Circuit.compile_sampler(reference_sample=...). Its certain results,
        detectors and observables are those of stim's own reference sample; a random result may
        differ, as stim takes some of them as 1. A numpy array of num_measurements bools, or
        with bit_packed=True of uint8, eight results a byte, the first in the lowest bit. Runs on
        the graph engine from |0...0> without the interpreter lock, at do_circuit's cost (a
        10^6-qubit 1D cluster circuit in a quarter of a second); Ctrl-C stops it. Needs numpy.
        """

    def compile_sampler(self, *, seed: SupportsIndex | None = None, threads: int | None = None) -> CompiledMeasurementSampler:
        """A CompiledMeasurementSampler of this circuit: many shots of its measurement results at a
        time, in stim's layouts. Finds the reference sample here (reference_sample(), on the graph
        engine), then samples with Pauli frames. seed: None (keyed from the operating system) or an
        int from 0 to 2**256 - 1, which fixes every shot. threads: how many threads sample() runs
        on; None for the processors this process may use. ValueError for a circuit that cannot run
        (a record target reaching before the start).
        """

    def compile_detector_sampler(
        self, *, seed: SupportsIndex | None = None, threads: int | None = None
    ) -> CompiledDetectorSampler:
        """A CompiledDetectorSampler of this circuit: many shots of its detection events and
        observable flips at a time, in stim's layouts, with Pauli frames (no reference sample is
        needed). seed and threads as for compile_sampler().
        """

    def __reduce__(self) -> tuple[type[Circuit], tuple[str]]:
        """Pickling: the circuit as its text."""

@final
class CompiledMeasurementSampler:
    """Samples a circuit's measurement results many shots at a time: made by
    Circuit.compile_sampler(), not directly. Each shot is the circuit's reference sample (its
    noiseless run with every random outcome 0, found once, on the graph engine) with the flips
    that Pauli frames give: noise, and the outcomes that are random, drawn 64 shots to a machine
    word. Every instruction of the circuit language is carried, feedback from the record
    included. The results have the distribution of the circuit's, as stim's sampler's do.
    """

    @property
    def threads(self) -> int:
        """The threads a sample() call runs on (at most)."""

    @property
    def shots_taken(self) -> int:
        """Shots sampled so far: the next sample() call starts at this shot's index."""

    @property
    def circuit(self) -> Circuit:
        """A copy of the circuit this sampler samples."""

    def sample(
        self, shots: SupportsIndex, *, bit_packed: bool = False, progress: bool | Callable[[int, int], object] | None = None
    ) -> Any:
        """Measurement results of `shots` shots: a numpy array of shape (shots, num_measurements)
        and dtype bool, or with bit_packed=True (shots, ceil(num_measurements / 8)) of uint8,
        result m of a shot in bit m % 8 of byte m // 8 (stim's layouts).

        Shots are numbered from 0 over the sampler's life: this call takes the next `shots` of them,
        and a seeded sampler's shot k is the same whatever the thread count and however the shots
        are split between calls (sample(100) twice gives sample(200)). Runs on up to `threads`
        threads without the interpreter lock. progress: None, a callable called a few times a second
        as progress(shots_done, shots), or True for a tqdm bar (a line on standard error without
        tqdm). Ctrl-C stops it (KeyboardInterrupt), taking no shots. ValueError for a negative
        `shots` and MemoryError for output that cannot be held, before any work.
        """

@final
class CompiledDetectorSampler:
    """Samples a circuit's detection events and observable flips many shots at a time: made by
    Circuit.compile_detector_sampler(), not directly. Pauli frames, 64 shots to a machine word,
    carry noise, the outcomes that are random and feedback from the record; a detector is the
    parity of its results' flips, so no reference sample is needed. The results have the
    distribution of the circuit's, as stim's detector sampler's do.
    """

    @property
    def threads(self) -> int:
        """The threads a sample() call runs on (at most)."""

    @property
    def shots_taken(self) -> int:
        """Shots sampled so far: the next sample() call starts at this shot's index."""

    @property
    def circuit(self) -> Circuit:
        """A copy of the circuit this sampler samples."""

    def sample(
        self,
        shots: SupportsIndex,
        *,
        prepend_observables: bool = False,
        append_observables: bool = False,
        separate_observables: bool = False,
        bit_packed: bool = False,
        dets_out: Any = None,
        obs_out: Any = None,
        progress: bool | Callable[[int, int], object] | None = None,
    ) -> Any:
        """Detection events of `shots` shots, in stim's layouts: a numpy array of shape
        (shots, num_detectors) and dtype bool, with the observables' flips before the detectors
        (prepend_observables), after them (append_observables), or as a second array of shape
        (shots, num_observables) (separate_observables: a (detectors, observables) tuple).
        bit_packed=True packs eight a byte, column m of a shot in bit m % 8 of byte m // 8. dets_out
        and obs_out take arrays to write into instead (zeroed first; ValueError unless they are
        writable, C-contiguous and of the shape and dtype the call returns).

        Shots are numbered from 0 over the sampler's life: this call takes the next `shots` of them,
        and a seeded sampler's shot k is the same whatever the thread count and however the shots
        are split between calls (sample(100) twice gives sample(200)). Runs on up to `threads`
        threads without the interpreter lock. progress: None, a callable called a few times a second
        as progress(shots_done, shots), or True for a tqdm bar (a line on standard error without
        tqdm). Ctrl-C stops it (KeyboardInterrupt), taking no shots. ValueError for a negative
        `shots` and MemoryError for output that cannot be held, before any work.
        """
