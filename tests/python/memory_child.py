"""The child process of test_memory_exhaustion.py: calls made while memory runs out, then checks.

    python memory_child.py probe                  the preloaded allocator is in place and works
    python memory_child.py main CASE N K          CASE's call as the first engine call of a fresh
                                                  process, C allocations failing from the K-th on
                                                  (K = -1: none fail, only counted)
    python memory_child.py thread CASE N          every K, on a new thread each, failing from the
                                                  K-th on and then only the K-th
    python memory_child.py nomemory               Python's allocators failing from the K-th on
                                                  (_testcapi.set_nomemory), every K
    python memory_child.py tools N                the research class's copy, bulk building and
                                                  unpickling, C allocations failing from the K-th
                                                  on, every K; then Python's, with nomemory

The first three need failing_malloc.c preloaded. A process that is killed, or a check that fails
(an exception), ends with a non-zero status; success prints ALL CHECKS PASSED last.

Every check is certain, whatever outcomes the engine draws: stim replays the circuit plus the
calls that succeeded (a measurement with the outcome it reported), and the inverse of stim's
state is then applied to the register, which must give |0...0>: every qubit alone in its group
and peeked as Z = +1, which a peek reports exactly for an unentangled qubit.
"""

import ctypes
import json
import pickle
import re
import sys
import threading

import stim


from tessaryn import Axis, MeasurementResult, Tessaryn
import tessaryn_tools
from tessaryn_tools import Simulator

# Each case: a circuit made only of gates that need no per-thread engine state (single-qubit
# gates, and two-qubit gates on qubits with no other neighbours), then the call under test.
# Qubits are logical 0..7 (stim's indices), placed on the register by `placement`.
CASES = {
    "measure_x": ([], ("measure_x", 0)),
    "measure_y": ([("h", 0), ("cx", 0, 1), ("h", 1)], ("measure_y", 1)),
    "measure_z": ([("h", 0), ("cx", 0, 1), ("s", 1)], ("measure_z", 1)),
    "peek": ([("h", 2), ("cx", 2, 3), ("h", 3)], ("peek_measure_set", {2, 3})),
    "cz": ([("h", 0), ("h", 1), ("h", 2), ("h", 3), ("cz", 0, 2), ("cz", 1, 3), ("h", 0)], ("cz", 0, 1)),
    "cz_remove": ([("h", 4), ("h", 5), ("cz", 4, 5)], ("cz", 4, 5)),
}

# A six-qubit ring with assorted vertex operators: every qubit on it is random on every axis.
RING = [("h", q) for q in range(6)] + [("cz", q, (q + 1) % 6) for q in range(6)] + [("s", 2), ("h", 3)]
NOMEMORY_CASES = [(RING, (f"measure_{a}", 1)) for a in "xyz"] + [
    (RING, ("peek_measure_set", {0, 1, 2, 6})),
    (RING, ("get_entangled_group", 4)),
]

