"""Repositories, hand-made packs and dulwich readings for the object store's tests."""

from __future__ import annotations

import hashlib
import os
import struct
import subprocess
import zlib
from pathlib import Path

from conftest import GIT_ENV
from dulwich.object_format import OBJECT_FORMATS, SHA1
from dulwich.pack import load_pack_index, write_pack_index_v3
from dulwich.repo import Repo

TYPE_NAMES = {1: b"commit", 2: b"tree", 3: b"blob", 4: b"tag"}

# Bytes in a raw id of each object format, and the number each names itself by in a version-3 pack index
# and in a commit-graph's header.
ID_SIZES = {"sha1": 20, "sha256": 32}
FORMAT_NUMBERS = {"sha1": 1, "sha256": 2}


def hex_size(object_format: str) -> int:
    return 2 * ID_SIZES[object_format]


def format_of(hexid: str) -> str:
    """The object format an id of this length belongs to."""
    return "sha256" if len(hexid) == 64 else "sha1"


def checksum(data: bytes, object_format: str = "sha1") -> bytes:
    """The format's hash of `data`: what every file of that format ends with."""
    return hashlib.new(object_format, data).digest()


def dulwich_format(object_format: str):
    """dulwich's object format of that name."""
    return OBJECT_FORMATS[object_format]


def git(path: Path, *args: str, input: bytes | None = None, env: dict | None = None) -> str:
    result = subprocess.run(
        ["git", *args], cwd=path, input=input, capture_output=True, check=False,
        env={**os.environ, **GIT_ENV, **(env or {})},
    )
    if result.returncode != 0:
        raise AssertionError(f"git {' '.join(args)} failed: {result.stderr!r}")
    return result.stdout.decode("utf-8", "surrogateescape").strip()


def import_commits(path: Path, commits: list[tuple[str, list[int]]]) -> None:
    """Commits of the empty tree through fast-import: (branch, parent marks) each, marked 1, 2, ... in order."""
    lines = []
    for i, (branch, parents) in enumerate(commits):
        lines.append(b"commit refs/heads/%s\nmark :%d\ncommitter C <c@x> %d +0000\ndata 3\nc%d\n"
                     % (branch.encode(), i + 1, 1_600_000_000 + i, i % 10))
        if parents:
            lines.append(b"from :%d\n" % parents[0])
            lines.extend(b"merge :%d\n" % parent for parent in parents[1:])
        lines.append(b"\n")
    git(path, "fast-import", "--quiet", "--force", input=b"".join(lines))


def all_object_ids(path: Path) -> list[str]:
    return git(path, "cat-file", "--batch-all-objects", "--batch-check=%(objectname)").split()


def true_objects(path: Path) -> dict[str, tuple[int, bytes]]:
    """Every object of a repository as git reads it: id -> (type number, content)."""
    ids = all_object_ids(path)
    out = subprocess.run(["git", "cat-file", "--batch"], cwd=path, input="\n".join(ids).encode() + b"\n",
                         capture_output=True, check=True).stdout
    numbers = {name: number for number, name in TYPE_NAMES.items()}
    objects = {}
    at = 0
    while at < len(out):
        header_end = out.index(b"\n", at)
        hexid, kind, size = out[at:header_end].split()
        start = header_end + 1
        objects[hexid.decode()] = (numbers[kind], out[start:start + int(size)])
        at = start + int(size) + 1
    return objects


def dulwich_reading(repo: Repo, hexid: str):
    """What dulwich gives for an id through `repo[id]`: (type number, content), or the exception's class."""
    try:
        obj = repo[hexid.encode()]
    except Exception as error:  # noqa: BLE001 - any exception is an answer to compare
        return type(error)
    return obj.type_num, obj.as_raw_string()


def object_id(type_num: int, content: bytes, object_format: str = "sha1") -> str:
    return hashlib.new(object_format, TYPE_NAMES[type_num] + b" %d\0" % len(content) + content).hexdigest()


