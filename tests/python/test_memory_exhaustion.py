"""Calls made while memory runs out: MemoryError and an unchanged register, never a dead process.

Memory is taken away in child processes (memory_child.py), since one way to get this wrong is the
process being killed: by glibc when a thread-local block or a thread-local destructor cannot be
allocated, or by std::terminate. The C allocator fails through failing_malloc.c, preloaded and
armed on one thread; Python's allocators through _testcapi.set_nomemory. Every attempt must
either succeed or raise MemoryError, and the child then checks with stim, with certainty rather
than statistics, that the register holds exactly the state the successful calls made, and that
later calls work.

No check depends on the outcomes the engine draws (its generator has no seed), and the tests
themselves use no randomness.
"""

import json
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from signal import Signals

import pytest

import tessaryn

HERE = Path(__file__).resolve().parent
CHILD = HERE / "memory_child.py"
PASSED = "ALL CHECKS PASSED"
# The calls that need the calling thread's generator or scratch; the first four rewrite the
# graph or measure, and removing an edge needs scratch only above 4096 qubits.
CASES = ["measure_x", "measure_y", "measure_z", "peek", "cz", "cz_remove"]
# Registers above 4096 qubits keep their rows in another representation than small ones.
SIZES = [8, 5000]
WORKERS = max(2, os.cpu_count() or 2)


def run_child(env, *args):
    return subprocess.run(
        [sys.executable, str(CHILD), *map(str, args)], env=env, capture_output=True, text=True, timeout=300
    )


def passed(proc):
    return proc.returncode == 0 and proc.stdout.rstrip().endswith(PASSED)


def describe(proc):
    """How a child ended, for a failure message: a signal by name, and the end of its output."""
    if proc.returncode < 0:
        how = f"killed by {Signals(-proc.returncode).name}"
    else:
        how = f"exit status {proc.returncode}"
    err = "\n".join(proc.stderr.rstrip().splitlines()[-15:])
    out = "\n".join(proc.stdout.rstrip().splitlines()[-5:])
    return f"{how}\n  stderr (end):\n{err}\n  stdout (end):\n{out}"


