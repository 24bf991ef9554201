"""Workload (g) of bench/run.py on its own: quillmere's bare reader loops against a flat-out writer.

    python bench/plain_readers.py [--quick] [--rounds N]

A writer process writes as fast as it can; one reader process calls `read()`, `read(out=)`
or the zero-copy reader's `try_acquire()` + `release()` in a bare loop, without the
catch-up idiom, the three taking turns within every round. Prints each loop's median
delivered rate at 64 B (4096 slots) and 1 MiB (16 slots) and its share of the zero-copy
reader's rate (median of the per-round shares).
"""

from __future__ import annotations

import argparse
import dataclasses
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import backends  # noqa: E402
import common  # noqa: E402
import report  # noqa: E402
import rounds  # noqa: E402
import xproc  # noqa: E402


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter windows and fewer rounds")
    parser.add_argument("--rounds", type=int, help="rounds (default: as bench/run.py)")
    args = parser.parse_args(argv)
    budget = common.Budget.for_mode(args.quick)
    if args.rounds:
        budget = dataclasses.replace(budget, rounds=args.rounds)
    backend = backends.BY_NAME[report.QM]
    reason = backend.available()
    if reason:
        print(f"skipped: {reason}")
        return 1
    with xproc.Bench(backend) as bench:
        results = {"plain": rounds.plain(bench, budget)}
    print(report.plain_section(results))
    for target in report.plain_targets(results):
        print(f"  [{'met' if target['met'] else 'MISSED'}] {target['target']}: {target['measured']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
