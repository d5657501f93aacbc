# Types of the extension module qor_kelm_git.scripts.qormerge.
import os
from collections.abc import Iterable

def main(
    argv: Iterable[str | bytes | os.PathLike[str] | os.PathLike[bytes]] | None = None,
) -> int: ...
