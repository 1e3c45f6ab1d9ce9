"""Runs every bench/bench_*.py in its own process and prints their result lines.

Each benchmark compares the package against a literal pandas rendering of the same steps on the
same inputs, checks the outputs are equal, and prints one line per case.
"""
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


def main() -> int:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "sim"), env.get("PYTHONPATH", "")]))
    only = sys.argv[1:]
    status = 0
    for script in sorted(HERE.glob("bench_*.py")):
        if only and not any(name in script.name for name in only):
            continue
        print(f"== {script.name}", flush=True)
        status |= subprocess.call([sys.executable, str(script)], env=env, cwd=str(ROOT))
    return status


if __name__ == "__main__":
    sys.exit(main())
