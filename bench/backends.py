"""Running an op list on tessaryn, on stim's TableauSimulator call by call, and as a stim circuit."""

import stim

from tessaryn import Tessaryn

STIM_GATE = {
    "h": "H", "s": "S", "sdag": "S_DAG", "x": "X", "y": "Y", "z": "Z",
    "cz": "CZ", "cx": "CX", "cy": "CY", "xcx": "XCX", "xcy": "XCY", "xcz": "XCZ",
    "ycx": "YCX", "ycy": "YCY", "ycz": "YCZ",
    "measure_x": "MX", "measure_y": "MY", "measure_z": "M",
}  # fmt: skip

STIM_METHOD = {"sdag": "s_dag", "measure_z": "measure"}


def tessaryn_calls(n, ops):
    sim = Tessaryn(n)
    return sim, [(getattr(sim, name), args) for name, args in ops]


def stim_calls(n, ops):
    """Call by call, each op through its fastest single stim call: a method where stim has one,
    otherwise `do` with a prepared CircuitInstruction (MX and MY)."""
    sim = stim.TableauSimulator()
    sim.set_num_qubits(n)
    return sim, stim_calls_on(sim, ops)


def stim_calls_on(sim, ops):
    calls = []
    do = sim.do
    for name, args in ops:
        if name in ("measure_x", "measure_y"):
            calls.append((do, (stim.CircuitInstruction(STIM_GATE[name], list(args)),)))
        else:
            calls.append((getattr(sim, STIM_METHOD.get(name, name)), args))
    return calls


def stim_circuit(ops):
    c = stim.Circuit()
    for name, args in ops:
        c.append(STIM_GATE[name], list(args))
    return c


def run_calls(calls):
    for f, args in calls:
        f(*args)
