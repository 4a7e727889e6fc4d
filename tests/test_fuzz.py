"""Fuzzing with Hypothesis.

Arbitrary text (NUL, "|", "->", CR, whitespace outside ASCII, digits of other
scripts, lone surrogates) reaches every parser through a replaced
subprocess.run, and each answer is compared with a plain-Python reading of the
same rules. Arbitrary objects reach every parameter of every method, and
services in arbitrary states answer every method: the argument errors are
exactly the stated ones, and nothing else crashes, leaks an internal error or
answers out of shape.

`make test` runs a bounded number of examples; `make fuzz` selects the long
profile (HYPOTHESIS_PROFILE=fuzz)."""

import contextlib
import os
import pathlib
import re
import subprocess
import types

import git_service_cython as gsc
import profiles
import pytest
from git_service_cython import BranchInfo, FileStatus, GitServiceCython, StashInfo, TagInfo
from hardening_helpers import (
    GIT_ENV,
    INTERNAL_ERROR_TEXTS,
    REFS_KEYS,
    complaint,
    init_repo,
    listing_key,
    reference_compile,
    reference_is_path_ignored,
)
from hypothesis import example, given
from hypothesis import strategies as st
from public_methods import METHODS, Samples, sample_call

FUZZ = profiles.examples(ci=150, fuzz=2_000)

# NotImplemented is among the objects drawn; its truth value is deprecated.
pytestmark = pytest.mark.filterwarnings("ignore:NotImplemented should not be used in a boolean context")


# --- the repository every example reads ------------------------------------------------------------------


class Fixed:
    """A small repository with a merge, tags, a remote-tracking branch and an
    option-like branch name, and what the library says of it; its ids SHA-256
    ones when `object_format` is "sha256"."""

    def __init__(self, path, object_format=None):
        repo = init_repo(path, object_format=object_format)
        self.long_ids = object_format == "sha256"
        self.first = repo.commit("first", files={"a.txt": "a\n"})
        self.second = repo.commit("second", files={"a.txt": "b\n"})
        repo.git("checkout", "-q", "-b", "side", self.first)
        self.side = repo.commit("side", files={"s.txt": "s\n"})
        repo.git("checkout", "-q", "main")
        repo.git("merge", "-q", "--no-ff", "-m", "merge", "side", env={"GIT_AUTHOR_DATE": "1700009000 +0000",
                                                                       "GIT_COMMITTER_DATE": "1700009000 +0000"})
        self.merge = repo.head()
        repo.git("checkout", "-q", "-b", "feature")
        self.feature = repo.commit("feature", files={"f.txt": "f\n"})
        repo.git("checkout", "-q", "main")
        repo.git("update-ref", "refs/heads/-dash", self.feature)
        repo.git("update-ref", "refs/remotes/origin/main", self.second)
        repo.git("tag", "light", self.first)
        repo.git("tag", "-a", "annotated", "-m", "a tag", self.second)
        repo.write("a.txt", "changed\n")
        repo.write("new.txt", "new\n")
        self.repo = repo
        self.path = str(path)
        self.service = GitServiceCython(self.path)
        self.ids = [self.first, self.second, self.side, self.merge, self.feature]

        from dulwich.repo import Repo

        self.library = Repo(self.path)
        # What the library fallbacks give, with git missing.
        with replaced_run(lambda args, **kwargs: raise_(FileNotFoundError(2, "No such file", "git"))):
            self.scan = self.service.get_file_status()
            self.walk_counts = {b: self.service.count_commits(b) for b in ("main", "feature", "side", "-dash")}
            self.walk_merge_bases = {b: self.service.get_merge_base(b) for b in ("feature", "side", "-dash")}

    def refs_fallback(self, prefix, name_of):
        records = []
        for key in self.library.refs.keys():  # noqa: SIM118 - the container's own enumeration
            if key.startswith(prefix):
                name = name_of(key.decode(errors="replace"))
                if name is not None:
                    records.append(BranchInfo(name=name, head_sha=self.library.refs[key].decode("ascii"),
                                              timestamp=0))
        return records

    def head_id(self):
        return self.library.refs[b"HEAD"].decode("ascii").lower()

    def merge_parents_of(self, text):
        """The merge check of the decorations: parents of a merge commit named by `text`, else None."""
        try:
            commit = self.library[bytes.fromhex(text)]
            if len(commit.parents) > 1:
                return [parent.decode("ascii") for parent in commit.parents]
        except Exception:  # noqa: BLE001, S110 - the module ignores whatever this lookup raises
            pass
        return None


def raise_(error):
    raise error


@pytest.fixture(scope="module")
def fixed(request, tmp_path_factory):
    """The repository; a test parametrized with "sha256" (indirectly) gets one in that object format."""
    object_format = getattr(request, "param", None)
    with pytest.MonkeyPatch.context() as patch:
        for key, value in GIT_ENV.items():
            patch.setenv(key, value)
        yield Fixed(tmp_path_factory.mktemp("fuzz") / "repo", object_format)


# The properties whose rules read ids in the repository's object format run on both.
both_formats = pytest.mark.parametrize("fixed", [None, "sha256"], indirect=True)


@contextlib.contextmanager
def replaced_run(run):
    real = subprocess.run
    subprocess.run = run
    try:
        yield
    finally:
        subprocess.run = real


class Git:
    """Stands in for subprocess.run: answers each command from `answers`, a
    list of (argument prefix, answer) pairs, where an answer is an exception to
    raise or (stdout, returncode) or (stdout, returncode, stderr). Checks the
    arguments as the real function would, and records the commands."""

    def __init__(self, answers, default=("", 1)):
        self.answers = answers
        self.default = default
        self.commands = []
        self.cwds = []

    def __call__(self, args, **kwargs):
        if any(not isinstance(arg, str) for arg in args):
            raise TypeError("expected str, bytes or os.PathLike object")
        self.commands.append(list(args))
        self.cwds.append(os.getcwd())
        answer = self.default
        for prefix, candidate in self.answers:
            if tuple(args[: len(prefix)]) == tuple(prefix):
                answer = candidate
                break
        if isinstance(answer, BaseException):
            raise answer
        stdout, returncode, *rest = answer
        if kwargs.get("text") is False and isinstance(stdout, str):
            stdout = stdout.encode("utf-8", "surrogateescape")
        return types.SimpleNamespace(returncode=returncode, stdout=stdout, stderr=rest[0] if rest else "")


def run_answer(answer):
    """The reference's view of one run: (stdout, returncode, stderr), or the exception raised."""
    if isinstance(answer, BaseException):
        raise answer
    stdout, returncode, *rest = answer
    return stdout, returncode, rest[0] if rest else ""


# --- text that git could print, and text it never would --------------------------------------------------

ODD = ["|", "->", " -> ", "\x00", "\r", "\n", "\t", " ", "\x1c", "\x1d", "\x1e", "\x1f", "\x85", "\xa0", "\u2028",
       "\u3000", "\ufeff", "\ud800", "\udcff", "²", "٣", "１", "①", "İ", "ẞ", "K", ":", ",", "HEAD", "HEAD -> ",
       "tag: ", "TAG:", "/", "origin/", "refs/", "stash@{", "}", "On ", "WIP on ", "O ", "-----BEGIN PGP", "diff --git",
       "?", "??", "M", "A", "D", "R", "C", "U", "-", "0", "9", "1700000000"]