def loose_path(git_dir: Path, hexid: str) -> Path:
    return git_dir / "objects" / hexid[:2] / hexid[2:]


def write_loose(git_dir: Path, hexid: str, raw: bytes) -> None:
    path = loose_path(git_dir, hexid)
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.exists():
        path.chmod(0o644)
    path.write_bytes(raw)


# --- packs made by hand ----------------------------------------------------------------------------------

def entry_header(type_num: int, size: int) -> bytes:
    byte = (type_num << 4) | (size & 15)
    size >>= 4
    out = bytearray()
    while size:
        out.append(byte | 0x80)
        byte = size & 0x7F
        size >>= 7
    out.append(byte)
    return bytes(out)


def ofs_distance(distance: int) -> bytes:
    out = bytearray([distance & 0x7F])
    distance >>= 7
    while distance:
        distance -= 1
        out.insert(0, 0x80 | (distance & 0x7F))
        distance >>= 7
    return bytes(out)


def delta_size(value: int) -> bytes:
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


def pack_entry(type_num: int, payload: bytes, *, base: bytes | int | None = None, offset: int = 0,
               size: int | None = None) -> bytes:
    """One pack entry. `base` is a base id (reference delta) or a base offset (offset delta)."""
    head = entry_header(type_num, len(payload) if size is None else size)
    if type_num == 6:
        assert isinstance(base, int)
        head += ofs_distance(offset - base)
    elif type_num == 7:
        assert isinstance(base, bytes)
        head += base
    return head + zlib.compress(payload)


def write_pack(pack_dir: Path, entries: list[tuple[str, bytes]], *, name: str = "pack-test",
               idx_version: int = 2, count: int | None = None,
               object_format: str = "sha1") -> tuple[Path, Path, dict[str, int]]:
    """A pack of raw entries, each listed in the index under the given id, its trailers of the object
    format's hash. Returns the paths and offsets."""
    pack_dir.mkdir(parents=True, exist_ok=True)
    body = bytearray(b"PACK" + struct.pack(">LL", 2, len(entries) if count is None else count))
    offsets = {}
    for hexid, raw in entries:
        offsets[hexid] = len(body)
        body += raw
    body += checksum(bytes(body), object_format)
    pack_sha = bytes(body[-ID_SIZES[object_format]:])
    pack_path = pack_dir / f"{name}.pack"
    pack_path.write_bytes(bytes(body))
    ordered = sorted(offsets.items(), key=lambda item: bytes.fromhex(item[0]))
    fanout = [0] * 256
    for hexid, _ in ordered:
        for i in range(int(hexid[:2], 16), 256):
            fanout[i] += 1
    if idx_version == 2:
        idx = bytearray(b"\377tOc" + struct.pack(">L", 2))
        idx += struct.pack(">256L", *fanout)
        idx += b"".join(bytes.fromhex(hexid) for hexid, _ in ordered)
        idx += b"\0\0\0\0" * len(ordered)
        idx += b"".join(struct.pack(">L", offset) for _, offset in ordered)
    else:
        idx = bytearray(struct.pack(">256L", *fanout))
        idx += b"".join(struct.pack(">L", offset) + bytes.fromhex(hexid) for hexid, offset in ordered)
    idx += pack_sha
    idx += checksum(bytes(idx), object_format)
    idx_path = pack_dir / f"{name}.idx"
    idx_path.write_bytes(bytes(idx))
    return pack_path, idx_path, offsets


