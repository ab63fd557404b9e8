#!/usr/bin/env python3
"""A mutation pass: plants one fault at a time in the program's sources,
rebuilds, runs every QtTest suite and reports which test functions catch it.

Usage (from a clean checkout with a configured build directory):
  tools/mutate.py --list [--count N] [--seed S] [--files GLOB ...]
  tools/mutate.py [--source DIR] [--build DIR] [--count N] [--seed S]
                  [--files GLOB ...] [--report FILE.json] [--timeout SECONDS]

Mutated: link/, firmware/, app/, cli/ (*.cpp, *.h), not link/emulated/.
Faults: a comparison flipped or loosened, an integer literal off by one, a
condition negated, true/false and return 0/1 swapped, && <-> ||, a call
statement deleted, a break/continue removed, a letter changed in a message
string. The mutants are drawn with a fixed seed, round-robin over the kinds of
fault. Each file is restored after its mutant, also on Ctrl-C. The report is
FILE.json (written after every mutant) and FILE.txt, a short summary. Builds
and tests run under nice and -j1, so one mutant at a time uses one core;
--jobs N builds with N jobs and runs N suites at once.
"""
import argparse, concurrent.futures, fnmatch, json, os, random, re, shutil, signal, subprocess
import sys, tempfile, time
from pathlib import Path

DIRS = ("link/", "firmware/", "app/", "cli/")
EXCLUDED = ("link/emulated/",)
SKIPPED_TESTS = {"install_tree", "debian_package"}


def code_mask(line, in_block):
    """Per character: True where it is code (not a comment, string or char
    literal). Returns the mask, the string literal spans and the block state."""
    mask, strings, i, n = [False] * len(line), [], 0, len(line)
    while i < n:
        if in_block:
            end = line.find("*/", i)
            if end < 0:
                return mask, strings, True
            i, in_block = end + 2, False
        elif line.startswith("//", i):
            break
        elif line.startswith("/*", i):
            in_block, i = True, i + 2
        elif line[i] in "\"'":
            j = i + 1
            while j < n and line[j] != line[i]:
                j += 2 if line[j] == "\\" else 1
            if line[i] == '"':
                strings.append((i + 1, min(j, n)))
            i = j + 1
        else:
            mask[i], i = True, i + 1
    return mask, strings, in_block


COMPARISONS = [(r"==", "!="), (r"!=", "=="), (r"(?<=\s)<(?=\s)", "<="), (r"(?<=\s)<=(?=\s)", "<"),
               (r"(?<=\s)>(?=\s)", ">="), (r"(?<=\s)>=(?=\s)", ">")]
CALL = re.compile(r"^\s*[A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*\s*\(.*\);\s*$")
KEYWORDS = {"if", "while", "for", "switch", "return", "sizeof", "delete", "throw", "case"}


def matching_paren(line, start):
    depth = 0
    for k in range(start, len(line)):
        depth += {"(": 1, ")": -1}.get(line[k], 0)
        if depth == 0:
            return k
    return -1


