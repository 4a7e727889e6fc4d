"""The sources' layers point one way: each folder of src/ includes only itself
and the layers below it, and the native object store none of the host's API."""

import re
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"

# Each layer with what it may include besides itself.
BELOW = {
    "platform": set(),
    "host": set(),
    "store": {"platform"},
    "core": {"platform", "host", "store"},
    "history": {"platform", "host", "store", "core"},
    "refs": {"platform", "host", "store", "core"},
    "diff": {"platform", "host", "store", "core"},
    "status": {"platform", "host", "store", "core"},
    "module": {"platform", "host", "store", "core", "history", "refs", "diff", "status"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+[<"]([^>"]+)[>"]', re.MULTILINE)


def sources():
    return sorted(path for path in SRC.rglob("*") if path.suffix in (".h", ".cpp"))


def test_every_folder_is_a_known_layer():
    assert {path.relative_to(SRC).parts[0] for path in sources()} <= set(BELOW)


def test_includes_point_down():
    upward = []
    for path in sources():
        layer = path.relative_to(SRC).parts[0]
        for included in INCLUDE.findall(path.read_text()):
            target = included.split("/")[0] if "/" in included else None
            if target in BELOW and target != layer and target not in BELOW[layer]:
                upward.append(f"{path.relative_to(SRC)} includes {included}")
    assert upward == []


def test_the_store_stays_free_of_the_host_api():
    # It runs with the GIL released: nothing in it may touch the interpreter.
    reaching = [str(path.relative_to(SRC)) for path in sources()
                if path.relative_to(SRC).parts[0] in ("store", "platform")
                and re.search(r"Python\.h|\bPy[A-Z_]\w*|\bPyObject\b", path.read_text())]
    assert reaching == []


def test_only_the_file_layer_calls_the_operating_system():
    # Another system is then one more implementation of src/platform/files.h.
    system_headers = re.compile(r"#\s*include\s*<(unistd|fcntl|dirent|sys/[a-z]+|windows|winternl|winioctl|io)\.h>")
    calling = [str(path.relative_to(SRC)) for path in sources()
               if path.relative_to(SRC).parts[0] != "platform" and system_headers.search(path.read_text())]
    assert calling == []
