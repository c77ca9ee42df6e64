#!/usr/bin/env python3
"""The performance table, from one run of varnel_bench (bench/run.sh).

  figures.py spread RUN.json            exit 0 when every row's spread is under 5 %
  figures.py table RUN.json [VIS.json] --load L --commit C [--write FILE ...]

Every figure is the median CPU time of the run's repetitions, every ratio divides
two rows of that same run, and every row carries its spread: the interquartile
range of the repetitions over their median. `--write` replaces what lies between the markers
"<!-- figures:begin -->" and "<!-- figures:end -->" in each file.
"""
import argparse
import datetime
import json
import re
import statistics
import sys

LIMIT = 0.05  # the spread a figure must stay under to count as reproduced

BEGIN, END = "<!-- figures:begin -->", "<!-- figures:end -->"


def load_rows(paths):
    """run name -> list of per-repetition results (CPU time in ns, counters)."""
    rows = {}
    context = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        context = data.get("context", context)
        for b in data["benchmarks"]:
            if b.get("run_type") != "iteration" or b.get("error_occurred"):
                continue
            scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
            entry = dict(b)
            entry["cpu_ns"] = b["cpu_time"] * scale
            entry["real_ns"] = b["real_time"] * scale
            rows.setdefault(b["run_name"], []).append(entry)
    return rows, context


def median(rows, name, field="cpu_ns"):
    values = [r[field] for r in rows.get(name, []) if field in r]
    return statistics.median(values) if values else None


def spread(rows, name, field="cpu_ns"):
    """The interquartile range over the median: how far apart the middle half of
    the repetitions lie. (Max - min would let one repetition that another process
    interrupted decide it.)"""
    values = sorted(r[field] for r in rows.get(name, []) if field in r)
    if len(values) < 4:
        return None
    quartiles = statistics.quantiles(values, n=4, method="inclusive")
    middle = statistics.median(values)
    return (quartiles[2] - quartiles[0]) / middle if middle else None


def human(ns):
    if ns is None:
        return "not measured"
    if ns >= 1e6:
        return f"{ns / 1e6:.3g} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.3g} µs"
    return f"{ns:.3g} ns"


# (what, run name, field, comparisons: [(label, run name, field)])
TABLE = [
    ("`add_node` (one published version), index kept", "BM_AddNode/indexed:1", "cpu_ns",
     [("without the index", "BM_AddNode/indexed:0", "cpu_ns"),
      ("a memcpy of its bytes into the next slots", "BM_AddNodeFloor/hot:0", "cpu_ns"),
      ("the same bytes into one hot slot", "BM_AddNodeFloor/hot:1", "cpu_ns"),
      ("LMDB, one write transaction per version", "BM_LmdbPutVersion", "cpu_ns"),
      ("LMDB, appended under ascending keys", "BM_LmdbAppendVersion", "cpu_ns")]),
    ("`add_node` with a recorder in another process (the writer's CPU time; writer and recorder on a core each)",
     "BM_AddNodeRecordedAcrossProcesses/recorder:1/real_time",
     "cpu_ns", [("no recorder", "BM_AddNodeRecordedAcrossProcesses/recorder:0/real_time", "cpu_ns")]),
    ("the same with the recorder a thread of the writer's process", "BM_AddNodeRecorded/recorder:1/real_time",
     "cpu_ns", [("no recorder", "BM_AddNodeRecorded/recorder:0/real_time", "cpu_ns"),
                ("no recorder, the other core busy with its own memory (what a busy neighbour costs here)",
                 "BM_AddNodeRecorded/recorder:2/real_time", "cpu_ns")]),
    ("latest-version lookup, hit near the tail", "BM_LookupHitNearTail/indexed:1", "cpu_ns",
     [("LMDB get", "BM_LmdbGetLatest", "cpu_ns")]),
    ("latest-version lookup, slot 0 of a full kind", "BM_LookupHitSlot0FullKind/indexed:1", "cpu_ns",
     [("scan", "BM_LookupHitSlot0FullKind/indexed:0", "cpu_ns")]),
    ("`get_nodes_of_type` over all time, full kind (21,000 versions, 1,000 instances)",
     "BM_NodesOfTypeFullKind/variant:2", "cpu_ns",
     [("the plain walk", "BM_NodesOfTypeFullKind/variant:0", "cpu_ns"),
      ("an iterator over the kind", "BM_IteratorWalkFullKind/variant:2", "cpu_ns"),
      ("LMDB cursor over 1,000 versions", "BM_LmdbKindRange", "cpu_ns")]),
    ("the same over the newest 1 % of the kind's versions", "BM_NodesOfTypeNewestPercent/variant:2", "cpu_ns",
     [("the plain walk", "BM_NodesOfTypeNewestPercent/variant:0", "cpu_ns")]),
    ("`get_all_nodes` over all time, same graph", "BM_AllNodes/variant:2", "cpu_ns",
     [("the plain walk", "BM_AllNodes/variant:0", "cpu_ns")]),
    ("`remove_node` with 80 relations, full graph", "BM_RemoveNode80Relations/indexed:1/iterations:4/manual_time",
     "real_ns",
     [("scan", "BM_RemoveNode80Relations/indexed:0/iterations:4/manual_time", "real_ns")]),
    ("`add_relation`, nodes deep in full kinds", "BM_AddRelationDeep/indexed:1", "cpu_ns",
     [("scan", "BM_AddRelationDeep/indexed:0", "cpu_ns")]),
    ("reader snapshot of the published state", "BM_ReaderSnapshot", "cpu_ns", []),
]