def sanitized():
    """Whether the module runs under the address sanitizer, whose allocator is the process's."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return True
    return b"__asan_init" in Path(tessaryn.__file__).read_bytes()


@pytest.fixture(scope="session")
def failing_malloc(tmp_path_factory):
    """The environment of a child with failing_malloc.c built and preloaded."""
    pytest.importorskip("stim")
    if sanitized():
        pytest.skip("the module is built with the address sanitizer: its allocator takes no other preloaded one")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler (cc or gcc) to build the failing allocator with")
    lib = tmp_path_factory.mktemp("failing_malloc") / "failing_malloc.so"
    build = subprocess.run(
        [compiler, "-shared", "-fPIC", "-O2", "-o", str(lib), str(HERE / "failing_malloc.c")],
        capture_output=True,
        text=True,
    )
    if build.returncode != 0:
        pytest.skip(f"the failing allocator does not build here (it needs glibc):\n{build.stderr}")
    env = dict(os.environ, LD_PRELOAD=" ".join(filter(None, [str(lib), os.environ.get("LD_PRELOAD")])))
    probe = run_child(env, "probe")
    if not passed(probe):
        pytest.skip(f"the preloaded failing allocator does not take effect here: {describe(probe)}")
    return env


def first_call(env, case, n, k):
    """One fresh process whose first engine call runs with allocations failing from the k-th on
    (k = -1: counted only). Returns what the child reported, or a description of its failure."""
    proc = run_child(env, "main", case, n, k)
    if not passed(proc):
        return None, f"{case} on {n} qubits, C allocations failing from K={k} on: {describe(proc)}"
    return json.loads(re.search(r"^RESULT (.*)$", proc.stdout, re.M).group(1)), None


@pytest.mark.parametrize("case", CASES)
def test_first_call_of_a_process_at_every_failing_allocation(failing_malloc, case):
    # A fresh process for every K: a failed attempt may have created part of the main thread's
    # state, and what is tested is the call that has to create all of it.
    problems = []
    for n in SIZES:
        counted, problem = first_call(failing_malloc, case, n, -1)
        if problem:
            problems.append(problem)
            continue
        ks = list(range(counted["allocations"] + 1))
        with ThreadPoolExecutor(WORKERS) as pool:
            runs = list(pool.map(lambda k: first_call(failing_malloc, case, n, k), ks))
        # The allocations a call makes can depend on the outcomes it draws: go on until one
        # attempt has run through without meeting a failure, so that every allocation was tried.
        while not any(p for _, p in runs) and not any(r["failures"] == 0 and not r["raised"] for r, _ in runs):
            assert len(runs) < 10 * (counted["allocations"] + 10), f"{case} on {n} qubits never completed"
            runs.append(first_call(failing_malloc, case, n, len(runs)))
        problems += [p for _, p in runs if p]
        print(f"{case} on {n} qubits: {counted['allocations']} allocations, K = 0..{len(runs) - 1}")
    assert not problems, "\n\n".join(problems)


@pytest.mark.parametrize("case", CASES)
def test_first_call_of_a_new_thread_at_every_failing_allocation(failing_malloc, case):
    # A new thread each time has none of the per-thread state yet, so one process sweeps every K
    # (the child stops when an attempt meets no failure), failing from the K-th allocation on and
    # then only the K-th, so that the paths that clean up after a failure get memory as well.
    with ThreadPoolExecutor(len(SIZES)) as pool:
        procs = list(pool.map(lambda n: run_child(failing_malloc, "thread", case, n), SIZES))
    problems = [f"{case} on {n} qubits, new threads: {describe(p)}" for n, p in zip(SIZES, procs) if not passed(p)]
    assert not problems, "\n\n".join(problems)


def test_python_allocations_failing_lose_no_outcome():
    # measure_* on qubits whose outcome is random (so that a lost one shows), a peek and an
    # entanglement query, with Python's allocators failing from every K on: a measurement's result
    # object must exist before the qubit is measured, and a peek builds its result only once the
    # register has been put back, so a MemoryError never hides a change.
    pytest.importorskip("stim")
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory") or not hasattr(testcapi, "remove_mem_hooks"):
        pytest.skip("this _testcapi has no set_nomemory")
    proc = run_child(dict(os.environ), "nomemory")
    assert passed(proc), describe(proc)


@pytest.mark.parametrize("n", SIZES)
def test_research_copies_builds_and_unpickling_at_every_failing_allocation(failing_malloc, n):
    proc = run_child(failing_malloc, "tools", n)
    assert passed(proc), describe(proc)


def test_research_calls_with_python_allocations_failing():
    pytest.importorskip("stim")
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory") or not hasattr(testcapi, "remove_mem_hooks"):
        pytest.skip("this _testcapi has no set_nomemory")
    proc = run_child(dict(os.environ), "tools-nomemory", 8)
    assert passed(proc), describe(proc)


def test_module_thread_locals_are_in_static_tls():
    # glibc allocates a dlopen'ed module's thread-local block with malloc at the first touch on
    # each thread, and aborts the process when that fails; thread-locals in the static TLS block
    # (initial-exec, which sets STATIC_TLS) exist from the thread's start.
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("no readelf")
    path = tessaryn.__file__
    segments = subprocess.run([readelf, "-lW", path], capture_output=True, text=True, check=True).stdout
    dynamic = subprocess.run([readelf, "-dW", path], capture_output=True, text=True, check=True).stdout
    if not re.search(r"^\s*TLS\s", segments, re.M):
        return
    flags = re.search(r"\(FLAGS\)\s+(.*)", dynamic)
    assert flags and "STATIC_TLS" in flags.group(1).split(), f"{path} has thread-locals outside static TLS"
