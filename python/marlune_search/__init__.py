"""Fuzzy search-and-replace, streaming line matching and fuzzy scoring, with safe file edits
and patches."""

from _marlune_search import (
    FuzzyMatchInfo,
    MatchRange,
    ReplaceResult,
    StreamingFuzzyMatcher,
    TryReplaceResult,
    fuzzy_match,
    fuzzy_match_simple,
    get_best_matches,
    replace_content,
    try_replace_content,
)

from ._apply_patch import (
    FileChange,
    FilePatchResult,
    ParsedPatch,
    PatchEdit,
    PatchFailure,
    PatchFormat,
    PatchFormatError,
    PatchResult,
    Placement,
    apply_patch,
    parse_patch,
)
from ._file_edit import (
    DecodeFailed,
    Edit,
    EditFailed,
    FileChanged,
    FileEdit,
    FileEditError,
    apply_edits,
    edit_file,
)
from ._paths import PathRefused
from ._version import __version__

__all__ = [
    "fuzzy_match",
    "get_best_matches",
    "fuzzy_match_simple",
    "replace_content",
    "try_replace_content",
    "StreamingFuzzyMatcher",
    "MatchRange",
    "ReplaceResult",
    "TryReplaceResult",
    "FuzzyMatchInfo",
    "edit_file",
    "apply_edits",
    "Edit",
    "FileEdit",
    "FileEditError",
    "EditFailed",
    "DecodeFailed",
    "FileChanged",
    "apply_patch",
    "parse_patch",
    "PatchFormat",
    "PatchFormatError",
    "PathRefused",
    "PatchResult",
    "FilePatchResult",
    "Placement",
    "PatchFailure",
    "ParsedPatch",
    "FileChange",
    "PatchEdit",
    "__version__",
]