def mutants_of_line(line, mask, strings, previous_code):
    """Yields (kind, column, new line) for every fault this line can take."""
    def at(pattern):
        return [m for m in re.finditer(pattern, line) if all(mask[m.start():m.end()])]

    def put(m, text):
        return line[:m.start()] + text + line[m.end():]

    for pattern, repl in COMPARISONS:
        for m in at(pattern):
            yield "comparison", m.start(), put(m, repl)
    for m in at(r"\breturn [01];"):
        yield "return", m.start(), put(m, "return %d;" % (1 - int(m.group()[7])))
    for m in at(r"(?<![\w.])\d+(?![\w.])"):
        yield "literal", m.start(), put(m, str(int(m.group()) + 1))
    for m in at(r"\b(if|while)\s*\("):
        close = matching_paren(line, m.end() - 1)
        if close > 0:
            cond = line[m.end():close]
            yield "negation", m.start(), line[:m.end()] + "!(" + cond + ")" + line[close:]
    for m in at(r"\btrue\b|\bfalse\b"):
        yield "boolean", m.start(), put(m, "false" if m.group() == "true" else "true")
    for m in at(r"&&|\|\|"):
        yield "logic", m.start(), put(m, "||" if m.group() == "&&" else "&&")
    for m in at(r"\b(break|continue);"):
        yield "break", m.start(), put(m, ";")
    stripped, parens = line.strip(), [c for c, m in zip(line, mask) if m and c in "()"]
    first_word = re.match(r"[A-Za-z_]\w*", stripped)
    if (CALL.match(line) and parens.count("(") == parens.count(")") and first_word
            and first_word.group() not in KEYWORDS
            and previous_code.endswith((";", "{", "}", ")", ":", "else"))):
        indent = line[:len(line) - len(line.lstrip())]
        yield "call", len(indent), indent + ";\n"
    for start, end in strings:
        text = line[start:end]
        if " " not in text or not re.search(r"[A-Za-z]{2}", text):
            continue
        letters = [k for k in range(start, end) if line[k].isalpha() and line[k - 1] not in "%\\"]
        if letters:
            k = min(letters, key=lambda k: abs(k - (start + end) // 2))
            c = line[k]
            new = "a" if c == "z" else "A" if c == "Z" else chr(ord(c) + 1)
            yield "string", k, line[:k] + new + line[k + 1:]


def source_files(source, filters):
    files = subprocess.run(["git", "-C", str(source), "ls-files", "--", *DIRS], check=True,
                           capture_output=True, text=True).stdout.split()
    files = [f for f in files if f.endswith((".cpp", ".h")) and not f.startswith(EXCLUDED)]
    if filters:
        files = [f for f in files if any(fnmatch.fnmatch(f, p) or f.startswith(p) for p in filters)]
    return sorted(files)


def all_mutants(source, files):
    found, seen = [], set()
    for rel in files:
        lines = (source / rel).read_text().splitlines(keepends=True)
        in_block, previous_code = False, ";"
        for number, line in enumerate(lines, 1):
            mask, strings, block_after = code_mask(line, in_block)
            stripped = line.strip()
            if not in_block and stripped and not stripped.startswith(("#", "//", "/*", "*")):
                for kind, col, new in mutants_of_line(line, mask, strings, previous_code):
                    if new != line and (rel, number, new) not in seen:
                        seen.add((rel, number, new))
                        found.append({"file": rel, "line": number, "column": col + 1, "kind": kind,
                                      "original": line.strip(), "mutated": new.strip()})
            code = "".join(c for c, m in zip(line, mask) if m).strip()
            if code and not stripped.startswith("#"):
                previous_code = code
            in_block = block_after
    return found


def choose(mutants, count, seed):
    """Round-robin over the kinds of fault, each kind shuffled with the seed."""
    rng, by_kind = random.Random(seed), {}
    for m in mutants:
        by_kind.setdefault(m["kind"], []).append(m)
    queues = [rng.sample(v, len(v)) for _, v in sorted(by_kind.items())]
    chosen = []
    while len(chosen) < count and any(queues):
        for q in queues:
            if q and len(chosen) < count:
                chosen.append(q.pop())
    chosen.sort(key=lambda m: (m["file"], m["line"], m["column"], m["mutated"]))
    for i, m in enumerate(chosen, 1):
        m["id"] = i
    return chosen


def suites(build):
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True,
                         capture_output=True, text=True).stdout
    result = []
    for t in json.loads(out)["tests"]:
        command = t.get("command") or []
        if t["name"] in SKIPPED_TESTS or not command:
            continue
        if Path(command[0]).name.startswith("umockdev") and not shutil.which(command[0]):
            continue
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        env = dict(os.environ)
        env.update(v.split("=", 1) for v in props.get("ENVIRONMENT", []))
        result.append({"name": t["name"], "command": command, "env": env,
                       "cwd": props.get("WORKING_DIRECTORY", str(build)),
                       "timeout": float(props.get("TIMEOUT", 120))})
    return result


def run_suite(suite, timeout, workdir, extra=None):
    """Runs one QtTest suite; returns (failed functions, timed out, output)."""
    log = Path(workdir) / (suite["name"] + ".txt")
    log.unlink(missing_ok=True)
    args = suite["command"] + (extra or ["-o", "%s,txt" % log, "-v1"])
    proc = subprocess.Popen(args, cwd=suite["cwd"], env=suite["env"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, timed_out = proc.communicate(timeout=timeout)[0], False
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, timed_out = proc.communicate()[0], True
    text = log.read_text(errors="replace") if log.exists() else out.decode(errors="replace")
    failed = {m.group(1) for m in re.finditer(r"^(?:FAIL!|XPASS)\s*:\s*[\w:]+::(\w+)\(", text, re.M)}
    if (timed_out or proc.returncode != 0) and not failed:
        entered = re.findall(r"^INFO\s*:\s*[\w:]+::(\w+)\(\) entering", text, re.M)
        failed = {entered[-1] if entered else "(start-up)"}
    return sorted(failed), timed_out, text


def judge(suite, limit, workdir, tries=3):
    """Runs a suite until it passes, at most `tries` times. A suite that fails
    and then passes is flaky (some hang now and then on a loaded machine), not
    a catch. Returns (failed functions, timed out, runs that failed)."""
    runs = []
    for _ in range(tries):
        failed, timed_out, _ = run_suite(suite, limit, workdir)
        if not failed:
            return [], False, len(runs)
        runs.append((set(failed), timed_out))
    common = set.intersection(*(f for f, _ in runs)) or runs[-1][0]
    return sorted(common), all(t for _, t in runs), len(runs)


JOBS = 1   # builds and suites at once; --jobs


def build(build_dir):
    return subprocess.run(["cmake", "--build", str(build_dir), "-j%d" % JOBS], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=3600).returncode == 0


def summarize(report):
    ms = report["mutants"]
    done = [m for m in ms if m.get("status")]
    compiled = [m for m in done if m["status"] != "not compiled"]
    caught = [m for m in compiled if m["status"] == "caught"]
    matrix = {f: {"kills": 0, "unique": 0} for f in report["functions"]}
    suite_matrix = {s: {"kills": 0, "unique": 0} for s in report["suites"]}
    for m in caught:
        for key, table in ((m["failed_functions"], matrix), (m["failed_suites"], suite_matrix)):
            for f in key:
                table.setdefault(f, {"kills": 0, "unique": 0})["kills"] += 1
                if len(key) == 1:
                    table[f]["unique"] += 1
    report.update(
        planted=len(done), compiled=len(compiled), not_compiled=len(done) - len(compiled),
        caught=len(caught), survived=len(compiled) - len(caught),
        score=round(len(caught) / len(compiled), 4) if compiled else None,
        kill_matrix=matrix, suite_kill_matrix=suite_matrix)


def text_summary(report):
    lines = ["Mutation pass on %s, seed %s: %d mutants planted, %d compiled, %d not compiled"
             % (report["commit"], report["seed"], report["planted"], report["compiled"],
                report["not_compiled"]),
             "Score: %d caught of %d compiled = %.1f%%  (%d survived; %.0f s)"
             % (report["caught"], report["compiled"], 100 * (report["score"] or 0),
                report["survived"], report.get("seconds", 0)), "", "Survivors:"]
    for m in report["mutants"]:
        if m.get("status") == "survived":
            lines.append("  %s:%d [%s] %s  ->  %s" % (m["file"], m["line"], m["kind"],
                                                      m["original"], m["mutated"]))
    kills = sorted(report["kill_matrix"].items(), key=lambda kv: (-kv[1]["unique"], -kv[1]["kills"], kv[0]))
    lines += ["", "Test functions with unique kills, most first (kills, unique kills):"]
    lines += ["  %-56s %4d %4d" % (f, v["kills"], v["unique"]) for f, v in kills if v["unique"]]
    lines += ["", "Per suite (kills, unique kills):"]
    lines += ["  %-56s %4d %4d" % (s, v["kills"], v["unique"]) for s, v in
              sorted(report["suite_kill_matrix"].items())]
    for title, names in (("no kill at all", [f for f, v in kills if not v["kills"]]),
                         ("kills, none unique", [f for f, v in kills if v["kills"] and not v["unique"]])):
        lines += ["", "Test functions with %s (%d):" % (title, len(names))] + ["  " + f for f in sorted(names)]
    flaky = sorted({s for m in report["mutants"] for s in m.get("flaky", [])})
    if flaky:
        lines += ["", "Suites that failed and then passed on a rerun (not counted): " + ", ".join(flaky)]
    return "\n".join(lines) + "\n"


def interrupted(*_):
    raise KeyboardInterrupt()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    root = Path(__file__).resolve().parent.parent
    p.add_argument("--source", type=Path, default=root)
    p.add_argument("--build", type=Path)
    p.add_argument("--count", type=int, default=120)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--files", nargs="*", default=[], help="globs or path prefixes to mutate")
    p.add_argument("--list", action="store_true", help="print the chosen mutants and stop")
    p.add_argument("--report", type=Path, default=Path("mutation-report.json"))
    p.add_argument("--timeout", type=float, help="seconds per suite (default: 10x its clean run)")
    p.add_argument("--jobs", type=int, default=1, help="builds and suites run at once (default 1)")
    a = p.parse_args()
    source = a.source.resolve()
    build_dir = (a.build or source / "build").resolve()
    chosen = choose(all_mutants(source, source_files(source, a.files)), a.count, a.seed)
    if a.list:
        for m in chosen:
            print("%3d %s:%d:%d [%s]\n    - %s\n    + %s" % (m["id"], m["file"], m["line"], m["column"],
                                                         m["kind"], m["original"], m["mutated"]))
        return 0
    if subprocess.run(["git", "-C", str(source), "diff", "--quiet"]).returncode != 0:
        sys.exit("mutate.py: %s has uncommitted changes; run it on a clean tree" % source)
    global JOBS
    JOBS = max(1, a.jobs)
    os.nice(10)
    signal.signal(signal.SIGTERM, interrupted)
    started, workdir = time.time(), tempfile.mkdtemp(prefix="mutate-")
    if not build(build_dir):
        sys.exit("mutate.py: the unmutated tree does not build in %s" % build_dir)
    tests, functions = suites(build_dir), []
    for s in tests:   # a clean run: every suite must pass; its time sets the time limit
        for _ in range(3):
            t0 = time.time()
            failed = run_suite(s, min(s["timeout"], 60.0), workdir)[0]
            if not failed:
                break
            print("note: %s failed unmutated in %s; once more" % (s["name"], failed), flush=True)
        else:
            sys.exit("mutate.py: %s fails without any mutant: %s" % (s["name"], failed))
        s["limit"] = a.timeout or min(s["timeout"], max(15.0, 10 * (time.time() - t0)))
        listed = run_suite(s, s["timeout"], workdir, ["-functions"])[2]
        functions += ["%s::%s" % (s["name"], f) for f in re.findall(r"^(\w+)\(\)", listed, re.M)]
    commit = subprocess.run(["git", "-C", str(source), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    report = {"commit": commit, "seed": a.seed, "count": a.count, "files": a.files,
              "suites": [s["name"] for s in tests], "functions": functions, "mutants": chosen}
    text_path = a.report.with_suffix(".txt")
    try:
        for m in chosen:
            path, t0 = source / m["file"], time.time()
            original = path.read_bytes()
            lines = original.decode().splitlines(keepends=True)
            ending = "\n" if lines[m["line"] - 1].endswith("\n") else ""
            indent = lines[m["line"] - 1][:len(lines[m["line"] - 1]) - len(lines[m["line"] - 1].lstrip())]
            lines[m["line"] - 1] = indent + m["mutated"] + ending
            try:
                path.write_text("".join(lines))
                if not build(build_dir):
                    m["status"] = "not compiled"
                else:
                    m.update(failed_suites=[], failed_functions=[], timed_out=[], flaky=[])
                    with concurrent.futures.ThreadPoolExecutor(JOBS) as pool:
                        judged = list(pool.map(lambda s: judge(s, s["limit"], workdir), tests))
                    for s, (failed, timed_out, runs) in zip(tests, judged):
                        if runs and not failed:
                            m["flaky"].append(s["name"])
                        if failed:
                            m["failed_suites"].append(s["name"])
                            m["failed_functions"] += ["%s::%s" % (s["name"], f) for f in failed]
                        if timed_out:
                            m["timed_out"].append(s["name"])
                    m["status"] = "caught" if m["failed_suites"] else "survived"
            finally:
                path.write_bytes(original)
            m["seconds"] = round(time.time() - t0, 1)
            print("[%d/%d] %s:%d [%s] %s %s" % (m["id"], len(chosen), m["file"], m["line"], m["kind"],
                                                m["status"], " ".join(m.get("failed_suites", []))), flush=True)
            report["seconds"] = round(time.time() - started, 1)
            summarize(report)
            a.report.write_text(json.dumps(report, indent=1))
        report["finished"] = True
    except KeyboardInterrupt:
        print("mutate.py: interrupted; the report holds the mutants run so far", file=sys.stderr)
    finally:
        clean = subprocess.run(["git", "-C", str(source), "diff", "--quiet"]).returncode == 0
        print("source tree clean: %s" % clean, file=sys.stderr)
    build(build_dir)   # leave the build matching the restored sources
    report["seconds"] = round(time.time() - started, 1)
    summarize(report)
    a.report.write_text(json.dumps(report, indent=1))
    text_path.write_text(text_summary(report))
    print(text_summary(report))
    shutil.rmtree(workdir, ignore_errors=True)
    return 0 if clean else 1


if __name__ == "__main__":
    sys.exit(main())
