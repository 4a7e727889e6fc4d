"""Timings of the native object store on a 100,000-commit repository.

Needs the test-only probe module (`make install` builds it). Builds the
repository once (with `git fast-import`, then `git gc`) under the given root
and prints what a warm read of a packed commit costs (with its SHA-1 check
and its parsing), what opening a store costs, and what a commit-graph lookup
costs.

    .venv/bin/python bench/store_timing.py [--root DIR] [--commits N]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import corpus

try:
    import _git_store_probe as probe
except ImportError:
    sys.exit("the probe module is missing: build with `make install`")


def build(path: Path, commits: int) -> None:
    if (path / ".git" / "objects" / "info" / "commit-graph").exists():
        return
    corpus.init(path, "main")
    stream = corpus.Stream()
    corpus.linear_history(stream, "refs/heads/main", commits, 1_600_000_000, "commit")
    stream.run(path)
    corpus.git(path, "gc", "--quiet")
    corpus.git(path, "commit-graph", "write", "--reachable")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", type=Path, default=Path(tempfile.gettempdir()) / "gsc-store-timing")
    parser.add_argument("--commits", type=int, default=100_000)
    args = parser.parse_args()
    path = args.root / f"linear-{args.commits}"
    started = time.perf_counter()
    build(path, args.commits)
    print(f"repository: {path} ({time.perf_counter() - started:.1f} s to make or find)")
    git_dir, objects = str(path / ".git"), str(path / ".git" / "objects")
    commits = subprocess.run(["git", "rev-list", "main"], cwd=path, capture_output=True, text=True,
                             check=True).stdout.split()
    sample = commits[::10]
    per_read = probe.time_reads(git_dir, objects, sample, 3, False)
    per_parse = probe.time_reads(git_dir, objects, sample, 3, True)
    per_open = probe.time_open(git_dir, objects, 2000)
    graph_open, per_lookup = probe.time_graph(git_dir, objects, sample, 5)
    packs = probe.pack_count(git_dir, objects)
    print(f"packs: {packs}, commits: {len(commits)}, sample: {len(sample)} commits")
    print(f"read a packed commit (SHA-1 checked), warm:  {per_read * 1e6:7.2f} us")
    print(f"  ... and parse it:                          {per_parse * 1e6:7.2f} us")
    print(f"open a store:                                {per_open * 1e6:7.2f} us")
    print(f"open a store and its commit-graph:           {graph_open * 1e6:7.2f} us")
    print(f"commit-graph lookup and parents:             {per_lookup * 1e9:7.1f} ns")


if __name__ == "__main__":
    main()
