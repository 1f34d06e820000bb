"""Packs the module's constant table into the compressed block that start-up decodes.

Run by the build, never by hand:

    generate_constants.py --table constant_table.h --output constant_block.cpp

Reads the X-macro rows of ``constant_table.h`` (plain texts, interned names and
the line tables of the six code objects) and writes a C++ source that defines
the zlib block (RFC 1950, level 9) holding every entry back to back, and the
table of entry lengths. Kinds come by position: plain texts, interned names,
then the line tables in the format of ``co_linetable`` (one location entry per
code unit).
"""

from __future__ import annotations

import argparse
import re
import sys
import zlib
from dataclasses import dataclass
from pathlib import Path

# Algorithm number of the stored block: 1 is zlib (the module's decompressor
# selection reads 2 as bz2 and 3 as compression.zstd).
ALGORITHM = 1
COMPRESSION_LEVEL = 9
MAX_ENTRY_LENGTH = 255

STRING_FAMILIES = ("TOVREN_PLAIN_TEXTS", "TOVREN_INTERNED_NAMES")
LINE_TABLE_FAMILY = "TOVREN_LINE_TABLES"

_LITERALS = r'((?:\s*"[^"\\\n]*")+)'
_STRING_ROW = re.compile(r"X\(\s*(\w+)\s*," + _LITERALS + r"\s*\)")
_LINE_TABLE_ROW = re.compile(r"X\(\s*(\w+)\s*,\s*(\d+)\s*," + _LITERALS + r"\s*\)")
_UNIT = re.compile(r"^(\d+):(\d+)-(\d+)$")


class TableError(Exception):
    """The table header cannot be packed as it stands."""


@dataclass(frozen=True)
class CodeUnit:
    line: int
    start_column: int
    end_column: int


@dataclass(frozen=True)
class LineTable:
    identifier: str
    first_line: int
    units: tuple[CodeUnit, ...]


@dataclass(frozen=True)
class ConstantTable:
    plain_texts: tuple[tuple[str, str], ...]
    interned_names: tuple[tuple[str, str], ...]
    line_tables: tuple[LineTable, ...]


def _macro_body(source: str, family: str) -> str:
    """Returns the body of ``#define family(X)``, its continuation lines joined."""
    match = re.search(r"^#define\s+" + family + r"\(X\)(.*?)(?<!\\)$", source, re.M | re.S)
    if match is None:
        raise TableError(f"no '#define {family}(X)' in the table")
    return match.group(1).replace("\\\n", " ")


def _join_literals(literals: str) -> str:
    return "".join(re.findall(r'"([^"]*)"', literals))


def _rows(body: str, pattern: re.Pattern[str], family: str) -> list[re.Match[str]]:
    rows = list(pattern.finditer(body))
    # Every X( must be a well-formed row: a literal with an escape or a stray
    # token would otherwise drop out of the block silently.
    if len(rows) != body.count("X("):
        raise TableError(f"{family}: a row is malformed (texts must be literals without escapes)")
    leftover = pattern.sub("", body).strip()
    if leftover:
        raise TableError(f"{family}: unexpected text {leftover[:40]!r}")
    return rows


def _parse_units(identifier: str, text: str) -> tuple[CodeUnit, ...]:
    units = []
    for item in text.split():
        match = _UNIT.match(item)
        if match is None:
            raise TableError(f"{identifier}: code unit {item!r} is not line:start-end")
        line, start, end = (int(group) for group in match.groups())
        if end < start:
            raise TableError(f"{identifier}: code unit {item!r} ends before it starts")
        units.append(CodeUnit(line, start, end))
    if not units:
        raise TableError(f"{identifier}: a line table needs at least one code unit")
    return tuple(units)


def parse_table(source: str) -> ConstantTable:
    families = []
    for family in STRING_FAMILIES:
        rows = _rows(_macro_body(source, family), _STRING_ROW, family)
        families.append(tuple((row.group(1), _join_literals(row.group(2))) for row in rows))
    line_tables = []
    for row in _rows(_macro_body(source, LINE_TABLE_FAMILY), _LINE_TABLE_ROW, LINE_TABLE_FAMILY):
        identifier, first_line = row.group(1), int(row.group(2))
        units = _parse_units(identifier, _join_literals(row.group(3)))
        if units[0].line != first_line:
            raise TableError(f"{identifier}: the first code unit must lie on line {first_line}")
        line_tables.append(LineTable(identifier, first_line, units))
    identifiers = [name for family in families for name, _ in family]
    duplicates = sorted({name for name in identifiers if identifiers.count(name) > 1})
    if duplicates:
        raise TableError(f"identifiers used twice: {', '.join(duplicates)}")
    return ConstantTable(families[0], families[1], tuple(line_tables))


