#!/usr/bin/env python3
"""What each test of the coverage build reaches of src/ (the simulator aside).

Runs every test of build/coverage alone (counters cleared before each), keeps
the lines of src/ it executed, and writes build/coverage/per-test.json:
for each test, the lines it reaches, how many of them no other test reaches,
and the tests that reach most of its lines. Prints a summary and the tests
that reach no line of their own, which are where a consolidation looks first
(and only looks: a test may add no line and still be the one that checks a
value, an order or a text). Also prints a greedy pass: taking the longest
test body first, which cases could go while every line stays reached (the
instances of a parameterised test go together).

Slow: every test runs alone and gcov reads each one's counters (about 16 min
for the whole suite on 2 cores). `make coverage-per-test`; by hand,
`scripts/coverage-per-test.py JOBS [REGEX]` takes only the tests whose name
matches.
"""
import collections
import json
import multiprocessing
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, 'build', 'coverage')
SRC = os.path.join(ROOT, 'src') + '/'
SKIPPED = SRC + 'sim/'


def test_names():
    out = subprocess.run(['ctest', '--test-dir', BUILD, '-N'], capture_output=True, text=True,
                         check=True).stdout
    return [m.group(1) for m in re.finditer(r'Test\s+#\d+: (\S+)', out)]


def counters():
    for base, _, files in os.walk(BUILD):
        for f in files:
            if f.endswith('.gcda'):
                yield os.path.relpath(os.path.join(base, f), BUILD)


def run_alone(index, keep):
    for f in counters():
        os.remove(os.path.join(BUILD, f))
    result = subprocess.run(['ctest', '--test-dir', BUILD, '-I', f'{index},{index}',
                             '--timeout', '300'], capture_output=True)
    with tarfile.open(keep, 'w') as tar:
        for f in counters():
            tar.add(os.path.join(BUILD, f), arcname=f)
    return result.returncode


def lines_reached(archive):
    """{source under src/: [lines executed]} from one test's counters."""
    work = tempfile.mkdtemp()
    try:
        with tarfile.open(archive) as tar:
            tar.extractall(work)
            names = [m.name for m in tar.getmembers() if m.isfile()]
        paths = []
        for name in names:
            notes = os.path.join(BUILD, name[:-len('.gcda')] + '.gcno')
            if os.path.exists(notes):
                os.symlink(notes, os.path.join(work, name[:-len('.gcda')] + '.gcno'))
                paths.append(os.path.join(work, name))
        # -r -s: only sources under the checkout, not system or library headers.
        out = subprocess.run(['gcov', '--json-format', '--stdout', '-r', '-s', ROOT] + paths,
                             cwd=work, capture_output=True, text=True).stdout
        reached = collections.defaultdict(set)
        for chunk in out.splitlines():
            if not chunk.strip():
                continue
            for f in json.loads(chunk)['files']:
                path = os.path.normpath(os.path.join(ROOT, f['file']))
                if path.startswith(SRC) and not path.startswith(SKIPPED):
                    reached[path[len(SRC):]].update(
                        l['line_number'] for l in f['lines'] if l['count'] > 0)
        return {k: sorted(v) for k, v in reached.items()}
    finally:
        shutil.rmtree(work)


def body_lines():
    """{Suite.Name: lines of its body and the comment above it} under tests/."""
    spans = {}
    start = re.compile(r'^(?:TEST|TEST_F|TEST_P)\((\w+),\s*(\w+)\)')
    for base, _, files in os.walk(os.path.join(ROOT, 'tests')):
        for f in files:
            if not f.endswith('.cpp'):
                continue
            with open(os.path.join(base, f)) as source:
                lines = source.read().split('\n')
            for i, line in enumerate(lines):
                m = start.match(line)
                if not m:
                    continue
                end = i
                while end < len(lines) and lines[end] != '}':
                    end += 1
                first = i
                while first > 0 and lines[first - 1].startswith('//'):
                    first -= 1
                spans[f'{m.group(1)}.{m.group(2)}'] = end - first + 1
    return spans


def greedy(reached):
    """Cases that could go, longest body first, with every line still reached."""
    spans = body_lines()
    groups = collections.defaultdict(list)
    for name in reached:  # Instance/Suite.Name/Param -> Suite.Name
        groups[re.sub(r'/[^/]*$', '', re.sub(r'^[^/.]*/', '', name))].append(name)
    count = collections.Counter()
    for lines in reached.values():
        count.update(lines)
    dropped = []
    for group in sorted(groups, key=lambda g: (-spans.get(g, 0), g)):
        inside = collections.Counter()
        for name in groups[group]:
            inside.update(reached[name])
        if all(count[x] > inside[x] for x in inside):
            count.subtract(inside)
            dropped.append((group, spans.get(group, 0)))
    return dropped


def main():
    jobs = int(sys.argv[1]) if len(sys.argv) > 1 else os.cpu_count()
    only = re.compile(sys.argv[2]) if len(sys.argv) > 2 else None
    names = test_names()
    keep = tempfile.mkdtemp()
    failed = []
    with multiprocessing.Pool(jobs) as pool:
        pending = []
        for i, name in enumerate(names, 1):
            if only and not only.search(name):
                continue
            archive = os.path.join(keep, f'{i}.tar')
            if run_alone(i, archive) != 0:
                failed.append(name)
            pending.append((name, pool.apply_async(lines_reached, (archive,))))
            print(f'\r{i}/{len(names)} run alone', end='', file=sys.stderr, flush=True)
        reached = {name: {(f, l) for f, ls in r.get().items() for l in ls} for name, r in pending}
    print(file=sys.stderr)
    shutil.rmtree(keep)

    count = collections.Counter()
    for lines in reached.values():
        count.update(lines)
    report = {}
    for name, lines in reached.items():
        own = sum(1 for x in lines if count[x] == 1)
        nearest = sorted(((len(lines & other) / len(lines), o)
                          for o, other in reached.items() if o != name and lines),
                         reverse=True)[:3]
        report[name] = {'lines': len(lines), 'own': own,
                        'nearest': [[o, round(share, 3)] for share, o in nearest]}
    with open(os.path.join(BUILD, 'per-test.json'), 'w') as out:
        json.dump(report, out, indent=1, sort_keys=True)

    none = sorted(n for n, r in report.items() if r['own'] == 0 and r['lines'])
    print(f'{len(reached)} tests reach {len(count)} lines of src/ (without src/sim/); '
          f'{len(none)} reach no line that no other test reaches:')
    for n in none:
        nearest = report[n]['nearest'][0] if report[n]['nearest'] else ['-', 0]
        print(f'  {n} ({report[n]["lines"]} lines; {nearest[1]:.0%} of them also in {nearest[0]})')
    dropped = greedy(reached)
    print(f'A greedy pass (longest body first) could drop {len(dropped)} cases, '
          f'{sum(n for _, n in dropped)} lines of tests, and still reach every line:')
    for group, n in dropped:
        print(f'  {n:4d}  {group}')
    if failed:
        print('failed alone: ' + ', '.join(failed))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