def write_version_3(idx: Path, hash_format: int | None = None, object_format: str = "sha1") -> None:
    """Rewrites a version-2 pack index of `object_format` in dulwich's version 3, naming `hash_format` in
    its header (by default the format's own number). dulwich writes SHA-1 ones; a SHA-256 one is
    version 2's tables behind the longer header, as dulwich reads it."""
    if hash_format is None:
        hash_format = FORMAT_NUMBERS[object_format]
    if object_format != "sha1":
        size = ID_SIZES[object_format]
        data = idx.read_bytes()
        assert data[:8] == b"\377tOc" + struct.pack(">L", 2)
        body = b"\377tOc" + struct.pack(">LLL", 3, hash_format, size) + data[8:-size]
        os.chmod(idx, 0o644)
        idx.write_bytes(body + checksum(body, object_format))
        return
    index = load_pack_index(str(idx), SHA1)
    try:
        entries, pack_checksum = list(index.iterentries()), index.get_pack_checksum()
    finally:
        index.close()
    os.chmod(idx, 0o644)
    with open(idx, "wb") as out:
        write_pack_index_v3(out, entries, pack_checksum)
    if hash_format != 1:
        data = bytearray(idx.read_bytes())
        data[8:12] = struct.pack(">L", hash_format)
        idx.write_bytes(bytes(data))


def fresh_repo(path: Path, object_format: str = "sha1") -> Path:
    """An empty repository of `object_format`; returns its git directory."""
    path.mkdir(parents=True, exist_ok=True)
    git(path, "init", "-q", "-b", "main", f"--object-format={object_format}")
    return path / ".git"


GPG_SIGNATURE = (
    "-----BEGIN PGP SIGNATURE-----\n\n"
    "iQEzBAABCAAdFiEE0000000000000000000000000000000AAoJEAAAAAAAAAAA\n"
    "=abcd\n-----END PGP SIGNATURE-----"
)


def build_history(path: Path, object_format: str = "sha1") -> dict[str, str]:
    """Edits, merges, an octopus, unusual commit headers, tags, in a repository of `object_format`.
    Returns notable ids by name."""
    fresh_repo(path, object_format)
    notable = {}
    for i in range(30):
        (path / "edited.txt").write_text("".join(f"line {k} of the edited file\n" for k in range(200 + i * 7)))
        (path / "dir" / "sub").mkdir(parents=True, exist_ok=True)
        (path / "dir" / "sub" / f"f{i % 5}.txt").write_text(f"version {i}\n" * (i + 1))
        git(path, "add", "-A")
        git(path, "commit", "-q", "-m", f"edit {i}", env={"GIT_COMMITTER_DATE": f"{1_700_000_000 + i} +0000"})
    for name in ("a", "b", "c"):
        git(path, "checkout", "-q", "-b", name, "main~5")
        (path / f"{name}.txt").write_text(name)
        git(path, "add", "-A")
        git(path, "commit", "-q", "-m", f"branch {name}")
    git(path, "checkout", "-q", "main")
    git(path, "merge", "-q", "--no-edit", "a", "b", "c")
    notable["octopus"] = git(path, "rev-parse", "HEAD")
    git(path, "commit", "-q", "--allow-empty", "-m", "encoded",
        env={"GIT_AUTHOR_NAME": "J\xf6rg"}, )
    tree = git(path, "rev-parse", "HEAD^{tree}")
    head = git(path, "rev-parse", "HEAD")
    people = "author Ann <ann@example.com> 1700000000 +0100\ncommitter Carl <carl@example.com> 1700000001 -0230\n"
    signed = (f"tree {tree}\nparent {head}\n{people}gpgsig " + GPG_SIGNATURE.replace("\n", "\n ")
              + "\n\nsigned commit\n")
    notable["signed"] = git(path, "hash-object", "-t", "commit", "-w", "--stdin", input=signed.encode())
    tag_text = f"object {head}\ntype commit\ntag v0\ntagger Ann <ann@example.com> 1700000000 +0000\n\nmerged tag\n"
    merged = (f"tree {tree}\nparent {notable['signed']}\nparent {head}\n{people}mergetag "
              + tag_text.rstrip("\n").replace("\n", "\n ") + "\n\nmerge with a tag\n")
    notable["mergetag"] = git(path, "hash-object", "-t", "commit", "-w", "--stdin", input=merged.encode())
    latin = (f"tree {tree}\nparent {notable['mergetag']}\n".encode()
             + b"author J\xf6rg <j@example.com> 1700000002 +0000\ncommitter J\xf6rg <j@example.com> 1700000003 +0000\n"
             + b"encoding ISO-8859-1\n\nGr\xfc\xdfe \xff\n")
    notable["latin"] = git(path, "hash-object", "-t", "commit", "-w", "--stdin", input=latin)
    no_blank = f"tree {tree}\nparent {notable['latin']}\n{people}".encode()
    notable["no_blank"] = git(path, "hash-object", "-t", "commit", "-w", "--literally", "--stdin", input=no_blank)
    git(path, "update-ref", "refs/heads/main", notable["latin"])
    git(path, "update-ref", "refs/heads/odd", notable["no_blank"])
    git(path, "tag", "-a", "-m", "an annotated tag", "v1", "main")
    return notable


