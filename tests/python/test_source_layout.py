"""The engine's files depend on each other one way: from rows and sets up to the operations.

An include that points back down the chain (the adjacency including the undo log, say) makes a
circle, and every file in it then has to be understood with all the others.
"""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[2] / "src"
pytestmark = pytest.mark.skipif(not (SRC / "engine").is_dir(), reason="the sources are not beside these tests")
INCLUDE = re.compile(r'^#include "((?:engine|clifford|module)/[a-z_]+)\.h"', re.M)


def includes():
    """Each source stem of src/engine and src/clifford with the stems it includes."""
    graph = {}
    for path in sorted([*SRC.glob("engine/*"), *SRC.glob("clifford/*")]):
        stem = f"{path.parent.name}/{path.stem}"
        graph.setdefault(stem, set()).update(i for i in INCLUDE.findall(path.read_text()) if i != stem)
    return graph


def test_engine_includes_form_no_circle():
    graph = includes()
    done, path = set(), []

    def visit(stem):
        assert stem not in path, "include circle: " + " -> ".join(path[path.index(stem) :] + [stem])
        if stem in done:
            return
        path.append(stem)
        for other in graph.get(stem, ()):
            visit(other)
        path.pop()
        done.add(stem)

    for stem in graph:
        visit(stem)


def test_engine_reaches_neither_the_module_nor_python():
    for path in [*SRC.glob("engine/*"), *SRC.glob("clifford/*")]:
        text = path.read_text()
        assert '#include "module/' not in text and "Python.h" not in text, path
