"""Checks the wheels that `make dist` puts out.

For each wheel given, by its platform tag:

- Every wheel holds the module, named for its Python and platform, and the
  type stubs, and not the tests' probe; its Python tag is a CPython one.
- manylinux2014: `auditwheel show` names manylinux_2_17 for its architecture;
  `readelf` shows the target's machine type, no needed library beyond the
  manylinux2014 policy's (the dynamic loader is glibc's own, which the policy
  always allows), no glibc symbol version past 2.17 and no reference to a
  shared C++ runtime.
- musllinux_1_2: `auditwheel show` names musllinux_1_2 for its architecture;
  `readelf` shows the target's machine type, musl's C library (by the name
  musl systems give it) as the one library needed, and no glibc or shared C++
  runtime symbol version.
- macOS (read with macholib): the architecture of the tag; a dylib or bundle
  whose LC_BUILD_VERSION names macOS with the tag's version as its minimum;
  libSystem and the system's zlib as the only libraries it loads; every
  undefined symbol bound to one of those two, or left to the interpreter
  that loads the module (dynamic lookup) and then one of the interpreter's;
  no weak import (a function the minimum macOS may lack); an export trie and
  a symbol table that export the init function and nothing else of the
  module's (the two symbols every image's linker defines for its own header
  aside); and, on ARM64, a code signature, without which macOS loads nothing.
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
MUSL_POLICY = "musllinux_1_2"
MACHINES = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}
LOADERS = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1"}

MODULE = "git_service_cython"
INIT = f"_PyInit_{MODULE}"
MACOS_ARCHS = {"arm64": "ARM64", "x86_64": "x86_64"}
MACOS_LIBRARIES = {"/usr/lib/libSystem.B.dylib", "/usr/lib/libz.1.dylib"}
# What a Mach-O linker defines in every image for the image's own header.
IMAGE_SYMBOLS = {"__mh_dylib_header", "__mh_bundle_header", "___dso_handle"}
# The interpreter's API as the linker spells it: Py..., _Py... with the leading underscore.
INTERPRETER_SYMBOL = re.compile(r"_{1,2}Py[A-Za-z_]")

WHEEL_NAME = re.compile(r"^(?P<name>[^-]+)-(?P<version>[^-]+)-(?P<python>[^-]+)-(?P<abi>[^-]+)-(?P<platform>[^-]+)\.whl$")
MACOS_TAG = re.compile(r"^macosx_(?P<major>\d+)_(?P<minor>\d+)_(?P<arch>arm64|x86_64)$")


def policy_libraries() -> set[str]:
    policies = json.loads(resources.files("auditwheel.policy").joinpath("manylinux-policy.json").read_text())
    return set(next(policy for policy in policies if policy["name"] == POLICY)["lib_whitelist"])


def readelf(*args: str) -> str:
    return subprocess.run(["readelf", *args], capture_output=True, text=True, check=True).stdout


def version_key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in version.split("."))


def check_elf_module(module: Path, arch: str, allowed: set[str]) -> list[str]:
    """A manylinux2014 module: the policy's libraries, glibc 2.17's symbols."""
    machine, needed, versions, faults = elf_facts(module, arch)
    beyond = needed - allowed - {LOADERS[arch]}
    if beyond:
        faults.append(f"{module.name}: needs {sorted(beyond)}, beyond the {POLICY} policy")
    glibc = sorted(set(re.findall(r"GLIBC_([0-9.]+)", versions)), key=version_key)
    if glibc and version_key(glibc[-1]) > version_key("2.17"):
        faults.append(f"{module.name}: needs GLIBC_{glibc[-1]}")
    faults += shared_cxx_runtime(module, versions)
    print(f"  {module.name}: {machine}; needs {', '.join(sorted(needed))}; glibc up to {glibc[-1] if glibc else '-'}")
    return faults


def check_musl_module(module: Path, arch: str) -> list[str]:
    """A musllinux module: musl's C library alone, no glibc symbol at all."""
    machine, needed, versions, faults = elf_facts(module, arch)
    if needed != {f"libc.musl-{arch}.so.1"}:
        faults.append(f"{module.name}: needs {sorted(needed)}, not musl's C library alone")
    glibc = sorted(set(re.findall(r"GLIBC_[0-9.]+", versions)))
    if glibc:
        faults.append(f"{module.name}: refers to glibc ({', '.join(glibc)})")
    faults += shared_cxx_runtime(module, versions)
    print(f"  {module.name}: {machine}; needs {', '.join(sorted(needed))}")
    return faults


