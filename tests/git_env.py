"""The environment every git run of the tests gets: fixed identities (so that
ids are reproducible) and no user or system configuration."""

from __future__ import annotations

import os

GIT_ENV = {
    "GIT_AUTHOR_NAME": "Ann Author",
    "GIT_AUTHOR_EMAIL": "ann@example.com",
    "GIT_COMMITTER_NAME": "Carl Committer",
    "GIT_COMMITTER_EMAIL": "carl@example.com",
    "GIT_CONFIG_GLOBAL": os.devnull,
    "GIT_CONFIG_NOSYSTEM": "1",
    "GIT_TERMINAL_PROMPT": "0",
    "LC_ALL": "C.UTF-8",
}

BASE_TIME = 1_700_000_000
