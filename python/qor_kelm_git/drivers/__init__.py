"""The notebook merge and diff engines."""
from .notebook_merge import merge_files

__all__ = ["merge_files"]
