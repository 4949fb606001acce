"""Reads a memcheck log and fails when an error's stack passes through one
of orvane's native modules.

The interpreter itself is not built for memcheck and reports errors of its
own (uninitialised reads in its parser and allocator); only the errors in
our code decide the run.
"""

from __future__ import annotations

import re
import sys

OURS = re.compile(r"/orvane/(pcm|_isotrak|_interop)\.|pcm_consumer")


def error_blocks(log: str) -> list[str]:
    blocks, current = [], []
    for line in log.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if body.strip():
            current.append(body)
        elif current:
            blocks.append("\n".join(current))
            current = []
    if current:
        blocks.append("\n".join(current))
    return [b for b in blocks if b.startswith(("Invalid", "Conditional", "Use of", "Syscall", "Mismatched"))]


def main(path: str) -> int:
    with open(path, encoding="utf-8", errors="replace") as log:
        blocks = error_blocks(log.read())
    ours = [b for b in blocks if OURS.search(b)]
    print(f"memcheck: {len(blocks)} errors in all, {len(ours)} in orvane's modules")
    for block in ours:
        print(block, end="\n\n")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
