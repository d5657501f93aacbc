"""Merge driver and diff engine for pipeline notebooks."""
from qor_kelm_git._version import __version__  # noqa: F401
