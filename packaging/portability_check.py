"""Every translation unit of the module compiles for other systems.

    portability_check.py TARGET...      (zig targets, e.g. aarch64-macos x86_64-macos)

Each unit under src/ is compiled to an object by zig's clang for each target
(zig keeps what it compiled in its cache, so a unit that did not change is
not compiled again), with the project's warnings as errors, this machine's
Python headers and the target's own system headers (zig ships macOS's,
zlib's included).
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
FILE_LAYER = {"macos": "files_posix.cpp", "linux": "files_posix.cpp"}
X86_UNIT_FLAGS = {"sha1_x86.cpp": ["-msha", "-msse4.1"], "sha256_x86.cpp": ["-msha", "-msse4.1"]}


def units(target: str) -> list[Path]:
    system = target.split("-")[1]
    chosen = []
    for unit in sorted((ROOT / "src").rglob("*.cpp")):
        if unit.parent.name == "platform" and unit.name.startswith("files_") and unit.name != FILE_LAYER[system]:
            continue
        chosen.append(unit)
    return chosen


def compile_unit(target: str, unit: Path, objects: Path) -> tuple[Path, str | None]:
    extra = X86_UNIT_FLAGS.get(unit.name, []) if target.startswith("x86_64-") else []
    output = objects / target / unit.relative_to(ROOT).with_suffix(".o")
    output.parent.mkdir(parents=True, exist_ok=True)
    command = [str(ZIG), "c++", "-target", target, *FLAGS, *extra, f"-I{ROOT / 'src'}",
               f"-I{sysconfig.get_paths()['include']}", "-c", str(unit), "-o", str(output)]
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
            results = list(pool.map(lambda unit, target=target: compile_unit(target, unit, Path(objects)), checked))
            faults = [(unit, errors) for unit, errors in results if errors is not None]
            for unit, errors in faults:
                print(f"FAULT: {target}: {unit.relative_to(ROOT)}\n{errors}")
            print(f"{target}: {len(checked) - len(faults)} of {len(checked)} units compile")
            failed += len(faults)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
