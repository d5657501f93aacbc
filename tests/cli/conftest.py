"""Fixtures shared by the command tests."""
import os

import pytest


@pytest.fixture
def env(tmp_path):
    """An environment for git in scratch repositories: its own home, no system configuration or
    attributes, nothing of the caller's git settings, the C locale and a fixed identity."""
    home = tmp_path / "home"
    home.mkdir()
    e = {k: v for k, v in os.environ.items()
         if not k.startswith("GIT_") and k not in ("XDG_CONFIG_HOME", "EMAIL")}
    e.update(HOME=str(home), GIT_CONFIG_NOSYSTEM="1", GIT_ATTR_NOSYSTEM="1", LC_ALL="C",
             GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.invalid",
             GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.invalid")
    return e
