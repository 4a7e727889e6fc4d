"""Every translation unit of the module compiles for other systems.

    portability_check.py TARGET...      (zig targets, e.g. aarch64-macos x86_64-windows-gnu)

Each unit under src/ is compiled to an object by zig's clang for each target
(zig keeps what it compiled in its cache, so a unit that did not change is
not compiled again), with the project's warnings as errors, this machine's
Python headers and the target's own system headers (zig ships macOS's,
zlib's included, and MinGW-w64's for Windows).
For Windows there are no CPython headers to be had here (this machine's are
Linux's, and describe another ABI): only the units that use none are
compiled, the object store's and the file layer's, with zlib's headers from
Debian's MinGW-w64 build of zlib (libz-mingw-w64-dev).
The file layer's units are those of the target's system family; the SHA-1
and SHA-256 units for the processor's SHA instructions take their flags on
x86-64 targets, as in the CMake build. Runs with the project's virtual environment first on
PATH (zig comes from its ziglang package). Exits 1 when a unit fails,
printing the compiler's errors.
"""

from __future__ import annotations

import subprocess
import sys
import sysconfig
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ZIG = ROOT / "packaging" / "zig" / "zig"
FLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-fvisibility=hidden", "-DNDEBUG"]
FILE_LAYER = {"macos": "files_posix.cpp", "linux": "files_posix.cpp", "windows": "files_windows.cpp"}
# Systems without CPython headers here: only these directories' units, which include none.
WITHOUT_PYTHON = {"windows": {"store", "platform"}}
MINGW_ZLIB = Path("/usr/x86_64-w64-mingw32/include")
X86_UNIT_FLAGS = {"sha1_x86.cpp": ["-msha", "-msse4.1"], "sha256_x86.cpp": ["-msha", "-msse4.1"]}


def units(target: str) -> list[Path]:
    system = target.split("-")[1]
    chosen = []
    for unit in sorted((ROOT / "src").rglob("*.cpp")):
        if unit.parent.name == "platform" and unit.name.startswith("files_") and unit.name != FILE_LAYER[system]:
            continue
        if system in WITHOUT_PYTHON and unit.parent.name not in WITHOUT_PYTHON[system]:
            continue
        chosen.append(unit)
    return chosen


def includes(target: str) -> list[str]:
    """The include options for a target: the project's, then Python's or (for
    Windows) MinGW-w64's folder for zlib's headers, searched after the
    target's own headers, so that no other header it may hold stands before
    them. (Paths that stay the same between runs: zig's cache is keyed by
    the command line.)"""
    if target.split("-")[1] not in WITHOUT_PYTHON:
        return [f"-I{ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}"]
    return [f"-I{ROOT / 'src'}", f"-idirafter{MINGW_ZLIB}"]


def compile_unit(target: str, unit: Path, objects: Path, include: list[str]) -> tuple[Path, str | None]:
    extra = X86_UNIT_FLAGS.get(unit.name, []) if target.startswith("x86_64-") else []
    output = objects / target / unit.relative_to(ROOT).with_suffix(".o")
    output.parent.mkdir(parents=True, exist_ok=True)
    command = [str(ZIG), "c++", "-target", target, *FLAGS, *extra, *include, "-c", str(unit), "-o", str(output)]
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    return unit, None if result.returncode == 0 else result.stderr or result.stdout


def main(targets: list[str]) -> int:
    if not targets:
        print(__doc__, file=sys.stderr)
        return 2
    failed = 0
    with ThreadPoolExecutor(max_workers=2) as pool, tempfile.TemporaryDirectory() as objects:
        for target in targets:
            checked = units(target)
            include = includes(target)
            results = list(pool.map(
                lambda unit, target=target, include=include: compile_unit(target, unit, Path(objects), include),
                checked))
            faults = [(unit, errors) for unit, errors in results if errors is not None]
            for unit, errors in faults:
                print(f"FAULT: {target}: {unit.relative_to(ROOT)}\n{errors}")
            only = " (the object store's and the file layer's: no CPython headers for it here)" \
                if target.split("-")[1] in WITHOUT_PYTHON else ""
            print(f"{target}: {len(checked) - len(faults)} of {len(checked)} units compile{only}")
            failed += len(faults)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
