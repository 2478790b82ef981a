"""The checked-in Unicode tables of src/unicode/ are what the generator produces."""
import importlib.util
import pathlib
import subprocess
import sys
import unicodedata

import pytest

GENERATOR = pathlib.Path(__file__).resolve().parents[2] / "tools" / "gen_unicode_tables.py"
pytestmark = pytest.mark.skipif(unicodedata.unidata_version != "15.1.0",
                                reason="tables are built from Unicode 15.1")


@pytest.fixture
def gen():
    spec = importlib.util.spec_from_file_location("gen_unicode_tables", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_checked_in_tables_equal_a_fresh_generation():
    # A fresh interpreter, with its own hash seed: the generation must not depend on it.
    run = subprocess.run([sys.executable, str(GENERATOR), "--check"], capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stdout + run.stderr


def test_check_notices_an_edited_table(gen, tmp_path, capsys):
    gen.generate(tmp_path)
    table = tmp_path / gen.UPPER_FILE
    table.write_text(table.read_text().replace("-32, 1}", "-31, 1}", 1))
    gen.UNICODE_DIR = tmp_path
    assert not gen.check()
    assert "-31, 1}" in capsys.readouterr().out


def test_upper_runs_reproduce_str_upper(gen):
    # The run encoding is lossy if built wrong; decode it back and compare.
    simple, decoded = gen.upper_mappings()[0], {}
    runs = gen.delta_runs(simple)
    assert all(before[1] < after[0] for before, after in zip(runs, runs[1:]))
    for first, last, delta, stride in runs:
        for cp in range(first, last + 1, stride):
            assert cp not in decoded
            decoded[cp] = cp + delta
    assert decoded == simple
