"""Every ```python block of README.md and docs/*.md runs: the blocks of one file in order, in one namespace,
with a temporary folder as the working directory, so no documented snippet can go stale."""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def python_blocks(path):
    """(first line number, code) of each python block of a Markdown file."""
    text = path.read_text(encoding="utf-8")
    return [(text.count("\n", 0, match.start(1)) + 1, match.group(1)) for match in BLOCK.finditer(text)]


def test_the_documents_hold_python_blocks():
    assert python_blocks(ROOT / "README.md")
    assert python_blocks(ROOT / "docs" / "guide.md")
    assert python_blocks(ROOT / "docs" / "guide.md")[0][1].startswith("import numpy as np\n")


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda path: path.relative_to(ROOT).as_posix())
def test_python_blocks_run(path, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__main__"}
    for line, code in python_blocks(path):
        # Padding keeps the document's line numbers in tracebacks.
        exec(compile("\n" * (line - 1) + code, str(path), "exec"), namespace)