def _varint(value: int) -> bytes:
    out = bytearray()
    while value >= 64:
        out.append(0x40 | (value & 63))
        value >>= 6
    out.append(value)
    return bytes(out)


def _signed_varint(value: int) -> bytes:
    return _varint(((-value) << 1) | 1 if value < 0 else value << 1)


def encode_line_table(table: LineTable) -> bytes:
    """Encodes one location entry per code unit, choosing the shortest form the
    interpreter's location-table format allows for it."""
    out = bytearray()
    line = table.first_line
    for unit in table.units:
        delta = unit.line - line
        line = unit.line
        start, end = unit.start_column, unit.end_column
        if delta == 0 and start < 80 and end - start < 16:
            out.append(0x80 | ((start >> 3) << 3))
            out.append(((start & 7) << 4) | (end - start))
        elif 0 <= delta < 3 and start < 128 and end < 128:
            out.append(0x80 | ((10 + delta) << 3))
            out += bytes((start, end))
        else:
            out.append(0x80 | (14 << 3))
            out += _signed_varint(delta) + _varint(0) + _varint(start + 1) + _varint(end + 1)
    return bytes(out)


def entries(table: ConstantTable) -> list[bytes]:
    texts = [text for _, text in table.plain_texts + table.interned_names]
    return [text.encode("utf-8") for text in texts] + [
        encode_line_table(line_table) for line_table in table.line_tables
    ]


@dataclass(frozen=True)
class PackedBlock:
    stored: bytes
    lengths: tuple[int, ...]

    @property
    def inflated_size(self) -> int:
        return sum(self.lengths)


def pack(table: ConstantTable) -> PackedBlock:
    data = entries(table)
    for index, entry in enumerate(data):
        if len(entry) > MAX_ENTRY_LENGTH:
            raise TableError(f"entry {index} is {len(entry)} bytes, above {MAX_ENTRY_LENGTH}")
    return PackedBlock(zlib.compress(b"".join(data), COMPRESSION_LEVEL), tuple(map(len, data)))


def _byte_rows(data: bytes | tuple[int, ...], form: str = "0x{:02x}", per_row: int = 16) -> str:
    rows = []
    for start in range(0, len(data), per_row):
        rows.append("    " + ", ".join(form.format(byte) for byte in data[start : start + per_row]) + ",")
    return "\n".join(rows)


def render(block: PackedBlock, table: ConstantTable) -> str:
    return f"""\
// Generated at build time by generate_constants.py from constant_table.h.
// Do not edit and do not commit: the table header is the source of truth.
//
// {len(block.lengths)} entries: {len(table.plain_texts)} plain texts, \
{len(table.interned_names)} interned names, {len(table.line_tables)} line tables.
// {block.inflated_size} bytes inflated, {len(block.stored)} bytes stored.
#include "frame/constant_block.h"

namespace tovren::constant_block {{

const unsigned char kStoredBlock[] = {{
{_byte_rows(block.stored)}
}};
const std::size_t kStoredBlockSize = sizeof(kStoredBlock);

const unsigned char kEntryLengths[] = {{
{_byte_rows(block.lengths, "{:3d}")}
}};
static_assert(sizeof(kEntryLengths) == kEntryCount,
              "the generated length table disagrees with constant_table.h");

const int kAlgorithm = {ALGORITHM};

}}  // namespace tovren::constant_block
"""


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--table", type=Path, required=True, help="constant_table.h")
    parser.add_argument("--output", type=Path, required=True, help="C++ source to write")
    arguments = parser.parse_args(argv)
    try:
        table = parse_table(arguments.table.read_text(encoding="utf-8"))
        block = pack(table)
    except (TableError, UnicodeDecodeError) as error:
        print(f"{arguments.table}: {error}", file=sys.stderr)
        return 1
    text = render(block, table)
    # Rewritten only when the content changes, so an unchanged table does not
    # recompile the data.
    if not arguments.output.exists() or arguments.output.read_text(encoding="utf-8") != text:
        arguments.output.parent.mkdir(parents=True, exist_ok=True)
        arguments.output.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