# --- commit-graph files written by hand ---------------------------------------------------------------------


def commit_facts(path: Path) -> dict[str, tuple[str, list[str], int]]:
    """Every commit of a repository as dulwich reads it: id -> (tree, parents, commit time)."""
    repo = Repo(str(path))
    try:
        facts = {}
        for hexid in all_object_ids(path):
            obj = repo[hexid.encode()]
            if obj.type_num == 1:
                facts[hexid] = (obj.tree.decode(), [parent.decode() for parent in obj.parents], obj.commit_time)
        return facts
    finally:
        repo.close()


def graph_layer(commits: list[str], facts: dict, position: dict, bases: list[bytes], first: int,
                object_format: str = "sha1") -> bytes:
    """One commit-graph file: `commits` (sorted here) at positions from `first`; each parent is found
    through `position(child, parent)`, the global position its row names. Its ids, hash version and
    checksum are those of `object_format`."""
    ordered = sorted(commits)
    levels: dict[str, int] = {}

    def level(hexid: str) -> int:
        if hexid not in levels:
            levels[hexid] = 1 + max((level(parent) for parent in facts[hexid][1]), default=0)
        return levels[hexid]

    fanout = b"".join(struct.pack(">I", sum(1 for c in ordered if int(c[:2], 16) <= byte)) for byte in range(256))
    ids = b"".join(bytes.fromhex(c) for c in ordered)
    rows, edges = [], []
    for hexid in ordered:
        tree, parents, when = facts[hexid]
        words = [position(hexid, parent) for parent in parents] or [0x70000000]
        second = 0x70000000
        if len(parents) == 2:
            second = words[1]
        elif len(parents) > 2:
            second = 0x80000000 | len(edges)
            edges.extend(words[1:-1] + [0x80000000 | words[-1]])
        when = min(max(when or 0, 0), (1 << 34) - 1)  # a time git could not store becomes 0 or its largest
        rows.append(bytes.fromhex(tree) + struct.pack(">IIII", words[0], second,
                                                      (min(level(hexid), 0x3FFFFFFF) << 2) | (when >> 32),
                                                      when & 0xFFFFFFFF))
    return sealed_graph(fanout, ids, b"".join(rows), edges or None, bases, object_format)


def sealed_graph(fanout: bytes, ids: bytes, rows: bytes, edges: list[int] | None, bases: list[bytes],
                 object_format: str) -> bytes:
    """A commit-graph file of these chunks (an EDGE chunk where `edges` is not None, a BASE chunk naming
    `bases`), with its header, chunk table and checksum."""
    chunks = [(b"OIDF", fanout), (b"OIDL", ids), (b"CDAT", rows)]
    if edges is not None:
        chunks.append((b"EDGE", b"".join(struct.pack(">I", word) for word in edges)))
    if bases:
        chunks.append((b"BASE", b"".join(bases)))
    offset = 8 + 12 * (len(chunks) + 1)
    table = b""
    for name, data in chunks:
        table += name + struct.pack(">Q", offset)
        offset += len(data)
    table += b"\0\0\0\0" + struct.pack(">Q", offset)
    body = (b"CGPH" + bytes([1, FORMAT_NUMBERS[object_format], len(chunks), len(bases)]) + table
            + b"".join(data for _, data in chunks))
    return body + checksum(body, object_format)


