"""A short thread stress run (reliability/thread_stress.py; the full run is
`make threads`), in a child interpreter so that a crash fails the test
instead of ending the run."""

import os
import pathlib
import random
import re
import subprocess
import sys

import pytest

STRESS = pathlib.Path(__file__).resolve().parent.parent / "reliability" / "thread_stress.py"

pytestmark = pytest.mark.refleak_exempt(reason="runs the stress in a child interpreter")


@pytest.mark.parametrize("threads, operations", [(2, 6000), (12, 1500)])
def test_short_stress_run(threads, operations):
    seed = int(os.environ.get("TOVREN_STRESS_SEED", random.SystemRandom().randrange(2**32)))
    result = subprocess.run(
        [sys.executable, str(STRESS), "--threads", str(threads), "--operations", str(operations),
         "--seed", str(seed)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, f"seed {seed}:\n{result.stdout}\n{result.stderr}"
    expected = rf"threads: {threads} threads x {operations} operations \({threads * operations} done\), 0 failures"
    assert re.search(expected, result.stdout), result.stdout