piece = st.one_of(st.sampled_from(ODD), st.text(max_size=6), st.from_regex(r"[0-9a-f]{1,40}", fullmatch=True))
text = st.lists(piece, max_size=12).map("".join)
failure = st.sampled_from([subprocess.TimeoutExpired(["git"], 5), FileNotFoundError(2, "No such file", "git"),
                           UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"), OSError(7, "E2BIG")])


def mostly(common, rare, odds=5):
    """`common`, and one time in `odds` `rare`."""
    return st.integers(1, odds).flatmap(lambda i: rare if i == odds else common)


def answer(stdout=text):
    """A run's answer: mostly its output and exit status, sometimes an exception."""
    return mostly(st.tuples(stdout, st.sampled_from([0, 0, 0, 1, 128])), failure)


def lines_of(field, separator="|", fields=6):
    line = st.lists(field, max_size=fields).map(separator.join)
    return st.tuples(st.lists(line, max_size=8), st.sampled_from(["\n", "\r\n", "\n\n"]), text, text).map(
        lambda parts: parts[2] + parts[1].join(parts[0]) + parts[3])


# --- branch listings -------------------------------------------------------------------------------------


def reference_branch_listing(fixed, prefix, listed, current, local):
    records = []
    try:
        stdout, returncode, _ = run_answer(listed)
        if returncode == 0:
            lines = stdout.strip().split("\n")
            for line in lines:
                if not line or "|" not in line:
                    continue
                parts = line.split("|")
                timestamp = parts[2].strip() if len(parts) >= 3 else ""
                records.append(BranchInfo(name=parts[0].strip(),
                                          head_sha=parts[1].strip() if len(parts) >= 2 else "",
                                          timestamp=int(timestamp) if timestamp.isdigit() else 0))
    except Exception:  # noqa: BLE001 - the listing falls back on any exception
        if local:
            records += fixed.refs_fallback(b"refs/heads/", lambda name: name[len("refs/heads/"):])
        else:
            records += fixed.refs_fallback(
                b"refs/remotes/", lambda name: name[name.rfind("/remotes/") + 9:] if "/remotes/" in name else None)
    if local and not records:
        try:
            stdout, returncode, _ = run_answer(current)
            name = stdout.strip() if returncode == 0 else ""
            if name and name != "HEAD":
                records.append(BranchInfo(name=name, head_sha="", timestamp=0))
        except Exception:  # noqa: BLE001, S110 - the current-branch step ignores failures
            pass
    return sorted(records, key=listing_key)


branch_field = st.one_of(piece, st.from_regex(r"\s*[0-9]{1,12}\s*", fullmatch=True), text)


@FUZZ
@given(listed=answer(lines_of(branch_field)), current=answer(), local=st.booleans())
@example(listed=("main|abc|12\n|x|\n²|y|²", 0), current=("", 1), local=True)
@example(listed=("a|b|1\x1c\nb|c|\u2028 2 \u3000", 0), current=("", 1), local=False)
@example(listed=("", 1), current=("HEAD\n", 0), local=True)
@example(listed=("", 0), current=(" \u3000main\x1c\n", 0), local=True)
def test_branch_listings_read_lines_as_stated(fixed, listed, current, local):
    pattern = "refs/heads/" if local else "refs/remotes/"
    git = Git([(("git", "for-each-ref", pattern), listed), (("git", "symbolic-ref"), current)])
    with replaced_run(git):
        result = fixed.service.list_branches() if local else fixed.service.list_remote_branches()
    assert result == reference_branch_listing(fixed, pattern, listed, current, local)
    assert [listing_key(r) for r in result] == sorted(listing_key(r) for r in result)


# --- tags ------------------------------------------------------------------------------------------------


def reference_message_from_tag_object(stdout):
    in_message, kept = False, []
    for line in stdout.split("\n"):
        if line.startswith("-----BEGIN PGP"):
            break
        if in_message:
            kept.append(line)
        elif line == "":
            in_message = True
    return "\n".join(kept).strip() if kept else ""


def reference_tags(listed, bodies, names):
    records = []
    try:
        stdout, returncode, _ = run_answer(listed)
        if returncode == 0:
            decoded = stdout.decode("utf-8", errors="replace").strip()
            for line in decoded.split("\n") if decoded else []:
                if not line or "|" not in line:
                    continue
                try:
                    parts = line.split("|")
                    name = parts[0].strip()
                    if not name:
                        continue
                    field = [parts[i].strip() if len(parts) > i else "" for i in range(5)]
                    is_annotated = field[4] == "tag"
                    timestamp = int(field[2]) if field[2] and field[2].isdigit() else 0
                    message = field[3]
                    if is_annotated and not message.strip():
                        try:
                            # A name beginning with "-" never reaches git: as a failed run.
                            body = ("", 1) if name.startswith("-") else bodies.get(name, ("", 1))
                            out, code, _ = run_answer(body)
                            if code == 0:
                                message = reference_message_from_tag_object(out)
                        except Exception:  # noqa: BLE001, S110 - the message stays empty
                            pass
                    records.append(TagInfo(name=name, message=message, timestamp=timestamp, sha=field[1],
                                           is_annotated=is_annotated))
                except Exception:  # noqa: BLE001, S112 - a line that cannot be read is dropped
                    continue
    except Exception:  # noqa: BLE001 - the name-only fallback
        try:
            stdout, returncode, _ = run_answer(names)
            if returncode == 0:
                for part in stdout.strip().split("\n"):
                    if part.strip():
                        records.append(TagInfo(name=part.strip(), message="", timestamp=0, sha="",
                                               is_annotated=False))
        except Exception:  # noqa: BLE001, S110
            pass
    return sorted(records, key=listing_key)


tag_name = st.one_of(st.sampled_from(["v1", "-x", "--output=f", " v2 ", "İx", "a|b"]), piece)
tag_line = st.tuples(tag_name, piece, branch_field, text, st.sampled_from(["tag", "commit", " tag ", "", "Tag"]),
                     st.lists(piece, max_size=2)).map(lambda f: "|".join([*f[:5], *f[5]]))
tag_output = st.one_of(
    st.tuples(st.lists(tag_line, max_size=8), text).map(lambda p: "\n".join(p[0]) + p[1]),
    lines_of(piece)).flatmap(
    lambda s: st.one_of(st.just(s.encode("utf-8", "surrogatepass")),
                        st.binary(max_size=8).map(lambda b: s.encode("utf-8", "surrogatepass") + b)))
tag_body = st.lists(st.one_of(st.just(""), st.sampled_from(["-----BEGIN PGP SIGNATURE-----", "-----BEGIN SSH"]),
                              piece, text), max_size=8).map("\n".join)


@FUZZ
@given(listed=st.one_of(st.tuples(tag_output, st.sampled_from([0, 0, 1])), failure),
       bodies=st.dictionaries(tag_name.map(str.strip), answer(tag_body), max_size=4), names=answer())
@example(listed=(b"v1|abc|5||tag\n-x|abc|5||tag", 0), bodies={"v1": ("object x\n\nbody\n\n-----BEGIN PGP", 0)},
         names=("", 1))
@example(listed=(b"a|s|\xc2\xb2|m|tag\nb|s|\xd9\xa3|m|commit", 0), bodies={}, names=("", 1))
@example(listed=(b"v|s|1|\tsubject\xe3\x80\x80|commit\nw|s|1|\xe2\x80\xa8|tag", 0),
         bodies={"w": ("tag w\n\n\x1cbody\n-----BEGIN SSH SIGNATURE-----\nx\n-----BEGIN PGP", 0)}, names=("", 1))
def test_tag_listing_reads_lines_and_bodies_as_stated(fixed, listed, bodies, names):
    answers = [(("git", "cat-file", "tag", name), body) for name, body in bodies.items()]
    answers += [(("git", "for-each-ref", "refs/tags/"), listed), (("git", "tag", "-l"), names)]
    git = Git(answers)
    with replaced_run(git):
        result = fixed.service.list_tags()
    assert result == reference_tags(listed, bodies, names)
    assert not any(arg.startswith("-") for command in git.commands for arg in command[3:4] if "cat-file" in command)


# --- file status -----------------------------------------------------------------------------------------


C_ESCAPES = {"a": 7, "b": 8, "t": 9, "n": 10, "v": 11, "f": 12, "r": 13, '"': 34, "\\": 92}


def unquoted(printed):
    """A path git printed C-quoted, decoded as file names are; any other text as it stands."""
    if len(printed) < 2 or printed[0] != '"' or printed[-1] != '"':
        return printed
    spelled, inner, i = bytearray(), printed[1:-1], 0
    while i < len(inner):
        if inner[i] == '"' or (inner[i] == "\\" and i + 1 == len(inner)):
            return printed
        if inner[i] != "\\":
            spelled += inner[i].encode("utf-8", "surrogatepass")
            i += 1
        elif inner[i + 1] in C_ESCAPES:
            spelled.append(C_ESCAPES[inner[i + 1]])
            i += 2
        elif re.fullmatch("[0-3][0-7]{2}", inner[i + 1:i + 4]):
            spelled.append(int(inner[i + 1:i + 4], 8))
            i += 4
        else:
            return printed
    return os.fsdecode(bytes(spelled))


def split_outside_quotes(text, separator=" -> "):
    pieces, start, quoted, i = [], 0, False, 0
    while i < len(text):
        if quoted and text[i] == "\\":
            i += 2
            continue
        if text[i] == '"':
            quoted = not quoted
        elif not quoted and text.startswith(separator, i):
            pieces.append(text[start:i])
            start = i = i + len(separator)
            continue
        i += 1
    return [*pieces, text[start:]]


def reference_file_status(fixed, status, staged):
    try:
        stdout, returncode, _ = run_answer(status)
    except Exception:  # noqa: BLE001 - the scan answers instead
        return fixed.scan
    if returncode != 0:
        return None
    staged_set = set()
    try:
        out, code, _ = run_answer(staged)
        if code == 0 and out.strip():
            staged_set = {unquoted(piece) for piece in out.strip().split("\n")}
    except Exception:  # noqa: BLE001, S110
        pass
    records = []
    text_ = stdout.strip()
    for line in text_.split("\n") if text_ else []:
        if not line.strip() or len(line) < 3:
            continue
        if line[0] == "?" and line[1] == "?":
            code_ = "??"
            path = line[3:] if len(line) >= 4 and line[2] == " " else line[2:]
        else:
            code_ = line[:2]
            path = line[3:] if line[2] == " " else line[2:]
        path = path.strip()
        sides = split_outside_quotes(path)
        path = unquoted(sides[1] if len(sides) > 1 else sides[0])
        x, y = code_
        is_staged = x not in (" ", "?")
        if x == "?" and y == "?":
            is_staged, unstaged = False, True
        else:
            unstaged = y not in (" ", "?")
            if is_staged and path not in staged_set:
                is_staged, unstaged = False, True
        if "D" in (x, y):
            state = "deleted"
        elif x == "?" and y == "?":
            state = "untracked"
        else:
            state = {"A": "staged", "R": "renamed", "C": "copied"}.get(x, "modified")
        records.append(FileStatus(path=path, status=state, staged=is_staged, unstaged=unstaged))
    return sorted(records, key=lambda record: record.path)


# Paths as git quotes them, well-formed or not.
quotable = st.one_of(text, st.lists(st.one_of(piece, st.sampled_from(
    ['"', "\\", '\\"', "\\t", "\\303", "\\251", "\\777", "\\3", " -> "])), max_size=8).map(
    lambda parts: '"' + "".join(parts) + '"'))
porcelain_line = st.tuples(st.sampled_from(list(" MADRCU?!T") + ["x", "\x85", "\u3000"]),
                           st.sampled_from(list(" MADRCU?!T") + ["\t"]), st.sampled_from([" ", "", "  "]),
                           quotable, st.sampled_from(["", " -> ", " -> x -> "]), quotable).map("".join)
porcelain = st.tuples(st.lists(st.one_of(porcelain_line, piece), max_size=10), text).map(
    lambda p: "\n".join(p[0]) + p[1])


@FUZZ
@given(status=answer(porcelain), staged=answer(st.lists(st.one_of(quotable, piece), max_size=6).map("\n".join)))
@example(status=(" M a.txt\n?? b.txt\nMM c.txt", 0), staged=("c.txt", 0))
@example(status=("R  old -> new\n?? \x85x\nUU both\n A\r", 0), staged=("new\nboth\r", 0))
@example(status=('R  "a -> b" -> "c\\303\\251 -> d"\nM  "q\\"\\tx"', 0), staged=('"c\\303\\251 -> d"\nq"\tx', 0))
def test_porcelain_status_and_staged_list_read_as_stated(fixed, status, staged):
    git = Git([(("git", "status"), status), (("git", "diff", "--cached"), staged)])
    with replaced_run(git):
        result = fixed.service.get_file_status()
    assert result == reference_file_status(fixed, status, staged)


# --- stashes ---------------------------------------------------------------------------------------------

STASH_LINE = re.compile(r"stash@\{(\d+)\}:\s*(.+)")
STASH_DESCRIPTION = re.compile(r"(?:On |O |WIP on )?([^:]+?):\s*(.+)")


def reference_stashes(listed, current, times):
    records = []
    try:
        stdout, returncode, _ = run_answer(listed)
        if returncode != 0 or not stdout.strip():
            return []
        for line in stdout.strip().split("\n"):
            if not line.strip():
                continue
            match = STASH_LINE.match(line)
            if not match:
                continue
            index = int(match.group(1))
            description = match.group(2).strip()
            branch, message = "unknown", description
            described = STASH_DESCRIPTION.match(description)
            if described:
                branch, message = described.group(1).strip(), described.group(2).strip()
            else:
                try:
                    out, code, _ = run_answer(current)
                    branch = out.strip() if code == 0 else "unknown"
                except Exception:  # noqa: BLE001
                    branch = "unknown"
            timestamp = 0
            try:
                out, code, _ = run_answer(times.get(f"stash@{{{index}}}", ("", 1)))
                if code == 0 and out.strip() and out.strip().isdigit():
                    timestamp = int(out.strip())
            except Exception:  # noqa: BLE001, S110
                pass
            records.append(StashInfo(index=index, branch=branch, message=message, name=description, sha="",
                                     timestamp=timestamp))
    except Exception:  # noqa: BLE001, S110 - the stashes read so far are kept
        pass
    return records


stash_line = st.tuples(st.sampled_from(["stash@{", "stash@{ ", "x stash@{"]),
                       st.one_of(st.from_regex(r"[0-9]{1,3}", fullmatch=True), st.sampled_from(["٣", "²", "-1", ""])),
                       st.sampled_from(["}:", "}: ", "}:\t", "}"]),
                       st.sampled_from(["On ", "WIP on ", "O ", "", "on "]), text,
                       st.sampled_from([": ", ":", "", " : "]), text).map("".join)


@FUZZ
@given(listed=answer(st.tuples(st.lists(st.one_of(stash_line, piece), max_size=6), text).map(
           lambda p: "\n".join(p[0]) + p[1])),
       current=answer(), times=st.dictionaries(st.from_regex(r"stash@\{[0-9]\}", fullmatch=True),
                                               answer(st.one_of(text, branch_field)), max_size=3))
@example(listed=("stash@{0}: On main: x\nstash@{٣}: no colon\nstash@{1}:  \n", 0), current=("HEAD\n", 0),
         times={"stash@{0}": (" 12 ", 0), "stash@{3}": ("²", 0)})
@example(listed=("stash@{0}: On  main\u3000: x\nstash@{1}:WIP on a:b: c", 0), current=("", 1), times={})
def test_stash_list_reads_lines_as_stated(fixed, listed, current, times):
    answers = [(("git", "show", "-s", "--format=%at", name), time) for name, time in times.items()]
    answers += [(("git", "stash", "list"), listed), (("git", "rev-parse", "--abbrev-ref", "HEAD"), current)]
    with replaced_run(Git(answers)):
        result = fixed.service.list_stashes()
    assert result == reference_stashes(listed, current, times)


@FUZZ
@given(index=st.integers(-(2**31), 2**31 - 1), stat=answer(), patch=answer())
def test_stash_diff_gives_both_texts_as_stated(fixed, index, stat, patch):
    reference = f"stash@{{{index}}}"
    git = Git([(("git", "stash", "show", reference, "--stat"), stat), (("git", "stash", "show", reference, "-p"), patch)])
    with replaced_run(git):
        result = fixed.service.get_stash_diff(index)
    expected = ["", ""]
    if index < 100_000_000:  # larger numbers are read by git as times, not stashes
        try:
            out, code, _ = run_answer(stat)
            expected[1] = out.strip() if code == 0 else ""
            out, code, _ = run_answer(patch)
            expected[0] = out.strip() if code == 0 else ""
        except Exception:  # noqa: BLE001, S110
            pass
    assert result == tuple(expected)


# --- decorations -----------------------------------------------------------------------------------------


def new_refs():
    return {"branches": [], "remote_branches": [], "tags": [], "is_head": False, "is_merge": False,
            "merge_parents": []}


def reference_decorations(fixed, branch, commit_shas, logged):
    if not commit_shas:
        return {}
    result = {}
    for sha in commit_shas:
        result[sha] = new_refs()
    try:
        if branch is None:
            raise TypeError("None cannot go on a command line")
        if branch.startswith("-"):
            return result
        stdout, returncode, _ = run_answer(logged)
        if returncode != 0:
            return result
        lookup = {}
        for key, entry in result.items():
            lookup.setdefault(key.lower(), entry)
        head = fixed.head_id()
        for line in stdout.strip().split("\n"):
            if not line:
                continue
            fields = line.split("\x00")
            if len(fields) < 3:
                continue
            commit_id, decorations, parents = fields[0].strip().lower(), fields[1].strip(), fields[2].strip()
            if commit_id not in lookup:
                continue
            entry = lookup[commit_id]
            if commit_id == head:
                entry["is_head"] = True
            for part in decorations.split(","):
                part = part.strip()
                if not part:
                    continue
                if part == "HEAD" or part.startswith("HEAD ->"):
                    entry["is_head"] = True
                if "HEAD ->" in part:
                    names, name = entry["branches"], part.split("->")[-1].strip()
                elif part.startswith("tag: "):
                    names, name = entry["tags"], part.replace("tag: ", "").strip()
                elif "tag:" in part.lower():
                    halves = part.split(":", 1)
                    names, name = entry["tags"], halves[1].strip() if len(halves) == 2 else ""
                elif "/" in part and not part.startswith("tag:"):
                    names, name = entry["remote_branches"], part
                elif not part.startswith("HEAD"):
                    names, name = entry["branches"], part
                else:
                    continue
                if name and name not in names:
                    names.append(name)
            if parents:
                ids = [p.strip() for p in parents.split() if p.strip()]
                if len(ids) > 1:
                    entry["is_merge"], entry["merge_parents"] = True, ids
            merge_parents = fixed.merge_parents_of(commit_id)
            if merge_parents is not None:
                entry["is_merge"] = True
                if not entry["merge_parents"]:
                    entry["merge_parents"] = merge_parents
    except Exception:  # noqa: BLE001, S110 - the result as it stands
        pass
    return result


decoration = st.lists(st.one_of(st.sampled_from(["HEAD -> main", "HEAD", "origin/HEAD", "fix-HEAD-parsing",
                                                 "HEADLINE", "tag: HEAD", "tag: v1", "tag: tag: x",
                                                 "Tag: y", "feature/x", "main", "HEAD->x", " -> ", "tag:", "TAG:z",
                                                 "main", "origin/main", "tag: v1", "HEAD -> a -> b"]),
                                piece), max_size=5).map(", ".join)


@st.composite
def log_and_ids(draw, fixed):
    """The ids a caller asks about (mostly real ones, in any case) and git's log output naming them."""
    real = st.sampled_from(fixed.ids)
    chosen = draw(mostly(st.lists(st.one_of(real, real, real.map(str.upper), real.map(lambda i: i[:20]), piece, text),
                                  min_size=1, max_size=6), st.just([]), odds=10))
    named = st.sampled_from(chosen) if chosen else real
    parents = st.one_of(st.lists(real, max_size=3).map(" ".join), text)
    line = st.tuples(st.one_of(named, named, named.map(lambda i: f" {i.upper()} "), real, piece), decoration,
                     parents, text, st.lists(piece, max_size=2)).map(lambda f: "\x00".join([*f[:4], *f[4]]))
    output = draw(st.tuples(st.lists(st.one_of(line, line, line, piece), min_size=1, max_size=8),
                            st.sampled_from(["", "\n", " \n\n"])).map(lambda p: "\n".join(p[0]) + p[1]))
    logged = draw(answer(st.just(output)))
    return chosen, logged


@both_formats
@FUZZ
@given(data=st.data(), branch=st.one_of(st.sampled_from(["main", "-dash", "--output=x", None]), piece))
def test_decorations_read_lines_as_stated(fixed, data, branch):
    commit_shas, logged = data.draw(log_and_ids(fixed))
    git = Git([(("git", "log"), logged)])
    before = os.getcwd()
    with replaced_run(git):
        result = fixed.service.get_commit_refs_from_git_log(branch, commit_shas)
    assert os.getcwd() == before
    assert all(cwd == str(pathlib.Path(fixed.path).resolve()) for cwd in git.cwds)
    assert result == reference_decorations(fixed, branch, commit_shas, logged)
    assert all(list(entry) == REFS_KEYS for entry in result.values())


@both_formats
def test_decoration_rules_on_chosen_lines(fixed):
    head, second, side = fixed.merge, fixed.second, fixed.side
    lines = [
        # HEAD's own commit is marked even though git leaves HEAD out of the field.
        (head.upper(), "main, tag: v1", f"{second} {side}"),
        (second, "HEAD -> a -> b, origin/HEAD, tag: tag: x, Tag: y, feature/x, HEAD", ""),
        (side, "TAG:z, tag:, ,main,main", "x"),
    ]
    output = "\n".join("\x00".join([*line, "subject"]) for line in lines)
    shas = [head.upper(), second, side, second.upper(), "0" * 40]
    with replaced_run(Git([(("git", "log"), (output, 0))])):
        result = fixed.service.get_commit_refs_from_git_log("main", shas)
    assert result == reference_decorations(fixed, "main", shas, (output, 0))
    assert result[head.upper()]["is_head"] is True and result[head.upper()]["is_merge"] is True
    assert result[second]["branches"] == ["b"]


# --- commit diff -----------------------------------------------------------------------------------------


def reference_commit_diff(sha_hex, shown, long_ids=False):
    """`long_ids`: the repository is a SHA-256 one, whose whole ids have 64 digits."""
    commit_id = str(sha_hex).strip()

    def whole(length):
        return len(commit_id) == length and all(c in "0123456789abcdefABCDEF" for c in commit_id)

    if not (whole(40) or (long_ids and whole(64))):
        match = (long_ids and re.search("[0-9a-fA-F]{64}", commit_id)) or re.search("[0-9a-fA-F]{40}", commit_id)
        if not match:
            return "Error: Invalid SHA format: " + commit_id[:20] + "...\n"
        commit_id = match.group(0)
    commit_id = commit_id.lower()
    try:
        stdout, returncode, stderr = run_answer(shown)
        if returncode == 0:
            at = stdout.find("diff --git")
            return stdout[at:] if at != -1 else stdout
        detail = stderr.strip() if stderr else "Unknown error"
        return f"Error: Could not get diff for commit {commit_id[:8]}. git show failed: {detail[:100]}\n"
    except subprocess.TimeoutExpired:
        return f"Error: Timeout getting diff for commit {commit_id[:8]}\n"
    except Exception as error:  # noqa: BLE001
        return f"Error: Could not get diff for commit {commit_id[:8]}. Exception: {type(error).__name__}\n"


@both_formats
@FUZZ
@given(sha_hex=st.one_of(st.none(), text, st.from_regex(r"\s*[0-9a-fA-F]{38,130}\s*", fullmatch=True),
                         st.tuples(text, st.from_regex(r"[0-9a-fA-F]{40}", fullmatch=True), text).map("".join),
                         st.tuples(text, st.from_regex(r"[0-9a-fA-F]{40}", fullmatch=True), text,
                                   st.from_regex(r"[0-9a-fA-F]{64}", fullmatch=True), text).map("".join)),
       shown=st.one_of(st.tuples(text, st.sampled_from([0, 1, 128]), text), failure))
@example(sha_hex="\u3000" + "A" * 40 + "\x1c", shown=("x\ndiff --git a b", 0, ""))
@example(sha_hex="a" * 40, shown=("", 128, " \u2028 "))
@example(sha_hex="b" * 40 + " then " + "C" * 64 + "d" * 70, shown=("", 1, "no"))
@example(sha_hex="\u3000" + "A" * 64 + "\x1c", shown=("diff --git a b", 0, ""))
def test_commit_diff_as_stated(fixed, sha_hex, shown):
    git = Git([(("git", "show"), shown)])
    with replaced_run(git):
        result = fixed.service.get_commit_diff(sha_hex)
    assert result == reference_commit_diff(sha_hex, shown, fixed.long_ids)


# --- counting and the merge base --------------------------------------------------------------------------


def usable(answer_):
    stdout, returncode, _ = run_answer(answer_)
    return stdout.strip() if returncode == 0 and stdout.strip() else None


def reference_count(fixed, branch, merge_base, count):
    def as_count(answer_):
        output = usable(answer_)
        try:
            return None if output is None else int(output)
        except ValueError:
            return None

    try:
        if branch in ("main", "master"):
            if (counted := as_count(count)) is not None:
                return counted
        elif not branch.startswith("-"):
            base = usable(merge_base)
            if base is not None and not base.startswith("-") and (counted := as_count(count)) is not None:
                return counted
    except Exception:  # noqa: BLE001 - git cannot be run: the walk counts
        return fixed.walk_counts[branch]
    # git counts the walk's set, named by the ids read from the refs.
    try:
        if (counted := as_count(count)) is not None and counted >= 0:
            return counted
    except Exception:  # noqa: BLE001, S110 - the walk counts
        pass
    return fixed.walk_counts[branch]


count_text = st.one_of(text, st.from_regex(r"\s*[-+]?[0-9_٣²]{1,8}\s*", fullmatch=True))


@both_formats
@FUZZ
@given(branch=st.sampled_from(["main", "feature", "side", "-dash"]), merge_base=answer(),
       count=answer(count_text))
@example(branch="main", merge_base=("", 1), count=(" 1_000 ", 0))
@example(branch="feature", merge_base=("-x\n", 0), count=("3", 0))
def test_count_reads_git_or_walks_as_stated(fixed, branch, merge_base, count):
    git = Git([(("git", "merge-base"), merge_base), (("git", "rev-list", "--count"), count)])
    with replaced_run(git):
        result = fixed.service.count_commits(branch)
    assert result == reference_count(fixed, branch, merge_base, count)
    assert all(not arg.startswith("-") for command in git.commands for arg in command[3:])


@FUZZ
@given(branch=st.sampled_from(["feature", "side", "-dash"]), answered=answer())
def test_merge_base_reads_git_or_walks_as_stated(fixed, branch, answered):
    git = Git([(("git", "merge-base"), answered)])
    with replaced_run(git):
        result = fixed.service.get_merge_base(branch)
    if branch.startswith("-"):
        expected = None
    else:
        try:
            stdout, returncode, _ = run_answer(answered)
            expected = stdout.strip() if returncode == 0 else None
        except Exception:  # noqa: BLE001
            expected = fixed.walk_merge_bases[branch]
    assert result == expected


# --- every parameter of every method, with anything in it -----------------------------------------------


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 1


class Broken:
    def __int__(self):
        raise ArithmeticError("broken")

    def __bool__(self):
        raise ArithmeticError("broken")

    def __eq__(self, other):
        raise ArithmeticError("broken")

    __hash__ = object.__hash__


StrSub = type("StrSub", (str,), {})
BytesSub = type("BytesSub", (bytes,), {})
ListSub = type("ListSub", (list,), {})
IntSub = type("IntSub", (int,), {})

scalar = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-(2**31) - 2, -(2**31) + 2), st.integers(2**31 - 2, 2**31 + 2),
    st.floats(allow_nan=True, allow_infinity=True), st.complex_numbers(), text, st.binary(max_size=8),
    st.builds(bytearray, st.binary(max_size=4)), text.map(StrSub), st.binary(max_size=4).map(BytesSub),
    st.integers().map(IntSub), st.decimals(allow_nan=True), st.fractions(), st.integers().map(IntLike),
    st.sampled_from([IntLike("3"), IntLike(2.5), IndexOnly(), Broken(), object(), pathlib.Path("x"), int, str,
                     Ellipsis, NotImplemented]),
)
anything = st.recursive(scalar, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple), st.lists(inner, max_size=3).map(ListSub),
    st.dictionaries(st.one_of(text, st.integers()), inner, max_size=3), st.frozensets(st.integers(), max_size=3)),
    max_leaves=8)


