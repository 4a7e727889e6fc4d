"""The Mach-O check of `make wheel-check` (packaging/check_wheels.py) on small
modules linked for macOS here with zig, the way the macOS wheels are: it
passes a module that exports its init function alone and imports only from
libSystem, zlib and the interpreter, and names each way one can go wrong.
Skipped where zig or macholib is missing (a wheel's or the emulated run)."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

PROJECT = Path(__file__).resolve().parent.parent
pytest.importorskip("ziglang")
pytest.importorskip("macholib")


def load_checker():
    spec = importlib.util.spec_from_file_location("check_wheels", PROJECT / "packaging" / "check_wheels.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


checker = load_checker()

# The zig the cross builds run (`make zig-home`: its cache of each target's
# C++ runtime is kept between clones), else this interpreter's ziglang.
SHARED_ZIG = PROJECT / "build" / "zig-home" / "ziglang" / "zig"
ZIG = [str(SHARED_ZIG)] if SHARED_ZIG.exists() else [sys.executable, "-m", "ziglang"]

# A module in C: the interpreter's functions declared by hand (the check reads
# symbols, not types), zlib's from the header zig ships for macOS.
MODULE = """
#include <zlib.h>
extern void *PyLong_FromUnsignedLong(unsigned long);
%(extra)s
__attribute__((visibility("default"))) void *PyInit_git_service_cython(void) {
  return PyLong_FromUnsignedLong(crc32(0, (const unsigned char *)"x", 1) %(call)s);
}
"""


def link(tmp_path, target, source, *, language="c", extra_flags=()):
    """Links `source` for a zig target as the macOS toolchain does: a dylib
    with the interpreter's symbols left undefined, zlib through the stub."""
    suffix = ".c" if language == "c" else ".cpp"
    source_path = tmp_path / f"module{suffix}"
    source_path.write_text(source)
    output = tmp_path / f"{target}.so"
    driver = "cc" if language == "c" else "c++"
    subprocess.run([*ZIG, driver, "-target", target, "-O1", "-fvisibility=hidden",
                    "-shared", "-Wl,-undefined,dynamic_lookup", *extra_flags, str(source_path),
                    str(PROJECT / "packaging" / "macos" / "libz.tbd"), "-o", str(output)],
                   check=True, capture_output=True)
    return output


def module_source(extra="", call=""):
    return MODULE % {"extra": extra, "call": call}


@pytest.mark.parametrize(("target", "arch", "minimum"), [("aarch64-macos.11.0", "arm64", (11, 0)),
                                                         ("x86_64-macos.10.15", "x86_64", (10, 15))])
def test_a_module_as_the_wheels_link_it_passes(tmp_path, capsys, target, arch, minimum):
    module = link(tmp_path, target, module_source())
    assert checker.check_macho_module(module, arch, minimum) == []
    assert "exports _PyInit_git_service_cython" in capsys.readouterr().out


def test_what_the_tag_claims_must_match_the_module(tmp_path):
    module = link(tmp_path, "aarch64-macos.11.0", module_source())
    wrong_minimum = checker.check_macho_module(module, "arm64", (10, 15))
    assert len(wrong_minimum) == 1 and "LC_BUILD_VERSION" in wrong_minimum[0]
    wrong_arch = checker.check_macho_module(module, "x86_64", (11, 0))
    assert len(wrong_arch) == 1 and "architecture ARM64, not x86_64" in wrong_arch[0]


@pytest.mark.parametrize(("extra", "call", "fault"), [
    # A function of the module's own with default visibility.
    ('__attribute__((visibility("default"))) int helper(void) { return 1; }', "+ helper()",
     "exports 1 more: _helper"),
    # A zlib function the stub does not list is left to the interpreter.
    ("", "+ (unsigned long)deflateBound(0, 1)", "_deflateBound is left to the interpreter"),
    # A system function imported weakly, as one the minimum macOS lacks is.
    ("#include <stdlib.h>\nextern void *aligned_alloc(size_t, size_t) __attribute__((weak_import));",
     "+ (unsigned long)aligned_alloc(16, 16)", "weak import of _aligned_alloc"),
])
def test_each_fault_is_named(tmp_path, extra, call, fault):
    module = link(tmp_path, "aarch64-macos.11.0", module_source(extra, call))
    faults = checker.check_macho_module(module, "arm64", (11, 0))
    # (An export shows in both the export trie and the symbol table.)
    assert faults and all(fault in text for text in faults), faults


CPP_MODULE = """
#include <string>
#include <zlib.h>
extern "C" void *PyLong_FromUnsignedLong(unsigned long);
static std::string *kept = new std::string(100, 'x');
extern "C" __attribute__((visibility("default"))) void *PyInit_git_service_cython(void) {
  return PyLong_FromUnsignedLong(crc32(0, (const unsigned char *)kept->data(), kept->size()));
}
"""


def test_the_cpp_runtime_keeps_operator_new_private_only_with_the_module_s_definitions(tmp_path):
    flags = ("-std=c++20", "-fvisibility-global-new-delete=force-hidden")
    plain = link(tmp_path, "aarch64-macos.11.0", CPP_MODULE, language="c++", extra_flags=flags)
    exported = " ".join(checker.check_macho_module(plain, "arm64", (11, 0)))
    assert "__Znwm" in exported and "__ZdlPv" in exported

    private = PROJECT / "packaging" / "macos" / "private_new_delete.cpp"
    with_private = link(tmp_path, "aarch64-macos.11.0", CPP_MODULE, language="c++",
                        extra_flags=(*flags, str(private)))
    assert checker.check_macho_module(with_private, "arm64", (11, 0)) == []


def test_the_export_trie_is_read_whole():
    # A root with two edges, "_a" (terminal) and "_b", whose node has one more edge "c" (terminal).
    trie = bytes([0, 2, *b"_a\0", 10, *b"_b\0", 14]) + bytes([2, 0, 0x10, 0]) + bytes([0, 1, *b"c\0", 19]) \
        + bytes([2, 0, 0x20, 0])
    assert checker.export_trie_names(trie) == ["_a", "_bc"]
    with pytest.raises(ValueError):
        checker.export_trie_names(bytes([0, 1, *b"_x\0", 0]))
