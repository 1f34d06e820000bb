"""Every script in examples/ runs to completion against the module under test.

The examples assert what they demonstrate; here each one runs in a fresh
interpreter (the one running the tests) and must exit cleanly without writing
to stderr (no warnings, no traceback).
"""

import pathlib
import re
import subprocess
import sys

import pytest
from conftest import WARNINGS_AS_ERRORS

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
SCRIPTS = sorted(EXAMPLES.glob("*.py"))
REQUIRED = {"cached_property_demo.py", "axis_property_demo.py", "pickling_demo.py"}
# The package's description, whose usage sample users copy.
PACKAGE_PAGE = EXAMPLES.parent / "docs" / "package-page.md"


def test_required_examples_exist():
    assert REQUIRED <= {script.name for script in SCRIPTS}


@pytest.mark.parametrize("script", SCRIPTS, ids=lambda script: script.stem)
def test_example_runs(script, tmp_path):
    # Run from a scratch folder: the script's own folder is the only one that
    # Python puts on sys.path, so `tovren` comes from where the tests get it.
    result = subprocess.run(
        [sys.executable, *WARNINGS_AS_ERRORS, str(script)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    assert result.stdout.strip(), "an example shows what it does"


def test_package_page_sample_runs(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```", PACKAGE_PAGE.read_text(), re.MULTILINE | re.DOTALL)
    assert blocks, "the package page shows how to use the module"
    result = subprocess.run(
        [sys.executable, *WARNINGS_AS_ERRORS, "-c", "\n".join(blocks)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