def type_name_of(value):
    """The name the host's own error texts give the value's type (its C-level
    tp_name), read from one of those texts: every value is refused by one of
    the two joins, which name the item's type as the host names it."""
    for join in ("".join, b"".join):
        try:
            join([value])
        except TypeError as error:
            return re.search(r", (.+) found$", str(error)).group(1)
    raise AssertionError(f"both joins took {value!r}")


def integer_error(value, bits, overflow_text):
    """The exception converting `value` to a signed integer of `bits` bits raises (its type and text), or None."""
    if isinstance(value, int):
        number = value
    elif hasattr(type(value), "__int__"):
        try:
            number = type(value).__int__(value)
        except Exception as error:  # noqa: BLE001
            return type(error), str(error)
        if not isinstance(number, int):
            return TypeError, f"__int__ returned non-int (type {type_name_of(number)})"
    else:
        return TypeError, "an integer is required"
    if not -(2 ** (bits - 1)) <= number < 2 ** (bits - 1):
        return OverflowError, overflow_text
    return None


def int32_error(value):
    return integer_error(value, 32, "value too large to convert to int")


def type_error(name, kind, value, accepts_none=True):
    if type(value) is kind or (accepts_none and value is None):
        return None
    return TypeError, f"Argument '{name}' has incorrect type (expected {kind.__name__}, got {type_name_of(value)})"


