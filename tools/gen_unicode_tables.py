#!/usr/bin/env python3
"""Generate the Unicode tables behind src/text/unicode_data.h.

Reads four files of the Unicode Character Database (UnicodeData.txt, SpecialCasing.txt,
DerivedCoreProperties.txt and PropList.txt; Debian's `unicode-data` package installs them in
/usr/share/unicode) and writes:

  src/text/unicode_tables.inc
      White_Space, Cased and Case_Ignorable as packed range tables, and the full default
      lowercase and uppercase mappings (UnicodeData's simple mappings overridden by the
      unconditional entries of SpecialCasing.txt) as a two-stage table of deltas plus a short
      list of the mappings longer than one code point. Tables only: the row types and the
      lookups over them are hand-written, in src/text/unicode_tables.h.
  tests/support/unicode_assigned_ranges.txt
      the code points assigned in that version (general category other than Cn), which the
      Python tests use to pick the code points they compare with the interpreter's own tables.

The build never reads the database; run this script again only to move to another Unicode
version, then format-check and commit both outputs:

  python3 tools/gen_unicode_tables.py [--ucd-dir DIR] [--output FILE] [--ranges-output FILE]
"""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_UCD_DIR = Path("/usr/share/unicode")
DEFAULT_OUTPUT = REPO / "src" / "text" / "unicode_tables.inc"
DEFAULT_RANGES_OUTPUT = REPO / "tests" / "support" / "unicode_assigned_ranges.txt"

MAX_CODE_POINT = 0x10FFFF
# A range table entry packs (first << RANGE_LENGTH_BITS) | (last - first) into 32 bits.
RANGE_LENGTH_BITS = 11
# SpecialCasing maps a code point to at most three code points; MultiMapping in
# src/text/unicode_tables.h has as many slots.
MAX_MAPPING_LENGTH = 3
ASCII_WHITE_SPACE = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20}


class UcdError(Exception):
    pass


@dataclass
class Ucd:
    version: str
    simple_lower: dict[int, int]
    simple_upper: dict[int, int]
    special_lower: dict[int, list[int]]
    special_upper: dict[int, list[int]]
    assigned: list[tuple[int, int]]
    white_space: set[int]
    cased: set[int]
    case_ignorable: set[int]

    def lower_full(self, cp: int) -> list[int]:
        return self.special_lower.get(cp) or [self.simple_lower.get(cp, cp)]

    def upper_full(self, cp: int) -> list[int]:
        return self.special_upper.get(cp) or [self.simple_upper.get(cp, cp)]


