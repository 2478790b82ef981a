"""The checked-in Unicode tables of src/unicode/ are what the generator produces.

Needs only the standard library of Python 3.13:
    python3.13 -m unittest tests/python/test_unicode_tables.py
"""

import contextlib
import importlib.util
import io
import pathlib
import subprocess
import sys
import tempfile
import unittest
import unicodedata

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
GENERATOR = ROOT / "tools" / "gen_unicode_tables.py"


def load_generator():
    spec = importlib.util.spec_from_file_location("gen_unicode_tables", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@unittest.skipUnless(unicodedata.unidata_version == "15.1.0", "tables are built from Unicode 15.1")
class UnicodeTablesTest(unittest.TestCase):
    def test_checked_in_tables_equal_a_fresh_generation(self):
        run = subprocess.run(
            [sys.executable, str(GENERATOR), "--check"], capture_output=True, text=True
        )
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)

    def test_generation_is_deterministic(self):
        gen = load_generator()
        with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b:
            gen.generate(pathlib.Path(a))
            gen.generate(pathlib.Path(b))
            for name in (gen.ESCAPE_FILE, gen.UPPER_FILE):
                self.assertEqual(
                    (pathlib.Path(a) / name).read_bytes(), (pathlib.Path(b) / name).read_bytes()
                )

    def test_check_notices_an_edited_table(self):
        gen = load_generator()
        with tempfile.TemporaryDirectory() as tmp:
            edited = pathlib.Path(tmp)
            gen.generate(edited)
            table = edited / gen.UPPER_FILE
            table.write_text(table.read_text().replace("-32, 1}", "-31, 1}", 1))
            gen.UNICODE_DIR = edited
            with contextlib.redirect_stdout(io.StringIO()) as diff:
                self.assertFalse(gen.check())
            self.assertIn("-31, 1}", diff.getvalue())

    def test_upper_runs_reproduce_str_upper(self):
        # The run encoding is lossy if built wrong; decode it back and compare.
        gen = load_generator()
        simple, _ = gen.upper_mappings()
        decoded = {}
        runs = gen.delta_runs(simple)
        for before, after in zip(runs, runs[1:]):
            self.assertLess(before[1], after[0])
        for first, last, delta, stride in runs:
            for cp in range(first, last + 1, stride):
                self.assertNotIn(cp, decoded)
                decoded[cp] = cp + delta
        self.assertEqual(decoded, simple)


if __name__ == "__main__":
    unittest.main()
