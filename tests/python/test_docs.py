"""The Python blocks of the README and the user guide run as written.

Each block runs on its own, in a fresh interpreter and namespace, as a reader who copies just
that block would run it: a block that uses a name it does not define or import is a slip in the
documentation, as is one that raises. The traceback names the document and its line.
"""

import importlib.util
import json
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", ROOT / "docs" / "guide.md"]

RUNNER = """
import json, sys
filename, source = json.load(sys.stdin)
exec(compile(source, filename, "exec"), {"__name__": "documentation"})
"""


def python_blocks(path):
    """Each ```python block, dedented, padded with blank lines to keep the document's line numbers."""
    text = path.read_text(encoding="utf-8")
    blocks = []
    for match in re.finditer(r"^( *)```python\n(.*?)^\1```", text, re.MULTILINE | re.DOTALL):
        first_line = text.count("\n", 0, match.start(2)) + 1
        blocks.append((first_line, "\n" * (first_line - 1) + textwrap.dedent(match.group(2))))
    return blocks


BLOCKS = [
    pytest.param(path, source, id=f"{path.name}:{line}") for path in DOCUMENTS for line, source in python_blocks(path)
]


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda p: p.name)
def test_every_document_has_python_blocks(path):
    assert python_blocks(path), f"no python blocks in {path}"


@pytest.mark.parametrize(("path", "source"), BLOCKS)
def test_python_block_runs_alone(path, source, tmp_path):
    for optional in ("numpy", "networkx", "sinter", "pymatching"):
        if re.search(rf"^\s*import {optional}\b", source, re.M) and importlib.util.find_spec(optional) is None:
            pytest.skip(f"the block uses {optional}, which this interpreter lacks")
    payload = json.dumps([str(path), source])
    proc = subprocess.run([sys.executable, "-c", RUNNER], input=payload, cwd=tmp_path, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
