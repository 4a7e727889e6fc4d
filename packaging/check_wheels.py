"""Checks the manylinux2014 wheels that `make dist` puts out.

For each wheel given: `auditwheel show` names manylinux_2_17 for its
architecture; the wheel holds the module (named for its target) and the type
stubs, and not the tests' probe; `readelf` shows the target's machine type,
no needed library beyond the manylinux2014 policy's (the dynamic loader is
glibc's own, which the policy always allows), no glibc symbol version past
2.17 and no reference to a shared C++ runtime.
"""

from __future__ import annotations

import json
import re
import subprocess
import sys
import tempfile
import zipfile
from importlib import resources
from pathlib import Path

POLICY = "manylinux_2_17"
MACHINES = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}
LOADERS = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1"}


def policy_libraries() -> set[str]:
    policies = json.loads(resources.files("auditwheel.policy").joinpath("manylinux-policy.json").read_text())
    return set(next(policy for policy in policies if policy["name"] == POLICY)["lib_whitelist"])


def readelf(*args: str) -> str:
    return subprocess.run(["readelf", *args], capture_output=True, text=True, check=True).stdout


def version_key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in version.split("."))


def check_module(module: Path, arch: str, allowed: set[str]) -> list[str]:
    faults = []
    machine = re.search(r"Machine:\s+(.+)", readelf("-h", module)).group(1).strip()
    if machine != MACHINES[arch]:
        faults.append(f"{module.name}: machine {machine!r}, not {MACHINES[arch]!r}")
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("-d", module)))
    beyond = needed - allowed - {LOADERS[arch]}
    if beyond:
        faults.append(f"{module.name}: needs {sorted(beyond)}, beyond the {POLICY} policy")
    versions = readelf("-V", module)
    glibc = sorted(set(re.findall(r"GLIBC_([0-9.]+)", versions)), key=version_key)
    if glibc and version_key(glibc[-1]) > version_key("2.17"):
        faults.append(f"{module.name}: needs GLIBC_{glibc[-1]}")
    cxx = sorted(set(re.findall(r"(GLIBCXX_[0-9.]+|CXXABI_[0-9.]+)", versions)))
    if cxx:
        faults.append(f"{module.name}: refers to a shared C++ runtime ({', '.join(cxx)})")
    print(f"  {module.name}: {machine}; needs {', '.join(sorted(needed))}; glibc up to {glibc[-1] if glibc else '-'}")
    return faults


def check_wheel(wheel: Path, allowed: set[str]) -> list[str]:
    arch = next((arch for arch in MACHINES if wheel.name.endswith(f"_{arch}.whl")), None)
    if arch is None:
        return [f"{wheel.name}: not a wheel for {' or '.join(MACHINES)}"]
    print(wheel.name)
    faults = []
    shown = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True, check=False)
    tag = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', shown.stdout)
    print(f"  auditwheel show: {tag.group(1) if tag else shown.stdout + shown.stderr}")
    if tag is None or tag.group(1) != f"{POLICY}_{arch}":
        faults.append(f"{wheel.name}: auditwheel does not name {POLICY}_{arch}")
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as unpacked:
        names = archive.namelist()
        if any("_git_store_probe" in name for name in names):
            faults.append(f"{wheel.name}: holds the tests' probe module")
        if "git_service_cython-stubs/__init__.pyi" not in names:
            faults.append(f"{wheel.name}: holds no type stubs")
        module_name = f"git_service_cython.cpython-{sys.version_info[0]}{sys.version_info[1]}-{arch}-linux-gnu.so"
        if module_name not in names:
            faults.append(f"{wheel.name}: holds no {module_name} (it holds {names})")
            return faults
        faults += check_module(Path(archive.extract(module_name, unpacked)), arch, allowed)
    return faults


def main(wheels: list[str]) -> int:
    allowed = policy_libraries()
    faults = [fault for wheel in wheels for fault in check_wheel(Path(wheel), allowed)]
    for fault in faults:
        print(f"FAULT: {fault}")
    return 1 if faults or not wheels else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