def samples_of(fixed):
    return Samples(commit=fixed.merge, shas=[fixed.merge], tree=fixed.library[fixed.library[fixed.merge.encode()].tree],
                   path_parts=["a.txt"], root=pathlib.Path(fixed.path))


def fixed_args(fixed):
    """Each method's parameters with a valid value: (name, kind, value), kind None for untyped ones."""
    samples = samples_of(fixed)
    return {name: [(param.name, param.kind, param.sample(samples)) for param in params]
            for name, params in METHODS.items()}


# Fuzzed with anything by other properties: construction and the state.
FUZZED_ELSEWHERE = {"_find_repo_root": "construction", "__setstate__": "set-state and unpickling"}


def argument_error(kind, name, value):
    if kind is int:
        return int32_error(value)
    if kind in ("str!", "list!"):
        return type_error(name, str if kind == "str!" else list, value, accepts_none=False)
    if kind is not None:
        return type_error(name, kind, value)
    return None


def call(method, args, keywords):
    try:
        result = method(*args, **keywords)
        if type(result).__name__ == "generator":
            result = list(result)
        return result
    except Exception as error:  # noqa: BLE001 - judged by the caller
        return error


def judge(fixed, name, params, outcome):
    """Problems with the outcome of a call whose arguments passed the checks."""
    values = {param: value for param, _, value in params}
    if isinstance(outcome, BaseException) and any(text_ in str(outcome) for text_ in INTERNAL_ERROR_TEXTS):
        return f"leaked an internal error {outcome!r}"
    if isinstance(outcome, SystemError):
        return f"raised {outcome!r}"
    if name == "get_commit_refs":
        try:
            bytes.fromhex(values["commit_sha"])
        except Exception as error:  # noqa: BLE001
            return None if type(outcome) is type(error) else f"gave {outcome!r}, not {type(error).__name__}"
        return complaint(name, outcome)
    if name == "_get_remote_commits" and isinstance(outcome, UnicodeEncodeError):
        return None  # a branch that is no UTF-8 text cannot name a ref
    if name == "get_commit_refs_from_git_log" and isinstance(outcome, TypeError):
        try:
            dict.fromkeys(values["commit_shas"] or [])
        except TypeError:
            return None  # an unhashable id cannot be a key of the result
        return f"raised {outcome!r}"
    if name == "_is_ignored" and values["file_path"] is None:
        return None if outcome is False or isinstance(outcome, AttributeError) else f"gave {outcome!r}"
    if name in ("_is_path_ignored", "_is_directory_ignored"):
        return None if isinstance(outcome, (bool, Exception)) else f"gave {outcome!r}"
    if name in ("_find_in_tree", "_build_head_file_map"):
        return None  # callers' objects are used as given, with their own errors
    if name == "_iter_commits_optimized" and type(outcome) is list:
        # The walk's (id, commit) pairs; the catalogue's shape holds their ids.
        assert all(type(pair) is tuple and len(pair) == 2 for pair in outcome)
        outcome = [pair[0] for pair in outcome]
    # git's answers here are arbitrary: a count is int() of whatever it
    # printed, and a diff is whatever it printed.
    if name == "count_commits" and type(outcome) is int:
        return None
    if name == "get_commit_diff" and type(outcome) is str:
        return None
    return complaint(name, outcome)


