"""The Model Context Protocol server of ``marlune-search mcp`` (being built)."""

from __future__ import annotations

import sys

__all__ = ["run"]


def run(root: str | None, read_only: bool) -> int:
    print("marlune-search mcp: not built yet", file=sys.stderr)
    return 2
