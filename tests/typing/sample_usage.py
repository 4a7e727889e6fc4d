"""A host's typed use of every method; `mypy --strict` must accept it as it stands."""

from __future__ import annotations

import pickle
from pathlib import Path

import git_service_cython as gsc
from dulwich.objects import Commit, Tree
from git_service_cython import BranchInfo, CommitInfo, FileStatus, GitServiceCython, StashInfo, TagInfo


def show_repository(start: str | Path) -> list[str]:
    service = GitServiceCython(start)
    lines: list[str] = []
    root: Path = GitServiceCython._find_repo_root(Path(start))
    lines.append(str(root))

    branches: list[BranchInfo] = service.list_branches()
    remotes: list[BranchInfo] = service.list_remote_branches()
    tags: list[TagInfo] = service.list_tags()
    lines += [f"{b.name} {b.head_sha} {b.timestamp}" for b in branches + remotes]
    lines += [f"{t.name} {t.sha} {t.message} {t.timestamp} {t.is_annotated}" for t in tags]

    commits: list[CommitInfo] = service.list_commits("main", max_count=50, skip=0, show_full_history=True)
    pushed: set[str] = service._get_remote_commits("main")
    count: int = service.count_commits("main")
    base: str | None = service.get_merge_base("feature", base_branch="main")
    lines += [f"{c.sha[:8]} {c.summary} {c.author} {c.timestamp} {c.pushed or c.sha in pushed}" for c in commits]
    lines.append(f"{count} {base}")

    decorations = service.get_commit_refs_from_git_log("main", [c.sha for c in commits])
    for sha, refs in decorations.items():
        names: list[str] = refs["branches"] + refs["remote_branches"] + refs["tags"]
        merge: bool = refs["is_merge"] and refs["is_head"]
        lines.append(f"{sha} {names} {merge} {refs['merge_parents']}")
    single = service.get_commit_refs(commits[0].sha) if commits else None
    if single is not None:
        lines.append(str(single["tags"]))

    info = service.get_branch_info("main")
    current: bool = info["is_current"]
    head: str | None = info["head_sha"]
    lines.append(f"{info['name']} {head} {info['remote_tracking']} {info['upstream']} {current}")

    diff: str = service.get_commit_diff(commits[0].sha if commits else "")
    lines.append(diff[:10])

    statuses: list[FileStatus] | None = service.get_file_status()
    for status in statuses or []:
        lines.append(f"{status.path} {status.status} {status.staged} {status.unstaged}")

    stashes: list[StashInfo] = service.list_stashes()
    for stash in stashes:
        lines.append(f"{stash.index} {stash.branch} {stash.message} {stash.name} {stash.sha} {stash.timestamp}")
    diff_text, stat_text = service.get_stash_diff(0)
    lines.append(diff_text + stat_text)

    patterns = service._compile_gitignore_patterns()
    ignored: bool = service._is_path_ignored("a/b.log", patterns) or service._is_directory_ignored("build", patterns)
    lines.append(f"{ignored} {service._is_ignored('x.log')} {[p['pattern'] for p in patterns]}")

    repo = gsc.Repo(str(root))
    head_id: bytes = repo.head()
    for commit_id, commit in service._iter_commits_optimized(head_id, 10):
        lines.append(f"{commit_id!r} {commit.id!r}")
    head_commit = repo[head_id]
    assert isinstance(head_commit, Commit)
    tree = repo[head_commit.tree]
    assert isinstance(tree, Tree)
    file_map: dict[str, bytes] = service._build_head_file_map(tree, base_path="")
    found: bytes | None = service._find_in_tree(tree, ["README.md"])
    lines.append(f"{len(file_map)} {found!r}")

    copy: GitServiceCython = pickle.loads(pickle.dumps(GitServiceCython.__new__(GitServiceCython)))
    rebuilt = gsc.__pyx_unpickle_GitServiceCython(GitServiceCython, 0x969DAC, None)
    rebuilt.__setstate__((None, None))
    lines.append(repr(copy.__reduce__()))
    return lines