@pytest.mark.parametrize("name", [name for name, params in METHODS.items() if params and name not in FUZZED_ELSEWHERE])
@FUZZ
@given(data=st.data())
def test_any_object_in_any_parameter(fixed, name, data):
    params = fixed_args(fixed)[name]
    position = data.draw(st.integers(0, len(params) - 1))
    value = data.draw(st.one_of(anything, st.sampled_from([None, "main", "-x", "a\udcffb", "\x00", ""])))
    by_keyword = data.draw(st.booleans())
    params = [(param, kind, value if i == position else valid) for i, (param, kind, valid) in enumerate(params)]
    args = [v for i, (_, _, v) in enumerate(params) if not (by_keyword and i == position)]
    keywords = {params[position][0]: value} if by_keyword else {}
    if by_keyword:
        args = args[:position]
        keywords.update({p: v for i, (p, _, v) in enumerate(params) if i > position})
    method = getattr(fixed.service, name)
    with replaced_run(Git([], default=data.draw(answer()))):
        outcome = call(method, args, keywords)
    expected = argument_error(params[position][1], params[position][0], value)
    if expected is not None:
        assert (type(outcome), str(outcome)) == expected
        return
    assert not (isinstance(outcome, TypeError) and "incorrect type" in str(outcome))
    assert judge(fixed, name, params, outcome) is None, outcome


