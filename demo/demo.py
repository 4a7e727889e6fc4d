"""Shows every pane a git client would draw for a repository, as git_service_cython answers it.

    python demo/demo.py [REPOSITORY]

Each pane says how long its answer took. Colour is used only when the output
is a terminal (and NO_COLOR is not set).
"""

from __future__ import annotations

import gc
import os
import sys
import time
from datetime import UTC, datetime

import git_service_cython as gsc

SCREENFUL = 15
DIFF_LINES = 20


class Style:
    """ANSI styling, or none at all when the output is not a terminal."""

    def __init__(self, enabled: bool):
        self.enabled = enabled

    def _wrap(self, code: str, text: str) -> str:
        return f"\033[{code}m{text}\033[0m" if self.enabled else text

    def title(self, text: str) -> str:
        return self._wrap("1;36", text)

    def dim(self, text: str) -> str:
        return self._wrap("2", text)

    def good(self, text: str) -> str:
        return self._wrap("32", text)

    def warn(self, text: str) -> str:
        return self._wrap("33", text)

    def label(self, text: str) -> str:
        return self._wrap("35", text)


def when(timestamp: int) -> str:
    if not timestamp:
        return "(no date)".ljust(16)
    return datetime.fromtimestamp(timestamp, UTC).strftime("%Y-%m-%d %H:%M")


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, (time.perf_counter() - start) * 1000


class Screen:
    def __init__(self, style: Style):
        self.style = style

    def pane(self, title: str, elapsed_ms: float, lines: list[str], more: int = 0) -> None:
        print(self.style.title(f"== {title} ") + self.style.dim(f"({elapsed_ms:.1f} ms)"))
        for line in lines:
            print(f"  {line}")
        if more > 0:
            print(self.style.dim(f"  ... and {more} more"))
        if not lines:
            print(self.style.dim("  (none)"))
        print()


def current_branch(service: gsc.GitServiceCython, branches: list[gsc.BranchInfo]) -> str | None:
    for branch in branches:
        if service.get_branch_info(branch.name)["is_current"]:
            return branch.name
    names = {branch.name for branch in branches}
    return next((name for name in ("main", "master") if name in names), None)


def decoration(refs: dict, style: Style) -> str:
    labels = [f"HEAD -> {b}" if refs["is_head"] and i == 0 else b for i, b in enumerate(refs["branches"])]
    if refs["is_head"] and not refs["branches"]:
        labels.insert(0, "HEAD")
    labels += refs["remote_branches"] + [f"tag: {tag}" for tag in refs["tags"]]
    text = f" ({', '.join(labels)})" if labels else ""
    if refs["is_merge"]:
        text += f" [merge of {len(refs['merge_parents'])}]"
    return style.label(text) if text else ""


def show(start_dir: str, style: Style) -> None:
    screen = Screen(style)
    service, elapsed = timed(lambda: gsc.GitServiceCython(start_dir))
    root = gsc.GitServiceCython._find_repo_root(gsc.Path(start_dir))
    print(style.title(f"Repository {root}") + style.dim(f" (opened in {elapsed:.1f} ms)"))
    print()

    branches, elapsed = timed(service.list_branches)
    screen.pane("Branches, newest first", elapsed,
                [f"{when(b.timestamp)}  {b.head_sha[:8] or '--------'}  {b.name}" for b in branches[:SCREENFUL]],
                len(branches) - SCREENFUL)

    remotes, elapsed = timed(service.list_remote_branches)
    screen.pane("Remote branches", elapsed,
                [f"{when(b.timestamp)}  {b.head_sha[:8]}  {b.name}" for b in remotes[:SCREENFUL]],
                len(remotes) - SCREENFUL)

    branch = current_branch(service, branches)
    if branch is not None:
        commits, elapsed = timed(lambda: service.list_commits(branch, max_count=SCREENFUL))
        refs, refs_elapsed = timed(lambda: service.get_commit_refs_from_git_log(branch, [c.sha for c in commits]))
        lines = []
        for commit in commits:
            mark = style.good("pushed") if commit.pushed else style.warn("local ")
            lines.append(f"{commit.sha[:8]}  {mark}  {when(commit.timestamp)}  {commit.summary}"
                         f"{decoration(refs[commit.sha], style)}")
        screen.pane(f"Commits of {branch} (listing {elapsed:.1f} ms, decorations {refs_elapsed:.1f} ms)",
                    elapsed + refs_elapsed, lines)
        count, elapsed = timed(lambda: service.count_commits(branch))
        screen.pane(f"Commit count of {branch}", elapsed, [str(count)])
    else:
        commits = []

    status, elapsed = timed(service.get_file_status)
    if status is None:
        screen.pane("Working tree", elapsed, [style.warn("git status failed")])
    else:
        lines = [f"{'S' if s.staged else ' '}{'U' if s.unstaged else ' '}  {s.status:<9}  {s.path}"
                 for s in status[:SCREENFUL]]
        screen.pane("Working tree (S staged, U unstaged)", elapsed, lines or [style.good("clean")],
                    len(status) - SCREENFUL)

    tags, elapsed = timed(service.list_tags)
    lines = [f"{when(t.timestamp)}  {t.sha[:8]}  {t.name}{' (annotated)' if t.is_annotated else ''}  {t.message}"
             for t in tags[:SCREENFUL]]
    screen.pane(f"Tags ({len(tags)})", elapsed, lines, len(tags) - SCREENFUL)

    stashes, elapsed = timed(service.list_stashes)
    screen.pane("Stashes", elapsed,
                [f"stash@{{{s.index}}}  {when(s.timestamp)}  [{s.branch}] {s.message}" for s in stashes])

    if commits:
        diff, elapsed = timed(lambda: service.get_commit_diff(commits[0].sha))
        lines = diff.splitlines()
        screen.pane(f"Diff of {commits[0].sha[:8]}", elapsed, lines[:DIFF_LINES], len(lines) - DIFF_LINES)


def main(argv: list[str]) -> int:
    start_dir = argv[1] if len(argv) > 1 else "."
    style = Style(sys.stdout.isatty() and "NO_COLOR" not in os.environ)
    try:
        show(start_dir, style)
    except gsc.NotGitRepository as error:
        print(f"Not a git repository: {error}", file=sys.stderr)
        return 1
    finally:
        # Release the repository's open files now rather than during
        # interpreter shutdown, when dulwich can no longer warn cleanly.
        gc.collect()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