def elf_facts(module: Path, arch: str) -> tuple[str, set[str], str, list[str]]:
    """The module's machine, needed libraries and symbol versions, and a fault if the machine is not arch's."""
    faults = []
    machine = re.search(r"Machine:\s+(.+)", readelf("-h", module)).group(1).strip()
    if machine != MACHINES[arch]:
        faults.append(f"{module.name}: machine {machine!r}, not {MACHINES[arch]!r}")
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("-d", module)))
    return machine, needed, readelf("-V", module), faults


def shared_cxx_runtime(module: Path, versions: str) -> list[str]:
    cxx = sorted(set(re.findall(r"(GLIBCXX_[0-9.]+|CXXABI_[0-9.]+)", versions)))
    return [f"{module.name}: refers to a shared C++ runtime ({', '.join(cxx)})"] if cxx else []


def read_uleb128(data: bytes, position: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        byte = data[position]
        position += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, position


def export_trie_names(data: bytes) -> list[str]:
    """The names a dyld export trie holds (each node: a terminal size and
    information, then its edges, each a label and a child's offset)."""
    names, pending, seen = [], [(0, b"")], set()
    while pending:
        offset, prefix = pending.pop()
        if offset in seen or offset >= len(data):
            raise ValueError(f"export trie: node at {offset} out of place")
        seen.add(offset)
        terminal_size, position = read_uleb128(data, offset)
        if terminal_size:
            names.append(prefix.decode())
        position += terminal_size
        edges = data[position]
        position += 1
        for _ in range(edges):
            end = data.index(b"\0", position)
            label = data[position:end]
            child, position = read_uleb128(data, end + 1)
            pending.append((child, prefix + label))
    return sorted(names)


def check_macho_module(module: Path, arch: str, minimum: tuple[int, int]) -> list[str]:
    from macholib import mach_o
    from macholib.MachO import MachO
    from macholib.SymbolTable import SymbolTable

    faults = []
    macho = MachO(str(module))
    if len(macho.headers) != 1:
        return [f"{module.name}: {len(macho.headers)} architectures in one file, not one"]
    header = macho.headers[0]
    cpu = mach_o.CPU_TYPE_NAMES.get(header.header.cputype, str(header.header.cputype))
    if cpu != MACOS_ARCHS[arch]:
        faults.append(f"{module.name}: architecture {cpu}, not {MACOS_ARCHS[arch]}")
    if header.header.filetype not in (mach_o.MH_DYLIB, mach_o.MH_BUNDLE):
        faults.append(f"{module.name}: file type {header.header.filetype}, neither a dylib nor a bundle")

    dylib_commands = {mach_o.LC_LOAD_DYLIB, mach_o.LC_LOAD_WEAK_DYLIB, mach_o.LC_REEXPORT_DYLIB,
                      mach_o.LC_LAZY_LOAD_DYLIB, mach_o.LC_LOAD_UPWARD_DYLIB}
    libraries, builds, trie, signed = [], [], None, False
    for load, command, data in header.commands:
        if load.cmd in dylib_commands:
            libraries.append(data.rstrip(b"\0").decode())
            if load.cmd != mach_o.LC_LOAD_DYLIB:
                faults.append(f"{module.name}: loads {libraries[-1]} with {mach_o.LC_NAMES[load.cmd]}")
        elif load.cmd == mach_o.LC_BUILD_VERSION:
            builds.append((command.platform, command.minos >> 16, (command.minos >> 8) & 0xFF))
        elif load.cmd in (mach_o.LC_VERSION_MIN_MACOSX, mach_o.LC_RPATH):
            faults.append(f"{module.name}: has {mach_o.LC_NAMES[load.cmd]}")
        elif load.cmd in (mach_o.LC_DYLD_INFO, mach_o.LC_DYLD_INFO_ONLY) and command.export_size:
            trie = (command.export_off, command.export_size)
        elif load.cmd == mach_o.LC_DYLD_EXPORTS_TRIE:
            trie = (command.dataoff, command.datasize)
        elif load.cmd == mach_o.LC_CODE_SIGNATURE:
            signed = True
    if builds != [(mach_o.PLATFORM_MACOS, *minimum)]:
        faults.append(f"{module.name}: LC_BUILD_VERSION {builds} (platform, major, minor), "
                      f"not macOS {minimum[0]}.{minimum[1]} as the tag says")
    if sorted(libraries) != sorted(MACOS_LIBRARIES):
        faults.append(f"{module.name}: loads {libraries}, not just {sorted(MACOS_LIBRARIES)}")
    if arch == "arm64" and not signed:
        faults.append(f"{module.name}: no code signature (macOS on ARM64 loads no unsigned code)")

    symbols = SymbolTable(macho)
    bound: dict[str, list[str]] = {}
    for entry, raw in symbols.undefsyms:
        name = raw.decode()
        ordinal = (entry.n_desc >> 8) & 0xFF
        if entry.n_desc & mach_o.N_WEAK_REF:
            faults.append(f"{module.name}: weak import of {name} (missing on the minimum macOS?)")
        if 1 <= ordinal <= len(libraries):
            bound.setdefault(libraries[ordinal - 1], []).append(name)
        elif ordinal in (mach_o.SELF_LIBRARY_ORDINAL, mach_o.DYNAMIC_LOOKUP_ORDINAL):
            bound.setdefault("(dynamic lookup)", []).append(name)
            if not INTERPRETER_SYMBOL.match(name):
                faults.append(f"{module.name}: {name} is left to the interpreter but is none of its symbols")
        else:
            faults.append(f"{module.name}: {name} bound to library ordinal {ordinal}")

    defined = {raw.decode() for entry, raw in symbols.extdefsyms if not entry.n_type & mach_o.N_PEXT}
    with open(module, "rb") as file:
        exported = set()
        if trie is not None:
            file.seek(trie[0])
            exported = set(export_trie_names(file.read(trie[1])))
    for where, names in (("export trie", exported), ("symbol table", defined)):
        if INIT not in names:
            faults.append(f"{module.name}: its {where} does not export {INIT}")
        beyond = sorted(names - {INIT} - IMAGE_SYMBOLS)
        if beyond:
            faults.append(f"{module.name}: its {where} exports {len(beyond)} more: {', '.join(beyond[:12])}")

    counts = "; ".join(f"{len(names)} from {library}" for library, names in sorted(bound.items()))
    print(f"  {module.name}: {cpu}, macOS {'.'.join(map(str, builds[0][1:])) if builds else '?'} or later; "
          f"loads {', '.join(libraries)}; imports {counts}; exports {', '.join(sorted(exported))}")
    return faults


def check_wheel(wheel: Path, allowed: set[str]) -> list[str]:
    named = WHEEL_NAME.match(wheel.name)
    if named is None or not re.fullmatch(r"cp3\d+", named["python"]) or named["abi"] != named["python"]:
        return [f"{wheel.name}: not a CPython wheel's name"]
    python = named["python"][2:]
    platforms = named["platform"].split(".")
    macos = MACOS_TAG.match(platforms[0]) if len(platforms) == 1 else None
    linux_arch = next((arch for arch in MACHINES
                       if sorted(platforms) == sorted([f"{POLICY}_{arch}", f"manylinux2014_{arch}"])), None)
    musl_arch = next((arch for arch in MACHINES if platforms == [f"{MUSL_POLICY}_{arch}"]), None)
    if macos is not None:
        module_name = f"{MODULE}.cpython-{python}-darwin.so"
    elif linux_arch is not None:
        module_name = f"{MODULE}.cpython-{python}-{linux_arch}-linux-gnu.so"
    elif musl_arch is not None:
        module_name = f"{MODULE}.cpython-{python}-{musl_arch}-linux-musl.so"
    else:
        return [f"{wheel.name}: a platform tag this check does not know ({named['platform']})"]
    print(wheel.name)
    faults = []
    if linux_arch is not None:
        faults += check_auditwheel_tag(wheel, f"{POLICY}_{linux_arch}")
    elif musl_arch is not None:
        faults += check_auditwheel_tag(wheel, f"{MUSL_POLICY}_{musl_arch}")
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as unpacked:
        names = archive.namelist()
        if any("_git_store_probe" in name for name in names):
            faults.append(f"{wheel.name}: holds the tests' probe module")
        if "git_service_cython-stubs/__init__.pyi" not in names:
            faults.append(f"{wheel.name}: holds no type stubs")
        if module_name not in names:
            faults.append(f"{wheel.name}: holds no {module_name} (it holds {names})")
            return faults
        module = Path(archive.extract(module_name, unpacked))
        if linux_arch is not None:
            faults += check_elf_module(module, linux_arch, allowed)
        elif musl_arch is not None:
            faults += check_musl_module(module, musl_arch)
        else:
            faults += check_macho_module(module, macos["arch"], (int(macos["major"]), int(macos["minor"])))
    return faults


def check_auditwheel_tag(wheel: Path, expected: str) -> list[str]:
    shown = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True, check=False)
    tag = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', shown.stdout)
    print(f"  auditwheel show: {tag.group(1) if tag else shown.stdout + shown.stderr}")
    if tag is None or tag.group(1) != expected:
        return [f"{wheel.name}: auditwheel does not name {expected}"]
    return []


def main(wheels: list[str]) -> int:
    allowed = policy_libraries()
    faults = [fault for wheel in wheels for fault in check_wheel(Path(wheel), allowed)]
    for fault in faults:
        print(f"FAULT: {fault}")
    return 1 if faults or not wheels else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