# --- the ignore rules against their plain-Python reading ---------------------------------------------------

record = st.fixed_dictionaries({
    "pattern": st.one_of(text, st.sampled_from(["/", "/build", "*.log", "[", "a/**/b", "\\#x"])),
    "fnmatch_pattern": st.one_of(text, st.sampled_from(["*", "/*", "[!a]*", "[", "?*?", "a/*", "[]]", "[z-a]"])),
    "is_negation": st.booleans(),
    "is_root": st.booleans()})


@FUZZ
@given(path=st.one_of(text, st.lists(st.sampled_from(["a", "b", "", "build", "x.log", "\\", "*", "["]),
                                      max_size=5).map("/".join)),
       records=st.lists(record, max_size=5))
def test_path_ignore_rules_match_their_plain_reading(fixed, path, records):
    assert fixed.service._is_path_ignored(path, records) is reference_is_path_ignored(path, records)


# --- services in any state ------------------------------------------------------------------------------


@FUZZ
@given(repo=st.one_of(anything, st.just("fixed")), repo_path=st.one_of(anything, st.sampled_from(["fixed", "path"])),
       answered=answer())
def test_every_method_of_a_service_in_any_state(fixed, repo, repo_path, answered):
    service = GitServiceCython.__new__(GitServiceCython)
    def named(value, name):  # the drawn objects' own == may raise
        return type(value) is str and value == name

    service.__setstate__((fixed.library if named(repo, "fixed") else repo,
                          pathlib.Path(fixed.path) if named(repo_path, "fixed") else
                          fixed.path if named(repo_path, "path") else repo_path))
    before = os.getcwd()
    samples = samples_of(fixed)
    calls = {name: sample_call(name, samples) for name in METHODS if name not in FUZZED_ELSEWHERE}
    for name, function in calls.items():
        with replaced_run(Git([], default=answered)):
            try:
                function(service)
            except Exception as error:  # noqa: BLE001 - a service in a state no constructor makes may fail
                assert not isinstance(error, SystemError), (name, error)
                assert not any(t in str(error) for t in INTERNAL_ERROR_TEXTS), (name, error)
        assert os.getcwd() == before



