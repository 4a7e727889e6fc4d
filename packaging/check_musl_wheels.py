"""Checks the musllinux_1_2 wheels that `make dist-musl` puts out.

For each wheel given: `auditwheel show` names musllinux_1_2 for its
architecture; the wheel holds the module (named for its musl target) and the
type stubs, and not the tests' probe; `readelf` shows the target's machine
type, musl's C library (by the name musl systems give it) as the one library
needed, and no glibc or shared C++ runtime symbol version.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

POLICY = "musllinux_1_2"
MACHINES = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}


def readelf(*args: str) -> str:
    return subprocess.run(["readelf", *args], capture_output=True, text=True, check=True).stdout


def check_module(module: Path, arch: str) -> list[str]:
    faults = []
    machine = re.search(r"Machine:\s+(.+)", readelf("-h", str(module))).group(1).strip()
    if machine != MACHINES[arch]:
        faults.append(f"{module.name}: machine {machine!r}, not {MACHINES[arch]!r}")
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("-d", str(module))))
    if needed != {f"libc.musl-{arch}.so.1"}:
        faults.append(f"{module.name}: needs {sorted(needed)}, not musl's C library alone")
    versions = sorted(set(re.findall(r"(GLIBC_[0-9.]+|GLIBCXX_[0-9.]+|CXXABI_[0-9.]+)", readelf("-V", str(module)))))
    if versions:
        faults.append(f"{module.name}: refers to glibc or a shared C++ runtime ({', '.join(versions)})")
    print(f"  {module.name}: {machine}; needs {', '.join(sorted(needed))}")
    return faults


def check_wheel(wheel: Path) -> list[str]:
    arch = next((arch for arch in MACHINES if wheel.name.endswith(f"-{POLICY}_{arch}.whl")), None)
    if arch is None:
        return [f"{wheel.name}: not a {POLICY} wheel for {' or '.join(MACHINES)}"]
    print(wheel.name)
    faults = []
    shown = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True, check=False)
    tag = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', shown.stdout)
    print(f"  auditwheel show: {tag.group(1) if tag else shown.stdout + shown.stderr}")
    if tag is None or tag.group(1) != f"{POLICY}_{arch}":
        faults.append(f"{wheel.name}: auditwheel does not name {POLICY}_{arch}")
    module_name = f"git_service_cython.cpython-{sys.version_info[0]}{sys.version_info[1]}-{arch}-linux-musl.so"
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as unpacked:
        names = archive.namelist()
        if any("_git_store_probe" in name for name in names):
            faults.append(f"{wheel.name}: holds the tests' probe module")
        if "git_service_cython-stubs/__init__.pyi" not in names:
            faults.append(f"{wheel.name}: holds no type stubs")
        if module_name not in names:
            return [*faults, f"{wheel.name}: holds no {module_name} (it holds {names})"]
        faults += check_module(Path(archive.extract(module_name, unpacked)), arch)
    return faults


def main(wheels: list[str]) -> int:
    if not wheels:
        print(__doc__, file=sys.stderr)
        return 2
    faults = [fault for wheel in wheels for fault in check_wheel(Path(wheel))]
    arches = {arch for wheel in wheels for arch in MACHINES if wheel.endswith(f"_{arch}.whl")}
    faults += [f"no {POLICY} wheel for {arch}" for arch in sorted(set(MACHINES) - arches)]
    for fault in faults:
        print(f"FAULT: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
