#!/usr/bin/env python3
"""Mutation runner: how many small faults in twopc/ and orv/ does the test suite catch?

  scripts/mutate.py sample [--count N] [--seed S]   draw a sample, spread over the subsystems
  scripts/mutate.py run [--jobs J] [--limit K]      evaluate the sample's pending mutants
  scripts/mutate.py rerun MUTANT_ID ...             forget results so that run evaluates them again
  scripts/mutate.py merge OTHER_STATE               take a second runner's results (run --reverse
                                                    in a copy of the tree halves the wall time)
  scripts/mutate.py report [--markdown]             score, survivors, and what each test kills alone

One mutant at a time: the runner edits one line, rebuilds (build/mingw), runs the whole
CTest suite, records which tests and test cases failed, and puts the line back. The state
file (build/mutation/state.json by default) is written after every mutant, so a run can be
stopped with Ctrl+C and resumed by starting it again. A mutant that does not compile is
recorded as such and counts neither way.

The build directory should be configured with a lowered test timeout, so that a mutant that
hangs a test costs less than the default two minutes, and without optimisation or debug
information, which makes each rebuild several times cheaper:
  cmake -S . -B build/mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DCMAKE_C_FLAGS_DEBUG=-O0 \
        -DTWOPC_TEST_TIMEOUT=45
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE_DIRS = ["twopc", "orv"]
SOURCE_SUFFIXES = {".cpp", ".h"}
# Tests that prepare the run rather than test the server; their failure means "not run".
FIXTURE_TESTS = {"wine_prefix_setup", "harness_crash_fails"}

COMPARISON_SWAPS = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
CODE_SWAPS = {
    "S_OK": "S_FALSE", "S_FALSE": "S_OK", "E_INVALIDARG": "E_FAIL", "E_FAIL": "E_INVALIDARG",
    "E_OUTOFMEMORY": "E_FAIL", "E_POINTER": "E_INVALIDARG", "E_NOINTERFACE": "E_FAIL",
    "true": "false", "false": "true",
}
COMPARISON = re.compile(r"(?<=\S) (==|!=|<=|>=|<|>) (?=\S)")
LOGIC = re.compile(r" (&&|\|\|) ")
CODE = re.compile(r"\b(S_OK|S_FALSE|E_INVALIDARG|E_FAIL|E_OUTOFMEMORY|E_POINTER|E_NOINTERFACE|true|false|OPC_[ES]_[A-Z_]+)\b")
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
STATEMENT = re.compile(r"^(\s*)([A-Za-z_][\w:.\->\[\]]*(\(.*\)|\s*[-+*/|&^]?=\s*.+|\+\+|--)|\+\+\w+|--\w+);\s*$")
LOCK = re.compile(r"^(\s*)(orv::com::)?CSingleLock \w+\(.*\);\s*$")
SKIP_LINE = re.compile(r"^\s*(#|//|\*|/\*|static_assert|template|case\b|enum\b|namespace\b|using\b)")


def code_part(line):
    """The line without its trailing comment, and the spans of its string literals."""
    spans, in_string = [], None
    index = 0
    while index < len(line):
        char = line[index]
        if in_string is not None:
            if char == "\\":
                index += 2
                continue
            if char == '"':
                spans.append((in_string, index + 1))
                in_string = None
        elif char == '"':
            in_string = index
        elif char == "'" and index + 2 < len(line):
            end = line.find("'", index + 1 if line[index + 1] != "\\" else index + 2)
            if end > 0:
                spans.append((index, end + 1))
                index = end + 1
                continue
        elif line.startswith("//", index):
            return line[:index], spans
        index += 1
    return line, spans


def inside(spans, position):
    return any(start <= position < end for start, end in spans)


def sites_in_line(text):
    """Every mutation of one line: (operator, column, original, replacement)."""
    if SKIP_LINE.match(text) or "operator" in text:
        return []
    code, strings = code_part(text)
    found = []
    if LOCK.match(code):
        found.append(("remove-lock", 0, code.strip(), ";"))
        return found
    match = STATEMENT.match(code)
    if match and not code.strip().startswith(("return", "throw", "break", "continue", "delete")):
        found.append(("drop-statement", 0, code.strip(), ";"))
    for m in COMPARISON.finditer(code):
        if inside(strings, m.start()) or "<<" in code or ">>" in code:
            continue
        if m.group(1) in ("<", ">") and re.search(r"\w<|template|_cast", code):
            continue
        found.append(("flip-comparison", m.start(1), m.group(1), COMPARISON_SWAPS[m.group(1)]))
    for m in LOGIC.finditer(code):
        if not inside(strings, m.start()):
            found.append(("swap-logic", m.start(1), m.group(1), "||" if m.group(1) == "&&" else "&&"))
    for m in CODE.finditer(code):
        if inside(strings, m.start()):
            continue
        word = m.group(1)
        replacement = CODE_SWAPS.get(word) or ("S_OK" if word.startswith("OPC_S_") else "E_FAIL")
        found.append(("swap-result", m.start(1), word, replacement))
    for m in NUMBER.finditer(code):
        if inside(strings, m.start()) or code[max(0, m.start() - 2):m.start()].lower().endswith("0x"):
            continue
        found.append(("off-by-one", m.start(1), m.group(1), str(int(m.group(1)) + 1)))
    return found


def all_sites():
    sites = []
    for directory in SOURCE_DIRS:
        for path in sorted((ROOT / directory).rglob("*")):
            if path.suffix not in SOURCE_SUFFIXES:
                continue
            relative = path.relative_to(ROOT).as_posix()
            in_block_comment = False
            previous = ";"
            for number, text in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                stripped = text.strip()
                if in_block_comment:
                    in_block_comment = "*/" not in stripped
                    continue
                if stripped.startswith("/*"):
                    in_block_comment = "*/" not in stripped
                    continue
                if not stripped or stripped.startswith("//"):
                    continue
                # The tail of a statement that began on an earlier line cannot be dropped alone.
                statement_start = previous.endswith((";", "{", "}", ")", "else", ":"))
                previous = code_part(text)[0].rstrip()
                for operator, column, original, replacement in sites_in_line(text):
                    if operator in ("drop-statement", "remove-lock") and not statement_start:
                        continue
                    sites.append({"file": relative, "line": number, "operator": operator,
                                  "column": column, "original": original, "replacement": replacement,
                                  "text": text})
    return sites


def subsystem(path):
    parts = path.split("/")
    return "/".join(parts[:2])


def draw_sample(count, seed):
    generator = random.Random(seed)
    by_subsystem = {}
    for site in all_sites():
        by_subsystem.setdefault(subsystem(site["file"]), []).append(site)
    for sites in by_subsystem.values():
        generator.shuffle(sites)
    # Round robin over the subsystems, in proportion to their size but at least a few each.
    total = sum(len(s) for s in by_subsystem.values())
    quota = {name: max(3, round(count * len(s) / total)) for name, s in by_subsystem.items()}
    sample = []
    for name, sites in sorted(by_subsystem.items()):
        sample.extend(sites[:quota[name]])
    generator.shuffle(sample)
    for index, mutant in enumerate(sample, 1):
        mutant["id"] = index
    return sample


def mutated_text(mutant):
    text = mutant["text"]
    if mutant["operator"] in ("drop-statement", "remove-lock"):
        indent = text[:len(text) - len(text.lstrip())]
        return indent + ";  // mutant"
    column = mutant["column"]
    assert text[column:column + len(mutant["original"])] == mutant["original"], mutant
    return text[:column] + mutant["replacement"] + text[column + len(mutant["original"]):]


class AppliedMutant:
    """Edits the file for the duration of a with-block and always restores it."""

    def __init__(self, mutant):
        self.path = ROOT / mutant["file"]
        self.mutant = mutant

    def __enter__(self):
        self.original = self.path.read_text(encoding="utf-8")
        lines = self.original.split("\n")
        index = self.mutant["line"] - 1
        if lines[index] != self.mutant["text"]:
            raise RuntimeError(f"{self.mutant['file']}:{self.mutant['line']} changed since the sample was drawn")
        lines[index] = mutated_text(self.mutant)
        self.path.write_text("\n".join(lines), encoding="utf-8")
        return self

    def __exit__(self, *exc):
        self.path.write_text(self.original, encoding="utf-8")
        # Keep the timestamp moving forward so that ninja rebuilds the restored file.
        os.utime(self.path, None)
        return False


def build(build_dir, timeout):
    try:
        environment = dict(os.environ)
        environment.setdefault("CCACHE_BASEDIR", str(ROOT.parent))
        environment.setdefault("CCACHE_NOHASHDIR", "true")
        result = subprocess.run(["cmake", "--build", str(build_dir)], cwd=ROOT, capture_output=True,
                                text=True, timeout=timeout, env=environment)
    except subprocess.TimeoutExpired:
        return False, "build timed out"
    return result.returncode == 0, result.stdout[-2000:] + result.stderr[-2000:]


def failing_cases(output):
    return sorted(set(re.findall(r"TEST CASE:\s+(.+?)\s*$", output or "", re.MULTILINE)))


def run_suite(build_dir, jobs, exclude):
    junit = build_dir / "mutation" / "junit.xml"
    if junit.exists():
        junit.unlink()
    command = ["ctest", "--test-dir", str(build_dir), "-j", str(jobs), "--output-junit", str(junit)]
    if exclude:
        command += ["-E", exclude]
    subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
    failed = {}
    if not junit.exists():
        return {"<ctest>": ["no results"]}
    for case in ElementTree.parse(junit).getroot().iter("testcase"):
        status = case.get("status")
        if status in ("fail", "notrun") or case.find("failure") is not None:
            name = case.get("name")
            if name in FIXTURE_TESTS and status != "fail":
                continue
            output = "".join(node.text or "" for node in case.iter("system-out"))
            failed[name] = failing_cases(output) or [status or "fail"]
    return failed


def load_state(path):
    return json.loads(path.read_text()) if path.exists() else {"mutants": [], "baseline": None}


def save_state(path, state):
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = path.with_suffix(".tmp")
    temporary.write_text(json.dumps(state, indent=1))
    temporary.replace(path)


def command_sample(arguments, state_path):
    state = load_state(state_path)
    if state["mutants"] and not arguments.force:
        sys.exit(f"{state_path} already holds a sample; --force draws a new one")
    sample = draw_sample(arguments.count, arguments.seed)
    save_state(state_path, {"seed": arguments.seed, "mutants": sample, "baseline": None,
                            "commit": subprocess.run(["git", "rev-parse", "HEAD"], cwd=ROOT, capture_output=True,
                                                     text=True).stdout.strip()})
    counts = {}
    for mutant in sample:
        counts[subsystem(mutant["file"])] = counts.get(subsystem(mutant["file"]), 0) + 1
    print(f"{len(sample)} mutants: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))


def command_run(arguments, state_path):
    state = load_state(state_path)
    build_dir = ROOT / arguments.build
    stop = {"now": False}
    signal.signal(signal.SIGINT, lambda *_: stop.update(now=True))
    if state.get("baseline") is None:
        ok, log = build(build_dir, 1800)
        if not ok:
            sys.exit("the unmutated tree does not build:\n" + log)
        failed = run_suite(build_dir, arguments.jobs, arguments.exclude)
        if failed:
            sys.exit(f"the unmutated tree fails tests, fix that first: {failed}")
        state["baseline"] = {"passed_at": time.strftime("%Y-%m-%d %H:%M:%S")}
        save_state(state_path, state)
    done = 0
    order = reversed(state["mutants"]) if arguments.reverse else state["mutants"]
    for mutant in order:
        if stop["now"] or (arguments.limit and done >= arguments.limit):
            break
        if "result" in mutant:
            continue
        started = time.time()
        with AppliedMutant(mutant):
            ok, log = build(build_dir, 900)
            if not ok:
                mutant["result"] = "uncompilable"
                mutant["build_log"] = log[-600:]
            else:
                failed = run_suite(build_dir, arguments.jobs, arguments.exclude)
                mutant["result"] = "killed" if failed else "survived"
                mutant["killed_by"] = failed
        mutant["seconds"] = round(time.time() - started, 1)
        save_state(state_path, state)
        done += 1
        print(f"#{mutant['id']:3} {mutant['result']:12} {mutant['seconds']:6.1f}s {mutant['file']}:{mutant['line']} "
              f"{mutant['operator']} {mutant['original']!r} -> {mutant['replacement']!r} "
              f"{sorted(mutant.get('killed_by', {}))}", flush=True)
    # Leave the build matching the restored sources.
    build(build_dir, 1800)


def command_rerun(arguments, state_path):
    state = load_state(state_path)
    wanted = set(arguments.ids)
    for mutant in state["mutants"]:
        if mutant["id"] in wanted or (arguments.survivors and mutant.get("result") == "survived"):
            for key in ("result", "killed_by", "build_log", "seconds"):
                mutant.pop(key, None)
    save_state(state_path, state)


def command_merge(arguments, state_path):
    state = load_state(state_path)
    other = load_state(Path(arguments.other))
    if [m["text"] for m in other["mutants"]] != [m["text"] for m in state["mutants"]]:
        sys.exit("the other state holds a different sample")
    taken = 0
    for mine, theirs in zip(state["mutants"], other["mutants"]):
        if "result" not in mine and "result" in theirs:
            mine.update({k: theirs[k] for k in ("result", "killed_by", "build_log", "seconds") if k in theirs})
            taken += 1
    save_state(state_path, state)
    print(f"{taken} results taken")


def command_report(arguments, state_path):
    state = load_state(state_path)
    dropped = set(filter(None, arguments.drop.split(",")))
    if arguments.drop_file:
        dropped |= {line.strip() for line in Path(arguments.drop_file).read_text().splitlines() if line.strip()}
    if dropped:
        # What the score would be without these tests or test cases ("test: case"): a mutant
        # only they kill needs a rerun against the suite that replaced them before it can
        # count as a survivor.
        for mutant in state["mutants"]:
            if mutant.get("result") == "killed":
                kept = [t for t, cases in mutant["killed_by"].items() if t not in dropped and
                        any(f"{t}: {c}" not in dropped for c in cases)]
                if not kept:
                    print(f"#{mutant['id']} is killed only by dropped tests: rerun it")
    evaluated = [m for m in state["mutants"] if m.get("result") in ("killed", "survived")]
    killed = [m for m in evaluated if m["result"] == "killed"]
    survivors = [m for m in evaluated if m["result"] == "survived"]
    pending = [m for m in state["mutants"] if "result" not in m]
    uncompilable = [m for m in state["mutants"] if m.get("result") == "uncompilable"]
    score = 100.0 * len(killed) / len(evaluated) if evaluated else 0.0
    print(f"sample of {len(state['mutants'])} (seed {state.get('seed')}, commit {state.get('commit', '?')[:10]}): "
          f"{len(killed)} killed, {len(survivors)} survived, {len(uncompilable)} did not compile, "
          f"{len(pending)} pending; score {score:.1f}%")
    kills, alone = {}, {}
    for mutant in killed:
        for test in mutant["killed_by"]:
            kills[test] = kills.get(test, 0) + 1
        if len(mutant["killed_by"]) == 1:
            only = next(iter(mutant["killed_by"]))
            alone.setdefault(only, []).append(mutant["id"])
    print("\ntests: mutants killed, and killed by no other test")
    for test in sorted(kills, key=lambda t: (-len(alone.get(t, [])), -kills[t])):
        print(f"  {test:32} {kills[test]:4} {len(alone.get(test, [])):4}  {alone.get(test, '')}")
    print("\nsurvivors")
    for mutant in survivors:
        print(f"  #{mutant['id']:3} {mutant['file']}:{mutant['line']} {mutant['operator']} "
              f"{mutant['original']!r} -> {mutant['replacement']!r}    {mutant['text'].strip()[:90]}")
    if arguments.cases:
        print("\ntest cases that fail under each killed mutant")
        for mutant in killed:
            print(f"  #{mutant['id']:3} " + "; ".join(f"{t}: {', '.join(c)}" for t, c in mutant["killed_by"].items()))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--state", default="build/mutation/state.json")
    commands = parser.add_subparsers(dest="command", required=True)
    sample = commands.add_parser("sample")
    sample.add_argument("--count", type=int, default=110)
    sample.add_argument("--seed", type=int, default=1)
    sample.add_argument("--force", action="store_true")
    run = commands.add_parser("run")
    run.add_argument("--build", default="build/mingw")
    run.add_argument("--jobs", type=int, default=4)
    run.add_argument("--limit", type=int, default=0)
    run.add_argument("--exclude", default="")
    run.add_argument("--reverse", action="store_true", help="from the last mutant back, for a second runner")
    merge = commands.add_parser("merge", help="take the results another runner's state holds for the same sample")
    merge.add_argument("other")
    rerun = commands.add_parser("rerun")
    rerun.add_argument("ids", type=int, nargs="*")
    rerun.add_argument("--survivors", action="store_true")
    report = commands.add_parser("report")
    report.add_argument("--cases", action="store_true")
    report.add_argument("--drop", default="", help="comma-separated tests taken out since the run")
    report.add_argument("--drop-file", default="", help="a file of tests or 'test: case' lines taken out")
    arguments = parser.parse_args()
    state_path = ROOT / arguments.state
    {"sample": command_sample, "run": command_run, "rerun": command_rerun, "merge": command_merge,
     "report": command_report}[arguments.command](arguments, state_path)


if __name__ == "__main__":
    main()