# --- construction and pickling with anything -------------------------------------------------------------


class WithDict(GitServiceCython):
    pass


def long_error(value):
    return integer_error(value, 64, "value too large to convert to long")


def outcome_of(function, *args):
    try:
        return function(*args)
    except Exception as error:  # noqa: BLE001 - judged by the caller
        return error


@FUZZ
@given(start_dir=st.one_of(anything, st.sampled_from(["fixed", "/", "."])))
def test_construction_from_anything(fixed, start_dir):
    start_dir = fixed.path if isinstance(start_dir, str) and start_dir == "fixed" else start_dir
    outcome = outcome_of(GitServiceCython, start_dir)
    try:
        pathlib.Path(start_dir)
    except Exception as error:  # noqa: BLE001
        assert type(outcome) is type(error)
        return
    assert isinstance(outcome, (GitServiceCython, gsc.NotGitRepository, OSError, ValueError)), outcome
    found = outcome_of(GitServiceCython._find_repo_root, pathlib.Path(start_dir))
    assert type(found) is type(outcome) if isinstance(outcome, Exception) else isinstance(found, pathlib.Path)


@FUZZ
@given(state=st.one_of(anything, st.lists(anything, max_size=4).map(tuple)), cls=st.sampled_from([GitServiceCython,
                                                                                                 WithDict]))
def test_set_state_with_anything(state, cls):
    service = cls.__new__(cls)
    outcome = outcome_of(service.__setstate__, state)
    if state is None or type(state) is not tuple or len(state) < 2:
        assert type(outcome) is TypeError
        if state is not None and type(state) is not tuple:
            assert str(outcome) == f"Expected tuple, got {type_name_of(state)}"
        return
    try:
        extra = len(state) > 2 and bool(state[2])
        if extra and cls is WithDict:
            {}.update(state[2])
    except Exception as error:  # noqa: BLE001
        assert type(outcome) is type(error)
        return
    if extra and cls is GitServiceCython:
        assert type(outcome) is AttributeError  # no instance dictionary to merge into
        return
    assert outcome is None
    reduced = service.__reduce__()
    fields = reduced[1][2] if len(reduced) == 2 else reduced[2]
    assert fields[0] is state[0] and fields[1] is state[1]


@FUZZ
@given(cls=st.sampled_from([GitServiceCython, WithDict, int, "GitServiceCython", None]),
       checksum=st.one_of(anything, st.sampled_from([0x969DAC, 0x8FBB51F, 0x1A9B238])),
       state=st.one_of(st.none(), anything, st.lists(anything, max_size=3).map(tuple)))
def test_unpickling_with_anything(cls, checksum, state):
    outcome = outcome_of(gsc.__pyx_unpickle_GitServiceCython, cls, checksum, state)
    error = long_error(checksum)
    if error is None and state is not None and type(state) is not tuple:
        error = (TypeError, f"Argument '__pyx_state' has incorrect type (expected tuple, got {type_name_of(state)})")
    if error is not None:
        assert (type(outcome), str(outcome)) == error
        return
    number = checksum if isinstance(checksum, int) else type(checksum).__int__(checksum)
    if number not in (0x969DAC, 0x8FBB51F, 0x1A9B238):
        import pickle

        assert type(outcome) is pickle.PickleError
        # The host's own "%x", which writes a negative number as 0x-1.
        text_ = "Incompatible checksums (0x%x vs (0x969dac, 0x8fbb51f, 0x1a9b238) = (repo, repo_path))"
        assert str(outcome) == text_ % number
        return
    made = outcome_of(GitServiceCython.__new__, cls)
    if isinstance(made, Exception):
        assert type(outcome) is type(made)
        return
    if state is not None:
        expected = outcome_of(made.__setstate__, state)
        if isinstance(expected, Exception):
            assert type(outcome) is type(expected)
            return
    assert type(outcome) is cls


# --- the status scan against its plain-Python reading ------------------------------------------------------


def reference_scan(root):
    """The scan without git, in plain Python: the index against HEAD, then the
    working tree walked (hidden names skipped, ignored directories cut, links
    to directories followed unless they lead back up the walk's path, tracked
    links compared by their target text, nested repositories not entered) and
    compared with both."""
    from dulwich.index import Index
    from dulwich.objects import Blob
    from dulwich.repo import Repo

    root = pathlib.Path(root)
    with Repo(str(root)) as repo:
        # Blob ids and the index in the repository's own object format.
        object_format = repo.object_format

    def blob_id(path):
        blob = Blob()
        blob.data = os.readlink(path).encode("utf-8", "surrogateescape") if os.path.islink(path) else (
            pathlib.Path(path).read_bytes())
        return blob.get_id(object_format)

    files = []
    try:
        index_entries = {path.decode(errors="replace"): entry for path, entry in
                         Index(str(root / ".git" / "index"), object_format=object_format).items()}
    except Exception:  # noqa: BLE001
        index_entries = {}
    with Repo(str(root)) as repo:
        try:
            head_tree = repo[repo[repo.refs[b"HEAD"]].tree]
        except (KeyError, AttributeError, TypeError, ValueError):
            head_tree = None
        head_map = {}

        def flatten(tree, prefix):
            for name in tree:
                mode, sha = tree[name]
                path = f"{prefix}/{name.decode()}" if prefix else name.decode()
                if mode & 0o170000 == 0o040000:
                    flatten(repo[sha], path)
                else:
                    head_map[path] = sha

        if head_tree is not None and len(head_tree):
            flatten(head_tree, "")
    ignore_file = root / ".gitignore"
    lines = []
    if ignore_file.is_file():
        with open(ignore_file, encoding="utf-8", errors="ignore") as handle:
            lines = handle.readlines()
    compiled = reference_compile(lines)
    processed = set()
    for path, entry in index_entries.items():
        processed.add(path)
        full = root / path
        if not os.path.lexists(full):
            files.append((path, "deleted", True, False))
            continue
        try:
            blob_id(full)
        except OSError:
            continue
        sha = getattr(entry, "sha", None)
        if sha is None:
            files.append((path, "modified", True, True))
        elif path not in head_map:
            files.append((path, "staged", True, False))
        elif head_map[path] != sha:
            files.append((path, "modified", True, False))

    def compare(item, rel_path):
        entry = index_entries.get(rel_path)
        if rel_path not in processed and rel_path not in head_map:
            if not reference_is_path_ignored(rel_path, compiled):
                files.append((rel_path, "untracked", False, True))
            return
        try:
            if entry is not None and getattr(entry, "sha", None) is None:
                return
            found = blob_id(item)
            if entry is None:
                changed = found != head_map[rel_path]
            else:
                changed = found != entry.sha and (rel_path not in head_map or found != head_map[rel_path])
            if changed:
                files.append((rel_path, "modified", False, True))
        except OSError:
            pass

    def nested_head(path):
        try:
            with Repo(str(path)) as nested:
                return nested.head()
        except Exception:  # noqa: BLE001 - a HEAD that names no commit
            return None

    def nested_repository(path, rel_path):
        """Whether the walk stops at a repository nested in the tree, with its row."""
        if any(indexed.startswith(rel_path + "/") for indexed in index_entries):
            return False
        entry = index_entries.get(rel_path)
        if entry is None:
            files.append((rel_path + "/", "untracked", False, True))
            return True
        if getattr(entry, "mode", None) != 0o160000:
            return False
        head = nested_head(path)
        if head is not None and head != entry.sha:
            files.append((rel_path, "modified", False, True))
        return True

    entered_through_links = set()

    def walk(path, current, on_path, through_link=False):
        if current and (pathlib.Path(current).name in {".git", "node_modules", "__pycache__", ".pytest_cache",
                                                       ".mypy_cache", ".venv", "venv", "env", ".env", "dist",
                                                       "build", ".tox", ".eggs"}
                        or pathlib.Path(current).name.endswith(".egg-info")
                        or reference_is_path_ignored(current + "/", compiled)):
            return
        if through_link:
            identity = (path.stat().st_dev, path.stat().st_ino)
            if identity in entered_through_links:
                return
            entered_through_links.add(identity)
        if current and not through_link and (path / ".git").exists() and nested_repository(path, current):
            return
        for item in path.iterdir():
            if item.name.startswith("."):
                continue
            rel_path = str(item.relative_to(root)).replace("\\", "/")
            if item.is_symlink() and (rel_path in index_entries or rel_path in head_map):
                compare(item, rel_path)
            elif item.is_dir():
                identity = (item.stat().st_dev, item.stat().st_ino)
                if identity not in on_path:
                    walk(item, f"{current}/{item.name}" if current else item.name, on_path | {identity},
                         item.is_symlink())
            elif item.is_file():
                compare(item, rel_path)

    walk(root, "", {(root.stat().st_dev, root.stat().st_ino)})
    merged = {}
    for path, status, staged, unstaged in files:
        if path in merged and merged[path][2] != staged:
            merged[path] = (path, "modified", True, True)
        elif path not in merged or status == "modified" or merged[path][1] != "modified":
            merged[path] = (path, status, staged, unstaged)
    return sorted(merged.values())


