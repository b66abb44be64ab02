"""Plain-text tables for the command line and the batch summary."""

from __future__ import annotations

from collections.abc import Sequence

__all__ = ["format_table"]


def format_table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    """Rows under headers, in left-aligned columns."""
    cells = [list(map(str, headers))] + [[str(cell) for cell in row] for row in rows]
    widths = [max(len(row[column]) for row in cells) for column in range(len(headers))]
    lines = ("  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=True)) for row in cells)
    return "\n".join(line.rstrip() for line in lines)
