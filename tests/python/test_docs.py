"""The Python blocks of the README and the user guide run as written.

A document's blocks run in order in one fresh interpreter, as a reader would type them into one
session, so a block may use what an earlier one defined. A block that raises is a slip in the
documentation; the traceback names the document and its line.
"""

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
namespace = {"__name__": "documentation"}
for filename, source in json.load(sys.stdin):
    exec(compile(source, filename, "exec"), namespace)
"""


def python_blocks(path):
    """Each ```python block, dedented, padded with blank lines to keep the document's line numbers."""
    text = path.read_text(encoding="utf-8")
    blocks = []
    for match in re.finditer(r"^( *)```python\n(.*?)^\1```", text, re.MULTILINE | re.DOTALL):
        first_line = text.count("\n", 0, match.start(2)) + 1
        blocks.append("\n" * (first_line - 1) + textwrap.dedent(match.group(2)))
    return blocks


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda p: p.name)
def test_python_blocks_run_as_written(path, tmp_path):
    blocks = python_blocks(path)
    assert blocks, f"no python blocks in {path}"
    payload = json.dumps([[str(path), block] for block in blocks])
    proc = subprocess.run([sys.executable, "-c", RUNNER], input=payload, cwd=tmp_path, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
