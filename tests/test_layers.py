"""The sources' layers point one way: each folder of src/ includes only itself
and the layers below it, and the native object store none of the host's API."""

import re
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"

# Each layer with what it may include besides itself.
BELOW = {
    "host": set(),
    "store": set(),
    "core": {"host", "store"},
    "history": {"host", "store", "core"},
    "refs": {"host", "store", "core"},
    "diff": {"host", "store", "core"},
    "status": {"host", "store", "core"},
    "module": {"host", "store", "core", "history", "refs", "diff", "status"},
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
                if path.relative_to(SRC).parts[0] == "store"
                and re.search(r"Python\.h|\bPy[A-Z_]\w*|\bPyObject\b", path.read_text())]
    assert reaching == []