SCAN_NAMES = [b"a", b"b.txt", b"a\\b", b"sp ace", b"x.log", b".hidden", b"caf\xc3\xa9", b"new\nline", b"build",
              b"node_modules", b"[", b"lat\xe9", b"\xff"]


@st.composite
def working_trees(draw):
    """Steps that build a working tree: files, links and directories, some
    committed, some staged, some changed afterwards."""
    name = st.sampled_from(SCAN_NAMES)
    path = st.lists(name, min_size=1, max_size=3).map(b"/".join)
    entry = st.tuples(st.sampled_from(["file", "file", "link", "link to a directory", "link up", "repository"]), path,
                      st.binary(max_size=3))
    return {"entries": draw(st.lists(entry, max_size=8)), "ignore": draw(st.lists(
        st.sampled_from(["*.log", "build/", "/a", "!x.log", "[", "sp*", "a/**", "*\\b"]), max_size=3)),
        "commit": draw(st.lists(st.booleans(), max_size=8)), "stage": draw(st.lists(st.booleans(), max_size=8)),
        "change": draw(st.lists(st.booleans(), max_size=8)), "delete": draw(st.lists(st.booleans(), max_size=8))}


def build_tree(root, plan, object_format=None):
    def put(raw, kind, data):
        full = bytes(root) + b"/" + raw
        if os.path.lexists(full) or any(os.path.lexists(bytes(root) + b"/" + raw[:i]) and not os.path.isdir(
                bytes(root) + b"/" + raw[:i]) for i in range(1, len(raw)) if raw[i:i + 1] == b"/"):
            return False
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if kind == "file":
            with open(full, "wb") as handle:
                handle.write(data)
        elif kind == "link":
            os.symlink(b"target-" + data.hex().encode(), full)
        elif kind == "link to a directory":
            os.symlink(bytes(root) + b"/src", full)
        elif kind == "repository":
            os.makedirs(full)
            git("-C", os.fsdecode(full), "init", "-q", *([f"--object-format={object_format}"] if object_format else []))
            git("-C", os.fsdecode(full), "commit", "-q", "--allow-empty", "-m", "nested")
        else:
            os.symlink(b"..", full)
        return True

    def git(*args):
        subprocess.run(["git", *args], cwd=root, capture_output=True, check=False)

    os.makedirs(root / "src")
    (root / "src" / "kept.txt").write_text("kept\n")
    (root / ".gitignore").write_text("\n".join(plan["ignore"]) + "\n")
    made = [(raw, kind, data) for kind, raw, data in plan["entries"] if put(raw, kind, data)]
    for i, (raw, _, _) in enumerate(made):
        if i < len(plan["commit"]) and plan["commit"][i]:
            git("add", "-f", "--", os.fsdecode(raw))
    git("commit", "-q", "--allow-empty", "-m", "tree")
    for i, (raw, kind, data) in enumerate(made):
        full = bytes(root) + b"/" + raw
        if i < len(plan["change"]) and plan["change"][i] and kind == "file":
            with open(full, "ab") as handle:
                handle.write(b"changed")
        if i < len(plan["change"]) and plan["change"][i] and kind == "repository":
            git("-C", os.fsdecode(full), "commit", "-q", "--allow-empty", "-m", "moved on")
        if i < len(plan["stage"]) and plan["stage"][i]:
            git("add", "-f", "--", os.fsdecode(raw))
        if i < len(plan["delete"]) and plan["delete"][i] and os.path.lexists(full) and not os.path.isdir(full):
            os.unlink(full)


@profiles.examples(ci=40, fuzz=200)
@given(plan=working_trees())
@example(plan={"entries": [("repository", b"a", b""), ("repository", b"a\\b", b""), ("repository", b"c", b""),
                           ("file", b"c/f", b"f")],
               "ignore": [], "commit": [False, False, True], "stage": [], "change": [False, False, True],
               "delete": []})
@pytest.mark.parametrize("object_format", [None, "sha256"])
def test_status_scan_matches_its_plain_reading(fixed, plan, object_format):
    import shutil
    import tempfile

    root = pathlib.Path(tempfile.mkdtemp(prefix="scan-")) / "repo"
    try:
        init_repo(root, object_format=object_format)
        build_tree(root, plan, object_format)
        service = GitServiceCython(str(root))
        try:
            expected = reference_scan(root)
        except UnicodeDecodeError as error:  # a name in HEAD's tree that is not UTF-8
            expected = error
        with replaced_run(lambda args, **kwargs: raise_(FileNotFoundError(2, "No such file", "git"))):
            outcome = call(service.get_file_status, [], {})
        if isinstance(expected, Exception):
            assert type(outcome) is type(expected)
        else:
            assert [(r.path, r.status, r.staged, r.unstaged) for r in outcome] == expected
    finally:
        shutil.rmtree(root.parent, ignore_errors=True)
