"""The engine's files depend on each other one way: from rows and sets up to the operations, and
circuits above them.

An include that points back down the chain (the adjacency including the undo log, say) makes a
circle, and every file in it then has to be understood with all the others.
"""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[2] / "src"
pytestmark = pytest.mark.skipif(not (SRC / "engine").is_dir(), reason="the sources are not beside these tests")
INCLUDE = re.compile(r'^#include "((?:engine|clifford|circuit|module)/[a-z_]+)\.h"', re.M)


def includes():
    """Each source stem below src/module with the stems it includes."""
    graph = {}
    for path in sorted([*SRC.glob("engine/*"), *SRC.glob("clifford/*"), *SRC.glob("circuit/*")]):
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
    for path in [*SRC.glob("engine/*"), *SRC.glob("clifford/*"), *SRC.glob("circuit/*")]:
        text = path.read_text()
        assert '#include "module/' not in text and "Python.h" not in text, path
        # Circuits run on the engine; the engine knows nothing of them.
        assert path.parent.name == "circuit" or '#include "circuit/' not in text, path


def top_level_statements(text):
    """The statements of a file at namespace scope (class and function bodies skipped), each with
    whether it lies inside an anonymous namespace: (statement, anonymous)."""
    statements, current, depth, namespaces = [], [], 0, []
    for line in text.splitlines():
        stripped = line.strip()
        if depth:
            depth = max(0, depth + line.count("{") - line.count("}"))
            continue
        if not current:
            if stripped.startswith("namespace") and stripped.endswith("{"):
                namespaces.append(stripped == "namespace {")
                continue
            if line.startswith("}"):
                if namespaces:
                    namespaces.pop()
                continue
            if not line or line[0] in " \t#/":
                continue
        current.append(stripped)
        if stripped.endswith(";") or stripped.endswith("{"):
            statement = " ".join(current)
            statements.append((statement, any(namespaces)))
            depth = max(0, statement.count("{") - statement.count("}"))
            current = []
    return statements


FUNCTION = re.compile(r"^(?!(?:using|typedef|static_assert|extern|inline|template|constexpr|friend|return)\b)"
                      r"[\w:<>,&*\s]*?\b([a-z_][a-z0-9_]*)\s*\(")  # fmt: skip


def test_every_engine_function_is_defined_beside_its_declaration():
    # A header that declares what a higher layer defines hides a call back up the chain that no
    # include shows: a free function a header declares is defined in that header's own .cc.
    defined = {}
    for source in sorted([*SRC.glob("engine/*.cc"), *SRC.glob("circuit/*.cc")]):
        for statement, anonymous in top_level_statements(source.read_text()):
            match = FUNCTION.match(statement)
            if match and not anonymous and statement.endswith("{"):
                defined.setdefault(match.group(1), set()).add(source.stem)
    misplaced = []
    for header in sorted([*SRC.glob("engine/*.h"), *SRC.glob("circuit/*.h")]):
        for statement, _ in top_level_statements(header.read_text()):
            match = FUNCTION.match(statement)
            if not match or not statement.endswith(";"):
                continue
            name = match.group(1)
            if name in defined and header.stem not in defined[name]:
                misplaced.append(f"{name}: declared in {header.name}, defined in {sorted(defined[name])}")
    assert not misplaced, "\n".join(misplaced)
