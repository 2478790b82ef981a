"""The checked-in Unicode tables of src/unicode/ are what the generator produces."""
import pathlib
import subprocess
import sys
import unicodedata

import pytest

GENERATOR = pathlib.Path(__file__).resolve().parents[2] / "tools" / "gen_unicode_tables.py"


@pytest.mark.skipif(unicodedata.unidata_version != "15.1.0", reason="built from Unicode 15.1")
def test_checked_in_tables_equal_a_fresh_generation():
    # A fresh interpreter, with its own hash seed: the generation must not depend on it.
    run = subprocess.run([sys.executable, str(GENERATOR), "--check"], capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stdout + run.stderr
