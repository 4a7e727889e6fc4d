"""One call in a fresh process: the time of the first call, the repository opened in the same process and
timed with it, and the process's peak resident memory afterwards.

    python bench/child.py module ROOT ROAD METHOD ARGS_JSON KWARGS_JSON
    python bench/child.py pygit2 ROOT ROAD PEER ARGS_JSON KWARGS_JSON

For the module, a service of ROOT is made and METHOD called on it; for pygit2,
a Repository of ROOT is opened and the function PEER of peers.py called with
it. With ROAD "no git" the call finds no git on PATH. Prints one line of JSON:
{"first_ms": ..., "peak_mb": ..., "imported_mb": ...}, where `imported_mb` is
the resident memory once the library is imported, before the repository is
opened. Only the library measured (and the records pygit2's peers build) is
imported.
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
import time
from pathlib import Path


def status_mb(field: str) -> float:
    """A memory figure of this process from /proc (Linux): VmRSS now, VmHWM its peak. (getrusage's peak
    would carry the parent's from before the exec.)"""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(f"{field}:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def main(argv: list[str]) -> None:
    library, root, road, name, args, kwargs = argv[1], argv[2], argv[3], argv[4], json.loads(argv[5]), json.loads(
        argv[6])
    if library == "module":
        import git_service_cython as gsc

        def call():
            return getattr(gsc.GitServiceCython(root), name)(*args, **kwargs)
    else:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        import peers
        import pygit2

        def call():
            return getattr(peers, name)(pygit2.Repository(root), *args, **kwargs)
    imported = status_mb("VmRSS")
    with tempfile.TemporaryDirectory() as empty:
        if road != "git":
            os.environ["PATH"] = empty
        start = time.perf_counter()
        answer = call()
        elapsed = (time.perf_counter() - start) * 1000
    del answer
    print(json.dumps({"first_ms": elapsed, "peak_mb": status_mb("VmHWM"), "imported_mb": imported}))


if __name__ == "__main__":
    main(sys.argv)