def ratio(a, b):
    if a is None or b is None or b == 0:
        return ""
    r = a / b
    return f"{r:.2f}x the time" if r >= 1 else f"{1 / r:.3g}x faster"


def spread_text(s):
    if s is None:
        return "one repetition"
    mark = "" if s < LIMIT else " (over 5 %)"
    return f"{100 * s:.1f} %{mark}"


def table(rows, visibility):
    lines = ["| work | varnel | spread | compared in the same run | spread | varnel against it |",
             "|---|---|---|---|---|---|"]
    for what, name, field, comparisons in TABLE:
        ours = median(rows, name, field)
        if ours is None:
            continue
        first = True
        for label, other, other_field in comparisons or [("", None, None)]:
            theirs = median(rows, other, other_field) if other else None
            cells = [what, human(ours), spread_text(spread(rows, name, field))] if first else ["", "", ""]
            if other:
                cells += [f"{label}: {human(theirs)}", spread_text(spread(rows, other, other_field)),
                          ratio(ours, theirs)]
            else:
                cells += ["", "", ""]
            lines.append("| " + " | ".join(cells) + " |")
            first = False
    def latency(v):
        return f"median {human(v.get('median_ns'))}, p99 {human(v.get('p99_ns'))}"

    for v in visibility.get("BM_VisibilityAcrossProcesses/iterations:1", []):
        lines.append(f"| write seen by a reader spinning in another process (two cores) | {latency(v)} | one run | | | |")
    woken = visibility.get("BM_CommitToReaderAcrossProcesses/waiting:1/iterations:1/real_time", [])
    spinning = visibility.get("BM_CommitToReaderAcrossProcesses/waiting:0/iterations:1/real_time", [])
    for v in woken:
        other = ""
        if spinning:
            s = spinning[0]
            other = (f"a reader spinning on the same commits: {latency(s)}, "
                     f"{s.get('reader_cpu_us', 0):.0f} µs CPU per commit")
        lines.append(f"| commit waking a reader asleep in `wait_for_publication`, another process (two cores) | "
                     f"{latency(v)}, {v.get('reader_cpu_us', 0):.0f} µs CPU per commit | one run | {other} | one run | |")
    return "\n".join(lines)


def over_limit(rows):
    names = {name for _, name, _, comps in TABLE for name in [name] + [c[1] for c in comps]}
    fields = {}
    for _, name, field, comps in TABLE:
        fields[name] = field
        for _, other, other_field in comps:
            fields[other] = other_field
    return sorted(n for n in names if n in rows and (spread(rows, n, fields[n]) or 0) >= LIMIT)


def replace_between(path, text):
    with open(path) as f:
        content = f.read()
    pattern = re.compile(re.escape(BEGIN) + ".*?" + re.escape(END), re.S)
    if not pattern.search(content):
        sys.exit(f"{path}: no {BEGIN} ... {END} markers to replace between")
    content = pattern.sub(lambda _: BEGIN + "\n" + text + "\n" + END, content)
    with open(path, "w") as f:
        f.write(content)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["spread", "table"])
    parser.add_argument("run")
    parser.add_argument("visibility", nargs="?")
    parser.add_argument("--recorded", help="the recorder rows, run apart on two cores")
    parser.add_argument("--load", default="unknown")
    parser.add_argument("--commit", default="unknown")
    parser.add_argument("--repetitions", default="?")
    parser.add_argument("--write", nargs="*", default=[])
    args = parser.parse_args()
    rows, context = load_rows([args.run] + ([args.recorded] if args.recorded else []))
    over = over_limit(rows)
    if args.command == "spread":
        for name in over:
            print(f"  spread over 5 %: {name} ({spread_text(spread(rows, name))})")
        return 1 if over else 0
    visibility = {}
    if args.visibility:
        visibility, _ = load_rows([args.visibility])
    date = datetime.date.today().isoformat()
    header = (f"Measured by `bench/run.sh` on {date} at commit {args.commit}: `varnel_bench` "
              f"(RelWithDebInfo) pinned to one core, {args.repetitions} repetitions interleaved at random "
              f"so that every pair below ran side by side in one process (the rows across processes, and "
              f"the writer with a recorder attached, on two cores); medians of CPU time (wall time "
              f"where the row says so). Machine: {context.get('num_cpus', '?')} CPUs at "
              f"{context.get('mhz_per_cpu', '?')} MHz; load average before the run {args.load}. "
              f"Ratios divide two rows of this run; the spread is the interquartile range of a row's "
              f"repetitions over their median, and one over 5 % means the row did not reproduce within 5 %"
              + (f" ({len(over)} rows: the machine was busy)." if over else "."))
    text = header + "\n\n" + table(rows, visibility)
    print(text)
    for path in args.write:
        replace_between(path, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