def data_lines(path: Path):
    """Yields the ';'-separated fields of each data line, comments stripped."""
    with path.open(encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def file_version(path: Path) -> str:
    """The version named on the first line of a UCD file: '# PropList-15.0.0.txt'."""
    with path.open(encoding="utf-8") as f:
        first = f.readline()
    m = re.match(r"#\s*\w+-(\d+\.\d+\.\d+)\.txt", first)
    if not m:
        raise UcdError(f"{path}: no version on the first line")
    return m.group(1)


def code_points(field: str) -> range:
    first, _, last = field.partition("..")
    return range(int(first, 16), int(last or first, 16) + 1)


def merge_ranges(cps) -> list[tuple[int, int]]:
    ranges: list[list[int]] = []
    for cp in sorted(cps):
        if ranges and ranges[-1][1] == cp - 1:
            ranges[-1][1] = cp
        else:
            ranges.append([cp, cp])
    return [(a, b) for a, b in ranges]


def read_property(path: Path, name: str) -> set[int]:
    members: set[int] = set()
    for fields in data_lines(path):
        if fields[1] == name:
            members.update(code_points(fields[0]))
    if not members:
        raise UcdError(f"{path}: no code point has {name}")
    return members


def read_ucd(ucd_dir: Path) -> Ucd:
    paths = {
        name: ucd_dir / f"{name}.txt"
        for name in ("UnicodeData", "SpecialCasing", "DerivedCoreProperties", "PropList")
    }
    for path in paths.values():
        if not path.is_file():
            raise UcdError(f"{path} not found (install Debian's unicode-data or pass --ucd-dir)")
    # UnicodeData.txt carries no version line; the three others must agree.
    versions = {file_version(paths[n]) for n in ("SpecialCasing", "DerivedCoreProperties", "PropList")}
    if len(versions) != 1:
        raise UcdError(f"{ucd_dir}: files of different Unicode versions {sorted(versions)}")

    simple_lower: dict[int, int] = {}
    simple_upper: dict[int, int] = {}
    assigned: set[int] = set()
    range_first = None
    for fields in data_lines(paths["UnicodeData"]):
        cp, name, category = int(fields[0], 16), fields[1], fields[2]
        if name.endswith(", First>"):
            range_first = cp
            continue
        if name.endswith(", Last>"):
            if range_first is None:
                raise UcdError(f"UnicodeData.txt: range end {cp:04X} without a start")
            assigned.update(range(range_first, cp + 1))
            range_first = None
            continue
        if category != "Cn":
            assigned.add(cp)
        if fields[12]:
            simple_upper[cp] = int(fields[12], 16)
        if fields[13]:
            simple_lower[cp] = int(fields[13], 16)

    special_lower: dict[int, list[int]] = {}
    special_upper: dict[int, list[int]] = {}
    for fields in data_lines(paths["SpecialCasing"]):
        # code; lower; title; upper; [condition list;] — a condition (Final_Sigma, or a
        # language such as tr or lt) makes the entry context- or locale-dependent: skipped.
        if len(fields) > 4 and fields[4]:
            continue
        cp = int(fields[0], 16)
        special_lower[cp] = [int(x, 16) for x in fields[1].split()]
        special_upper[cp] = [int(x, 16) for x in fields[3].split()]

    return Ucd(
        version=versions.pop(),
        simple_lower=simple_lower,
        simple_upper=simple_upper,
        special_lower=special_lower,
        special_upper=special_upper,
        assigned=merge_ranges(assigned),
        white_space=read_property(paths["PropList"], "White_Space"),
        cased=read_property(paths["DerivedCoreProperties"], "Cased"),
        case_ignorable=read_property(paths["DerivedCoreProperties"], "Case_Ignorable"),
    )


def check_ascii_fast_paths(ucd: Ucd) -> None:
    """unicode_data.h answers ASCII inline with A-Z <-> a-z and six White_Space characters."""
    for cp in range(0x80):
        upper_letter, lower_letter = 0x41 <= cp <= 0x5A, 0x61 <= cp <= 0x7A
        if ucd.lower_full(cp) != [cp + 32 if upper_letter else cp]:
            raise UcdError(f"U+{cp:04X}: lowercase differs from the inline ASCII rule")
        if ucd.upper_full(cp) != [cp - 32 if lower_letter else cp]:
            raise UcdError(f"U+{cp:04X}: uppercase differs from the inline ASCII rule")
        if (cp in ucd.white_space) != (cp in ASCII_WHITE_SPACE):
            raise UcdError(f"U+{cp:04X}: White_Space differs from the inline ASCII rule")


@dataclass
class CaseTables:
    shift: int
    limit: int  # code points from here on map to themselves
    stage1: list[int]
    stage2: list[int]
    deltas: list[tuple[int, int]]  # (first lower - cp, first upper - cp)
    lower_multi: list[tuple[int, list[int]]]
    upper_multi: list[tuple[int, list[int]]]

    def size(self) -> int:
        return (
            len(self.stage1) * int_size(max(self.stage1))
            + len(self.stage2) * int_size(max(self.stage2))
            + len(self.deltas) * 8
            + (len(self.lower_multi) + len(self.upper_multi)) * 4 * (1 + MAX_MAPPING_LENGTH)
        )


def int_size(largest: int) -> int:
    return 1 if largest < 0x100 else 2


def build_case_tables(ucd: Ucd) -> CaseTables:
    deltas: dict[tuple[int, int], int] = {(0, 0): 0}
    per_cp = []
    for cp in range(MAX_CODE_POINT + 1):
        pair = (ucd.lower_full(cp)[0] - cp, ucd.upper_full(cp)[0] - cp)
        per_cp.append(deltas.setdefault(pair, len(deltas)))
    end = max(cp for cp, index in enumerate(per_cp) if index) + 1

    best = None
    for shift in range(2, 12):
        block = 1 << shift
        blocks: dict[tuple[int, ...], int] = {}
        stage1 = []
        for start in range(0, end, block):
            stage1.append(blocks.setdefault(tuple(per_cp[start : start + block]), len(blocks)))
        stage2 = [index for b in blocks for index in b]
        size = len(stage1) * int_size(max(stage1)) + len(stage2) * int_size(max(stage2))
        if best is None or size < best[0]:
            best = (size, shift, stage1, stage2)
    _, shift, stage1, stage2 = best

    def multi(special: dict[int, list[int]]):
        return sorted((cp, m) for cp, m in special.items() if len(m) > 1)

    lower_multi, upper_multi = multi(ucd.special_lower), multi(ucd.special_upper)
    for _, m in lower_multi + upper_multi:
        if len(m) > MAX_MAPPING_LENGTH:
            raise UcdError(f"a case mapping longer than {MAX_MAPPING_LENGTH} code points: {m}")
    return CaseTables(
        shift=shift,
        limit=len(stage1) << shift,
        stage1=stage1,
        stage2=stage2,
        deltas=list(deltas),
        lower_multi=lower_multi,
        upper_multi=upper_multi,
    )


def packed_ranges(cps: set[int]) -> list[int]:
    packed = []
    for first, last in merge_ranges(cps):
        # A run longer than one entry can hold is split over several entries.
        while last - first >= 1 << RANGE_LENGTH_BITS:
            packed.append(first << RANGE_LENGTH_BITS | ((1 << RANGE_LENGTH_BITS) - 1))
            first += 1 << RANGE_LENGTH_BITS
        packed.append(first << RANGE_LENGTH_BITS | (last - first))
    return packed


def c_array(decl: str, items: list[str], indent: str = "    ", width: int = 100) -> list[str]:
    lines = [decl + " = {"]
    line = indent
    for item in items:
        piece = item + ","
        if len(line) + len(piece) + 1 > width and line.strip():
            lines.append(line.rstrip())
            line = indent
        line += piece + " "
    if line.strip():
        lines.append(line.rstrip())
    lines.append("};")
    return lines


def uint_type(largest: int) -> str:
    return f"std::uint{8 * int_size(largest)}_t"


def multi_array(name: str, entries: list[tuple[int, list[int]]]) -> list[str]:
    items = []
    for cp, mapping in entries:
        padded = mapping + [0] * (MAX_MAPPING_LENGTH - len(mapping))
        items.append(f"{{0x{cp:04X}, {{{', '.join(f'0x{m:04X}' for m in padded)}}}}}")
    return c_array(f"inline constexpr MultiMapping {name}[{len(entries)}]", items)


def render_tables(ucd: Ucd, case: CaseTables, ranges: dict[str, list[int]]) -> str:
    tables = []
    tables += c_array(
        f"inline constexpr {uint_type(max(case.stage1))} kCaseStage1[{len(case.stage1)}]",
        [str(v) for v in case.stage1],
    )
    tables += c_array(
        f"inline constexpr {uint_type(max(case.stage2))} kCaseStage2[{len(case.stage2)}]",
        [str(v) for v in case.stage2],
    )
    tables += c_array(
        f"inline constexpr CaseDelta kCaseDeltas[{len(case.deltas)}]",
        [f"{{{lo}, {up}}}" for lo, up in case.deltas],
    )
    tables += multi_array("kLowerMulti", case.lower_multi)
    tables += multi_array("kUpperMulti", case.upper_multi)
    for name, packed in ranges.items():
        tables += c_array(
            f"inline constexpr std::uint32_t {name}[{len(packed)}]", [f"0x{v:X}" for v in packed]
        )
    range_bytes = 4 * sum(len(p) for p in ranges.values())

    return f"""\
// Generated by tools/gen_unicode_tables.py from the Unicode Character Database {ucd.version}
// (UnicodeData.txt, SpecialCasing.txt, DerivedCoreProperties.txt, PropList.txt).
// Do not edit by hand: change the generator and run it again.
//
// Tables: {case.size()} bytes of case mappings, {range_bytes} bytes of property ranges.
// Included by text/unicode_tables.h, which defines the row types and the lookups.

// clang-format off
inline constexpr std::string_view kUnicodeVersion = "{ucd.version}";

inline constexpr unsigned kCaseShift = {case.shift};
inline constexpr char32_t kCaseLimit = 0x{case.limit:X};
inline constexpr unsigned kRangeLengthBits = {RANGE_LENGTH_BITS};

{chr(10).join(tables)}
// clang-format on
"""


def render_assigned_ranges(ucd: Ucd) -> str:
    lines = [
        f"# Code points assigned in Unicode {ucd.version}: every general category but Cn,",
        "# from UnicodeData.txt with its First/Last ranges expanded. Read by",
        "# tests/python/test_unicode_tables.py.",
        "# Generated by tools/gen_unicode_tables.py; do not edit by hand.",
        f"version {ucd.version}",
    ]
    lines += [f"{a:04X}..{b:04X}" for a, b in ucd.assigned]
    return "\n".join(lines) + "\n"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n", 1)[0],
        epilog="Example: python3 tools/gen_unicode_tables.py --ucd-dir /usr/share/unicode",
    )
    parser.add_argument(
        "--ucd-dir",
        type=Path,
        default=DEFAULT_UCD_DIR,
        help="directory holding UnicodeData.txt, SpecialCasing.txt, DerivedCoreProperties.txt "
        "and PropList.txt (default: %(default)s, from Debian's unicode-data package)",
    )
    parser.add_argument(
        "--output",
        type=Path,
        default=DEFAULT_OUTPUT,
        help="C++ tables to write (default: %(default)s)",
    )
    parser.add_argument(
        "--ranges-output",
        type=Path,
        default=DEFAULT_RANGES_OUTPUT,
        help="assigned code point ranges for the Python tests (default: %(default)s)",
    )
    args = parser.parse_args(argv)

    try:
        ucd = read_ucd(args.ucd_dir)
        check_ascii_fast_paths(ucd)
        case = build_case_tables(ucd)
        ranges = {
            "kWhiteSpaceRanges": packed_ranges(ucd.white_space),
            "kCasedRanges": packed_ranges(ucd.cased),
            "kCaseIgnorableRanges": packed_ranges(ucd.case_ignorable),
        }
    except UcdError as e:
        print(f"gen_unicode_tables.py: {e}", file=sys.stderr)
        return 1

    args.output.write_text(render_tables(ucd, case, ranges), encoding="utf-8")
    args.ranges_output.write_text(render_assigned_ranges(ucd), encoding="utf-8")
    print(f"Unicode {ucd.version}: wrote {args.output} and {args.ranges_output}")
    print(
        f"  case mappings: {case.size()} bytes (shift {case.shift}, limit U+{case.limit:04X}, "
        f"{len(case.stage1)} + {len(case.stage2)} stage entries, {len(case.deltas)} deltas, "
        f"{len(case.lower_multi)} + {len(case.upper_multi)} multi-code-point mappings)"
    )
    for name, packed in ranges.items():
        print(f"  {name}: {len(packed)} ranges, {4 * len(packed)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
