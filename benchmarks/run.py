"""Run every benchmark script in this folder, one after the other."""

import runpy
import sys
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here))
for script in sorted(here.glob("bench_*.py")):
    print(f"=== {script.name}")
    runpy.run_path(str(script), run_name="__main__")
