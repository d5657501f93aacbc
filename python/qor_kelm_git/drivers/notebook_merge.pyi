# Types of the extension module qor_kelm_git.drivers.notebook_merge.
import os
from typing import Any, ClassVar, Protocol, final

from qor_kelm_git.drivers.common import Cell

@final
class Symbol:
    """A marker of a structural difference, printed as "$insert", "$delete" or "$replace"."""

    @property
    def label(self) -> str: ...

insert: Symbol
delete: Symbol
replace: Symbol

class MergeCell(Cell):
    BASE: ClassVar[str]
    CURRENT: ClassVar[str]
    INCOMING: ClassVar[str]
    def __init__(self, cell: dict[str, Any], file_type: str) -> None: ...
    @property
    def file_type(self) -> str: ...
    @property
    def _file_type(self) -> str: ...
    def add_conflict_mark(self) -> None: ...

class GitCommandError(Exception):
    """git's report of conflicts: the attributes are set on raised instances."""

    command: str
    status: int
    stderr: str
    stdout: str

class Git:
    def __init__(self) -> None: ...
    def merge_file(self, *args: str | os.PathLike[str]) -> None: ...

class _MergeFileRunner(Protocol):
    """What _merge_source runs git merge-file with: Git, GitPython's git.cmd.Git, ..."""

    def merge_file(self, *args: str) -> object: ...

def _merge_source(
    g: _MergeFileRunner,
    current: list[str],
    base: list[str],
    incoming: list[str],
    current_name: str | None = None,
    incoming_name: str | None = None,
) -> list[str]: ...
def merge_files(
    base_file_path: str, current_file_path: str, incoming_file_path: str, file_path: str
) -> None: ...

# Keys are str, int (list positions) or the markers insert, delete and replace.
def _cell_changed(cell0: Cell, cell1: Cell) -> dict[Any, Any]: ...