def placement(n):
    """Where logical qubit i lives: spread over the register, so a large one's far rows are used."""
    return list(range(8)) if n < 16 else [0, 1, 2, n // 2, n // 2 + 1, n - 3, n - 2, n - 1]


class Allocator:
    """The controls of the preloaded failing_malloc.c, warmed up: a ctypes function allocates
    on its first call, which must not happen while allocations fail."""

    def __init__(self):
        lib = ctypes.CDLL(None)
        self.fail_after = lib.fail_after
        self.fail_after.argtypes = (ctypes.c_long, ctypes.c_long)
        self.fail_never = lib.fail_never
        self.allocations, self.failures = lib.allocations, lib.failures
        self.allocations.restype = self.failures.restype = ctypes.c_long
        self.fail_after(0, 0)
        self.fail_never()
        self.allocations()
        self.failures()


def prepared(circuit, n):
    sim, place = Tessaryn(n), placement(n)
    for gate, *qs in circuit:
        getattr(sim, gate)(*(place[q] for q in qs))
    return sim


def bind(sim, n, call):
    """The call as a bound method and its arguments, ready before memory is taken away."""
    name, *args = call
    place = placement(n)
    return getattr(sim, name), [{place[q] for q in a} if isinstance(a, set) else place[a] for a in args]


def invoke(sim, n, call):
    method, args = bind(sim, n, call)
    return method(*args)


def check(sim, n, circuit, call, result, raised, expected_group=None):
    """The register holds the circuit's state, followed by the call if it returned `result`."""
    ref = stim.TableauSimulator()
    ref.set_num_qubits(8)
    for gate, *qs in circuit:
        getattr(ref, gate)(*qs)  # the circuits use only names stim shares
    name, *args = call
    if not raised:
        if name.startswith("measure_"):
            try:
                getattr(ref, "postselect_" + name[-1])(args[0], desired_value=bool(int(result)))
            except ValueError:
                raise AssertionError(f"{name} reported {result}, an impossible outcome") from None
        elif name == "cz":
            ref.cz(*args)
        elif name == "peek_measure_set":
            place = placement(n)
            assert set(result) == {place[q] for q in args[0]}, result
            for q in args[0]:
                o = result[place[q]]
                try:
                    getattr(ref.copy(), "postselect_" + "xyz"[int(o.axis)])(q, desired_value=bool(int(o.result)))
                except ValueError:
                    raise AssertionError(f"peek reported {o} for qubit {q}, an impossible outcome") from None
        elif name == "get_entangled_group":
            assert result == expected_group, (result, expected_group)
    assert_is(sim, n, ref)


def assert_is(sim, n, ref):
    """The register holds stim's state: undoing that state on it must leave |0...0>."""
    place = placement(n)
    gates = {"H": sim.h, "S": sim.s, "CX": sim.cx}
    for inst in ref.current_inverse_tableau().to_circuit("elimination"):
        qs = [place[t.value] for t in inst.targets_copy()]
        arity = 2 if inst.name == "CX" else 1
        for i in range(0, len(qs), arity):
            gates[inst.name](*qs[i : i + arity])
    entangled = [q for q in range(n) if sim.get_entangled_group(q) != {q}]
    assert not entangled, f"not the state stim holds: undoing that leaves qubits {entangled[:8]} entangled"
    peeked = sim.peek_measure_set(set(range(n)))
    wrong = [f"{q}: {o}" for q, o in peeked.items() if not (o.axis == Axis.Z and o.result == MeasurementResult.PlusOne)]
    assert not wrong, f"not the state stim holds: undoing that leaves {', '.join(wrong[:8])}, not |0>"


def later_calls_work(n):
    sim = Tessaryn(n)
    sim.h(n - 1)
    sim.cx(n - 1, 0)
    assert sim.measure_z(0) == sim.measure_z(n - 1)


def attempt(alloc, sim, n, call, k, count):
    """The call with this thread's allocations failing after k more: (result, raised, failures)."""
    result, raised = None, False
    method, args = bind(sim, n, call)
    alloc.fail_after(k, count)
    try:
        result = method(*args)
    except MemoryError:
        raised = True
    finally:
        alloc.fail_never()
    return result, raised, alloc.failures()


def main_thread(case, n, k):
    alloc = Allocator()
    circuit, call = CASES[case]
    sim = prepared(circuit, n)
    before = alloc.allocations()
    if k < 0:
        result, raised, failures = invoke(sim, n, call), False, 0
    else:
        result, raised, failures = attempt(alloc, sim, n, call, k, -1)
    used = alloc.allocations() - before
    later_calls_work(n)
    check(sim, n, circuit, call, result, raised)
    print("RESULT", json.dumps({"raised": raised, "failures": failures, "allocations": used}))


def on_new_thread(alloc, sim, n, call, k, count, box):
    try:
        box["attempt"] = attempt(alloc, sim, n, call, k, count)
        later_calls_work(n)
    except BaseException as e:  # noqa: BLE001 - handed to the main thread
        box["error"] = e


def new_threads(case, n):
    alloc = Allocator()
    circuit, call = CASES[case]
    later_calls_work(n)  # the module has worked on the main thread before
    for count, how in ((-1, "from the K-th on"), (1, "only the K-th")):
        k = 0
        while True:
            sim, box = prepared(circuit, n), {}
            thread = threading.Thread(target=on_new_thread, args=(alloc, sim, n, call, k, count, box))
            thread.start()
            thread.join()
            if "error" in box:
                raise AssertionError(f"K={k}, failing {how}") from box["error"]
            result, raised, failures = box["attempt"]
            try:
                check(sim, n, circuit, call, result, raised)
            except AssertionError as e:
                raise AssertionError(f"K={k}, failing {how}: {e}") from None
            if not raised and failures == 0:
                break
            k += 1
            assert k < 2000, "the call never completed"
        print(f"{case} on {n} qubits, new threads, failing {how}: K = 0..{k}")


def python_allocations_fail():
    import _testcapi

    for circuit, call in NOMEMORY_CASES:
        n = 8
        sim = prepared(circuit, n)
        group = invoke(sim, n, call) if call[0] == "get_entangled_group" else None
        k, completed = 0, 0
        while completed < 8:  # past the first success, in case a later allocation can still fail
            sim = prepared(circuit, n)
            result, raised = None, False
            method, args = bind(sim, n, call)
            _testcapi.set_nomemory(k, 0)
            try:
                result = method(*args)
            except MemoryError:
                raised = True
            finally:
                _testcapi.remove_mem_hooks()
            completed = 0 if raised else completed + 1
            try:
                check(sim, n, circuit, call, result, raised, group)
                later_calls_work(n)
            except AssertionError as e:
                raise AssertionError(f"{call[0]}, Python allocations failing from K={k} on: {e}") from None
            k += 1
            assert k < 2000, "the call never completed"
        print(f"{call[0]} with Python allocations failing: K = 0..{k - 1}")


def research_state(n):
    """A seeded state with rows of every kind: inline, heap blocks, and (above 4096) a bit row."""
    sim = Simulator(n, seed=11)
    for q in range(n):
        sim.h(q)
    for q in range(1, min(n, 400)):
        sim.cz(0, q)  # a hub
    for q in range(1, n - 1, 3):
        sim.cz(q, q + 1)
    sim.s(1)
    return sim


def read_out(sim):
    return bytes(sim.edges()), bytes(sim.vops()), repr(sim)


def research_calls(n):
    """Each call with what a success must return, read out."""
    sim = research_state(n)
    edges = [tuple(e) for e in sim.edges().tolist()]
    vops = list(sim.vops())
    payload = pickle.dumps(sim)
    want = read_out(sim)
    return sim, {
        "copy": (sim.copy, want),
        "from_graph": (lambda: Simulator.from_graph(n, edges, vops, seed=11), want),
        "unpickle": (lambda: pickle.loads(payload), want),
    }


def research_calls_fail(n, arm, disarm, failures):
    """Every call with allocations failing from the k-th on (`arm(k)` until `disarm()`), for every
    k until one meets no failure: each gives the right simulator or MemoryError, and the simulator
    it came from is untouched. `failures()` counts the failures met; where nothing counts them
    (None), eight runs in a row that return count as clean, in case a later allocation can still
    fail."""
    sim, calls = research_calls(n)
    before = read_out(sim)
    for name, (call, want) in calls.items():
        k, clean = 0, 0
        while True:
            result, raised = None, False
            arm(k)
            try:
                result = call()
            except MemoryError:
                raised = True
            finally:
                disarm()
            if not raised:
                assert read_out(result) == want, f"{name}, failing from K={k} on: a different simulator"
                twin = sim.copy()
                assert [int(result.measure_x(q)) for q in range(3)] == [int(twin.measure_x(q)) for q in range(3)]
            assert read_out(sim) == before, f"{name}, failing from K={k} on: the original changed"
            clean = 0 if raised else clean + 1
            if failures is None and clean == 8 or failures is not None and not raised and failures() == 0:
                break
            k += 1
            assert k < 5000, f"{name} never completed"
        later_calls_work(n)
        print(f"{name} on {n} qubits: K = 0..{k}")


def seeded_state(n):
    """A seeded simulator whose first eight qubits are a GHZ state held as a tableau (the forced
    policy), beside a Bell pair in graph form on the last two."""
    sim = Simulator(n, seed=5)
    tessaryn_tools._set_form_policy(sim, "tableau")
    sim.h(0)
    for q in range(7):
        sim.cx(q, q + 1)
    tessaryn_tools._set_form_policy(sim, "automatic")
    sim.h(n - 2)
    sim.cx(n - 2, n - 1)
    assert tessaryn_tools._tableau_groups(sim) == [list(range(8))]
    return sim


def outcomes(result):
    if isinstance(result, dict):
        return sorted((q, int(o.axis), int(o.result)) for q, o in result.items())
    return None if result is None else int(result)


def seeded_calls_fail(n, arm, disarm, failures):
    """Calls that draw from a seeded stream, with allocations failing from the k-th on, for every k
    until one meets no failure: a call that raises MemoryError leaves the state and the stream as
    they were, so that calling it again and going on gives the outcomes a run without failures
    gives."""
    base = seeded_state(n)
    later = [("measure_x", q) for q in range(8)] + [("measure_y", n - 2), ("measure_z", n - 1)]
    calls = {
        "measure in a tableau": lambda s: s.measure_x(3),
        "measure in graph form": lambda s: s.measure_z(n - 1),
        "peek": lambda s: s.peek_measure_set({1, 2, n - 1}),
        "cz joining a tableau": lambda s: (tessaryn_tools._set_form_policy(s, "tableau"), s.cz(4, n - 2))[1],
    }

    def go_on(sim, first):
        return [first] + [int(getattr(sim, m)(q)) for m, q in later]

    before = read_out(base)
    for name, call in calls.items():
        reference = base.copy()
        want = go_on(reference, outcomes(call(reference)))
        k, clean = 0, 0
        while True:
            twin = base.copy()
            raised = False
            arm(k)
            try:
                result = call(twin)
            except MemoryError:
                raised = True
            finally:
                disarm()
            if raised:
                assert read_out(twin) == before, f"{name}, failing from K={k} on: the state changed"
                result = call(twin)
            assert go_on(twin, outcomes(result)) == want, f"{name}, failing from K={k} on: other outcomes"
            clean = 0 if raised else clean + 1
            if failures is None and clean == 8 or failures is not None and not raised and failures() == 0:
                break
            k += 1
            assert k < 5000, f"{name} never completed"
        print(f"seeded {name} on {n} qubits: K = 0..{k}")


# One operation a line (so that every prefix ends between operations): gates in graph form and
# joining a held group, feedback, products, pair measurements, noise that draws, resets.
CIRCUIT_OPS = [
    "H 0", "CX 0 1", "CX 1 2", "CZ 2 3", "H 3", "ISWAP 3 4", "M 0", "CX rec[-1] 5", "SQRT_XX 5 6",
    "MPP X1*Z2*Y6", "DEPOLARIZE1(0.5) 2", "MXX 3 4", "CZ rec[-2] 7", "SWAP 6 7", "MR 2", "MY 6",
    "RX 1", "CY 1 0", "Z_ERROR(0.5) 0", *(f"M {q}" for q in range(8)),  # fused into one M of eight
]
# A product is measured by turning its Paulis into Z, folding them onto one qubit with CX, measuring
# that qubit and turning back. Once measured, a failure to turn back keeps the result and leaves
# the qubits turned: each of these stops after an operation is a state a run may end in too.
PRODUCT_STOPS = {
    9: [["H 1", "S_DAG 6", "H 6", "CX 2 1", "CX 6 1", "M 1"],
        ["H 1", "S_DAG 6", "H 6", "CX 2 1", "CX 6 1", "M 1", "CX 6 1"]],
    11: [["H 3", "H 4", "CX 4 3", "M 3"]],
}


def circuit_fails(n, arm, disarm, failures):
    """do_circuit with allocations failing from the k-th on, for every k until one meets no
    failure: a run stopped by MemoryError leaves the state, the record and the stream as some
    prefix of its operations leaves them (or one of the product stops), which is what a clean run
    of that prefix gives."""
    place = placement(n)

    def state_of(sim):
        # The state itself, not the graph that holds it: a step undone inside a group held as a
        # tableau may leave another graph form of the same state. The circuit's qubits are closed
        # under entanglement, so their stabilisers restricted to them fix their state.
        strings = [g[0] + "".join(g[1 + q] for q in place) for g in sim.stabilizers(place)]
        stabilizers = stim.Tableau.from_stabilizers([stim.PauliString(g) for g in strings])
        return [str(g) for g in stabilizers.to_stabilizers(canonicalize=True)], list(sim.current_measurement_record())

    def text(ops):
        return re.sub(r"(?<=[ XYZ*])\d+(?=[\s*]|$)", lambda q: str(place[int(q.group())]), "\n".join(ops))

    for policy in ("automatic", "tableau"):
        def fresh():
            sim = Simulator(n, seed=9)
            tessaryn_tools._set_form_policy(sim, policy)
            return sim

        runs = [CIRCUIT_OPS[:j] for j in range(len(CIRCUIT_OPS) + 1)]
        runs += [CIRCUIT_OPS[:j] + stop for j, stops in PRODUCT_STOPS.items() for stop in stops]
        prefixes = []
        for ops in runs:
            sim = fresh()
            sim.do_circuit(text(ops))
            state = state_of(sim)
            after = [int(sim.measure_z(q)) for q in place]  # the stream's next words, through outcomes
            prefixes.append((*state, after))
        k, clean = 0, 0
        while True:
            twin, whole = fresh(), text(CIRCUIT_OPS)
            raised = False
            arm(k)
            try:
                twin.do_circuit(whole)
            except MemoryError:
                raised = True
            finally:
                disarm()
            state = state_of(twin)
            matches = [j for j, (stabilizers, record, _) in enumerate(prefixes) if (stabilizers, record) == state]
            assert matches, f"{policy}, failing from K={k} on: a state no prefix of the circuit leaves"
            if not raised:
                assert len(CIRCUIT_OPS) in matches, f"{policy}, K={k}: a clean run stopped early"
            after = [int(twin.measure_z(q)) for q in place]
            assert any(prefixes[j][2] == after for j in matches), f"{policy}, K={k}: the stream moved"
            clean = 0 if raised else clean + 1
            if failures is None and clean == 8 or failures is not None and not raised and failures() == 0:
                break
            k += 1
            assert k < 20000, f"do_circuit under {policy} never completed"
        print(f"do_circuit ({policy}) on {n} qubits: K = 0..{k}")


if __name__ == "__main__":
    scenario, *rest = sys.argv[1:]
    if scenario == "probe":
        alloc = Allocator()
        before = alloc.allocations()
        alloc.fail_after(0, -1)
        try:
            bytearray(1 << 20)
            raise AssertionError("an allocation did not fail")
        except MemoryError:
            pass
        finally:
            alloc.fail_never()
        assert alloc.allocations() > before and alloc.failures() > 0
        bytearray(1 << 20)
    elif scenario == "main":
        main_thread(rest[0], int(rest[1]), int(rest[2]))
    elif scenario == "thread":
        new_threads(rest[0], int(rest[1]))
    elif scenario == "nomemory":
        python_allocations_fail()
    elif scenario == "tools":
        alloc = Allocator()
        later_calls_work(int(rest[0]))  # the thread's engine state exists already
        research_calls_fail(int(rest[0]), lambda k: alloc.fail_after(k, -1), alloc.fail_never, alloc.failures)
        seeded_calls_fail(int(rest[0]), lambda k: alloc.fail_after(k, -1), alloc.fail_never, alloc.failures)
        circuit_fails(int(rest[0]), lambda k: alloc.fail_after(k, -1), alloc.fail_never, alloc.failures)
    elif scenario == "tools-nomemory":
        import _testcapi

        later_calls_work(int(rest[0]))
        research_calls_fail(int(rest[0]), lambda k: _testcapi.set_nomemory(k, 0), _testcapi.remove_mem_hooks, None)
        seeded_calls_fail(int(rest[0]), lambda k: _testcapi.set_nomemory(k, 0), _testcapi.remove_mem_hooks, None)
        circuit_fails(int(rest[0]), lambda k: _testcapi.set_nomemory(k, 0), _testcapi.remove_mem_hooks, None)
    else:
        raise SystemExit(f"unknown scenario {scenario}")
    print("ALL CHECKS PASSED")