_graph_stamps = iter(range(1, 1 << 62))


def write_graph_chain(path: Path, layers: list[list[str]], facts: dict, *, copy_for=None,
                      object_format: str = "sha1") -> None:
    """A split commit-graph of `layers` (base first; a commit may be in more than one). A parent's row
    is named where `copy_for(child, parent, layer_indexes)` says (by default its lowest copy). Every
    file gets a modification time of its own: the store keeps what it learnt of a file under its
    identity, which a file written anew in the same place must not share."""
    info = path / ".git" / "objects" / "info"
    (info / "commit-graph").unlink(missing_ok=True)
    chain_dir = info / "commit-graphs"
    chain_dir.mkdir(parents=True, exist_ok=True)
    for old in chain_dir.iterdir():
        old.unlink()
    places: dict[str, dict[int, int]] = {}  # id -> {layer: global position}
    first, checksums = 0, []
    for k, commits in enumerate(layers):
        for index, hexid in enumerate(sorted(commits)):
            places.setdefault(hexid, {})[k] = first + index

        def position(child: str, parent: str, k: int = k) -> int:
            held = sorted(layer for layer in places[parent] if layer <= k)
            chosen = copy_for(child, parent, held) if copy_for else held[0]
            return places[parent][chosen]

        data = graph_layer(commits, facts, position, checksums, first, object_format)
        checksums.append(data[-ID_SIZES[object_format]:])
        _stamped(chain_dir / f"graph-{checksums[-1].hex()}.graph", data)
        first += len(commits)
    _stamped(chain_dir / "commit-graph-chain", "".join(f"{c.hex()}\n" for c in checksums).encode())


def _stamped(target: Path, data: bytes) -> None:
    target.write_bytes(data)
    stamp = 1_000_000_000_000_000_000 + next(_graph_stamps) * 1_000_003
    os.utime(target, ns=(stamp, stamp))


def commit_shapes(tree: str, parent: str) -> dict[str, bytes]:
    """Commits over `parent` in shapes dulwich reads besides git's usual one, by name."""
    head = b"tree %s\nparent %s\n" % (tree.encode(), parent.encode())
    author = b"author Ann <ann@example.com> 1700000000 +0100\n"
    committer = b"committer Carl <carl@example.com> 1700000001 -0230\n"

    def at(line: bytes, time: bytes) -> bytes:
        person, rest = line.split(b"> ", 1)
        return person + b"> " + time + b" " + rest.split(b" ", 1)[1]

    return {
        "committer first": head + committer + author + b"\ncommitter first\n",
        "carriage return after the zone": head + author[:-1] + b"\r\n" + committer[:-1] + b"\r\n" + b"\nzones\n",
        "negative time": head + at(author, b"-1700000000") + at(committer, b"-1") + b"\nbefore 1970\n",
        "no committer": head + author + b"\nno committer\n",
        "no blank line": head + author + committer + b"summary without a blank line\n",
        "encoding first": head + author + b"encoding ISO-8859-1\n" + committer + b"\nGr\xfc\xdfe\n",
        "second author": head + author + b"author Bob <bob@example.com> soon +0000\n" + committer + b"\ntwo authors\n",
        "twenty-digit time": head + author + at(committer, b"12345678901234567890") + b"\nfar future\n",
        "plus time": head + at(author, b"+1700000000") + at(committer, b"+1_700_000_001") + b"\nplus\n",
        "continued author": head + b"author Ann\n <ann@example.com> 1700000000\n  +0100\n" + committer + b"\nfolded\n",
    }


def dulwich_fields(commit) -> tuple:
    """A dulwich commit's fields as the probe's parse_commit gives them (a time beyond 64 bits as "overflows")."""
    time = commit.commit_time
    if time is not None and not -(1 << 63) <= time < 1 << 63:
        time = "overflows"
    return commit.tree, list(commit.parents), commit.author, time, commit.message
