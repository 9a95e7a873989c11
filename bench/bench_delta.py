"""formula_delta_batch throughput: one thread, two threads, and a pure-Python
tokenizer as a reference point.

Builds a batch of realistic old/new formula pairs (1,000,000 by default):
about a third from the formula texts of the corpus workbooks' XML twins
(when the corpus is present), each changed the ways people change formulas
(unchanged, a range extended, wrapped in IFERROR or ROUND, unwrapped, a
reference added), and the rest generated as columns of copied formulas, whose
cells share their R1C1 texts while their A1 texts differ, with the same kinds
of change. Then it times

- one call classifying the whole batch on one thread;
- two threads each classifying the whole batch at the same time (the calls
  release the interpreter lock, so on two free cores this should come close
  to twice the one-thread throughput);
- openpyxl's formula tokenizer alone over the four texts of every pair: only
  splitting the texts into tokens, none of the classification.

Besides wall-clock throughput it reports pairs per CPU-second over all
threads, which shows whether two calls slow each other down even on a machine
whose other work leaves fewer than two cores free.

    python bench/bench_delta.py [--pairs N] [--reps N]
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import statistics
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

DEFAULT_PAIRS = 1_000_000
DEFAULT_REPS = 3
CORPUS_SHARE = 1 / 3
COLUMN_ROWS = 2_000           # cells per generated column of copied formulas


# ---------------------------------------------------------------------------
# Generated columns. Templates name their references; `references` spells
# them for one cell in either notation: "a" and "b" are the two cells to the
# left, "up" the cell above, "end" the end of a range starting at "a" that an
# extension moves further down, and the rest are absolute ranges.

TEMPLATES = [
    "{a}+{b}",
    "SUM({a}:{end})",
    "IF({a}>0,{b},0)",
    "VLOOKUP({a},Sheet2!{table},3,FALSE)",
    "ROUND({a}*{b},2)",
    "{a}&\" \"&{b}",
    "INDEX(Data!{values},MATCH({a},Data!{keys},0))",
    "AVERAGE({a}:{end})*{b}",
]


def column_letters(col: int) -> str:
    letters = ""
    col += 1
    while col:
        col, rem = divmod(col - 1, 26)
        letters = chr(65 + rem) + letters
    return letters


def references(row: int, col: int, end: int, r1c1: bool) -> dict[str, str]:
    if r1c1:
        return {"a": "RC[-2]", "b": "RC[-1]", "up": "R[-1]C", "end": f"R[{end}]C[-2]",
                "table": "R1C1:R500C4", "keys": "C1", "values": "C2"}
    left2, left1 = column_letters(col - 2), column_letters(col - 1)
    return {"a": f"{left2}{row + 1}", "b": f"{left1}{row + 1}", "up": f"{column_letters(col)}{row}",
            "end": f"{left2}{row + end + 1}", "table": "$A$1:$D$500", "keys": "$A:$A", "values": "$B:$B"}


def render(template: str, row: int, col: int, end: int) -> tuple[str, str]:
    """The (A1, R1C1) texts of a template in the cell at (row, col), zero-based."""
    return (template.format(**references(row, col, end, r1c1=False)),
            template.format(**references(row, col, end, r1c1=True)))


CHANGES = ["same", "extend", "iferror", "round", "unwrap", "add"]


def changed(template: str, change: str) -> tuple[str, str, int]:
    """(old template, new template, end offset added) for one kind of change."""
    if change == "extend":
        return template, template, 3
    if change == "iferror":
        return template, f"IFERROR({template},0)", 0
    if change == "round":
        return template, f"ROUND({template},2)", 0
    if change == "unwrap":
        return f"IFERROR({template},\"\")", template, 0
    if change == "add":
        return template, f"{template}+{{up}}", 0
    return template, template, 0


def generated_pairs(count: int, rng: random.Random) -> list[tuple[str, str, str, str]]:
    pairs = []
    col = 3
    while len(pairs) < count:
        old_template, new_template, grow = changed(rng.choice(TEMPLATES), rng.choice(CHANGES))
        end = rng.randint(5, 50)
        for row in range(1, min(COLUMN_ROWS, count - len(pairs)) + 1):
            old_a1, old_r1c1 = render(old_template, row, col, end)
            new_a1, new_r1c1 = render(new_template, row, col, end + grow)
            pairs.append(("=" + old_a1, "=" + new_a1, "=" + old_r1c1, "=" + new_r1c1))
        col += 1
    return pairs


# ---------------------------------------------------------------------------
# Corpus formulas, changed the same ways. They come as A1 texts only, so the
# R1C1 slots carry the A1 texts as well: the classifier only tokenizes them.

def corpus_pairs(count: int, rng: random.Random) -> list[tuple[str, str, str, str]]:
    from test_formula_delta import AREA_END, CORPUS, corpus_formulas

    if count <= 0 or not (CORPUS / "TWINS.tsv").is_file():
        return []
    formulas = corpus_formulas()
    pairs = []
    while len(pairs) < count:
        old = rng.choice(formulas)
        body = old[1:]
        change = rng.choice(CHANGES)
        area = AREA_END.search(old)
        if change == "extend" and area:
            new = f"{old[:area.start(2)]}{int(area[2]) + 1}{old[area.end(2):]}"
        elif change == "iferror":
            new = f"=IFERROR({body},0)"
        elif change == "round":
            new = f"=ROUND({body},2)"
        elif change == "unwrap":
            old, new = f"=IFERROR({body},\"\")", old
        elif change == "add":
            new = f"{old}+ZZ99"
        else:
            new = old
        # Copied formulas repeat: each pair stands for a few cells.
        pairs.extend([(old, new, old, new)] * rng.randint(1, 8))
    return pairs[:count]


def build_pairs(count: int) -> list[tuple[str, str, str, str]]:
    rng = random.Random(20240601)
    from_corpus = corpus_pairs(int(count * CORPUS_SHARE), rng)
    pairs = from_corpus + generated_pairs(count - len(from_corpus), rng)
    rng.shuffle(pairs)
    return pairs


# ---------------------------------------------------------------------------
# Contenders

def one_thread(mdn, pairs) -> int:
    return len(mdn.formula_delta_batch(pairs))


def two_threads(mdn, pairs) -> int:
    """Two threads each classify the whole batch, started together."""
    barrier = threading.Barrier(2)
    counts = [0, 0]

    def work(slot: int) -> None:
        barrier.wait()
        counts[slot] = len(mdn.formula_delta_batch(pairs))

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return sum(counts)


def openpyxl_tokenizer(_mdn, pairs) -> int:
    from openpyxl.formula.tokenizer import Tokenizer

    for pair in pairs:
        for text in pair:
            try:
                Tokenizer(text)
            except Exception:  # texts it cannot split still cost their time
                pass
    return len(pairs)


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def measure(contender, mdn, pairs, reps: int) -> tuple[float, float, float]:
    """Median wall seconds, pairs per second and pairs per CPU-second (all
    threads of the process) over `reps` runs."""
    walls, cpus, classified = [], [], 0
    for _ in range(reps):
        cpu_start, start = cpu_seconds(), time.perf_counter()
        classified = contender(mdn, pairs)
        walls.append(time.perf_counter() - start)
        cpus.append(cpu_seconds() - cpu_start)
    wall, cpu = statistics.median(walls), statistics.median(cpus)
    return wall, classified / wall, classified / cpu


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=DEFAULT_PAIRS, help="pairs in the batch")
    parser.add_argument("--reps", type=int, default=DEFAULT_REPS, help="runs of each native contender")
    args = parser.parse_args(argv[1:])

    import morvane_diff_native as mdn

    started = time.perf_counter()
    pairs = build_pairs(args.pairs)
    distinct = len(set(pairs))
    print(f"{len(pairs):,} pairs ({distinct:,} distinct) built in {time.perf_counter() - started:.1f} s; "
          f"{os.cpu_count()} CPUs")
    mdn.formula_delta_batch(pairs[:1000])  # first-touch costs out of the way

    rows = [
        ("formula_delta_batch, 1 thread", *measure(one_thread, mdn, pairs, args.reps)),
        ("formula_delta_batch, 2 threads", *measure(two_threads, mdn, pairs, args.reps)),
        ("openpyxl Tokenizer only, 1 thread", *measure(openpyxl_tokenizer, mdn, pairs, 1)),
    ]
    base = rows[0][2]
    header = f"{'contender':<36} {'median s':>9} {'pairs/s':>12} {'vs 1 thread':>12} {'pairs/CPU-s':>12}"
    print(header)
    print("-" * len(header))
    for name, seconds, rate, per_cpu in rows:
        print(f"{name:<36} {seconds:>9.3f} {rate:>12,.0f} {rate / base:>11.2f}x {per_cpu:>12,.0f}")
    print("pairs/CPU-s counts the CPU time of every thread: equal figures for one and two threads mean\n"
          "the calls do not slow each other down, and the wall-clock gain is what the free cores allow.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
