"""A simulated class for pdTest-lab's tests, run from a scratch folder that holds tools/.

  lab_class.py students   40 students of one seed: their own orders and variants, every
                          variant run once for real (--show), answers compared
  lab_class.py summary    a class's reports, some from real runs that ought to be flagged,
                          read back by --summary as text, JSON lines and SVG, in both languages

Prints nothing and exits 0 when all holds; else says what did not, one line each, and exits 1.
"""

import itertools
import json
import os
import subprocess
import sys
import unicodedata
import xml.etree.ElementTree as ElementTree
from concurrent.futures import ThreadPoolExecutor

LAB = "tools/pdTest-lab"
SEED = "42"
QUESTION = {"scenario", "question", "answer", "actual", "correct", "seed", "time", "student",
            "format", "lang", "typed", "shown", "program_sha256", "params"}
CLOSING = {"end", "right", "asked", "answered", "student", "seed", "format", "time"}
faults = []


def check(ok, what):
    if not ok:
        faults.append(what)


def lab(*args, stdin=None):
    return subprocess.run([LAB, *args], input=stdin, capture_output=True, text=True, timeout=50)


def report(path):
    """The question lines and the closing line of a report the lab wrote, each checked."""
    with open(path, encoding="utf-8") as file:
        lines = [json.loads(line) for line in file]
    check(lines and set(lines[-1]) == CLOSING, f"{path}: no closing line last")
    for line in lines[:-1]:
        check(set(line) == QUESTION and line["format"] == 2, f"{path}: {line}")
    return lines[:-1], lines[-1]


def shown(name, ident, path, program=()):
    result = lab("--show", "--seed", SEED, "--student", name, "--report", path, *program, ident)
    check(result.returncode == 0, f"--show {name} {ident}: {result.returncode} {result.stderr}")
    return report(path)


def students():
    names = [f"student{n:02d}" for n in range(40)]
    plans = {}
    for name in names:
        listed = lab("--list", "--seed", SEED, "--student", name).stdout.splitlines()
        plans[name] = [tuple(line.split("\t")[:2]) for line in listed]
    check(len(set(map(tuple, plans.values()))) == 40, "two students share an order and variants")
    again = lab("--list", "--seed", SEED, "--student", names[0]).stdout.splitlines()
    check([tuple(line.split("\t")[:2]) for line in again] == plans[names[0]],
          "the same seed and name listed twice differ")
    variants = {}
    for name in names:
        for variant in plans[name]:
            variants.setdefault(variant, name)

    def run(item):
        (ident, params), name = item
        questions, closing = shown(name, ident, f"{ident}-{len(params)}-{name}.jsonl")
        check(closing["end"] == "complete" and closing["asked"] == 0,
              f"{name} {ident}: {closing}")
        check(questions and all(json_params(q["params"]) == params for q in questions),
              f"{name} {ident}: parameters {[q['params'] for q in questions]} listed as {params}")
        return (ident, params), [q["actual"] for q in questions]

    with ThreadPoolExecutor(12) as pool:
        actual = dict(pool.map(run, variants.items()))
    answers = {name: [a for variant in plans[name] for a in actual[variant]] for name in names}
    check(len({json.dumps(a) for a in answers.values()}) == 40, "two students' answers alike")
    for one, other in itertools.permutations(names, 2):
        # One student's answers typed, in order, into another's lab.
        right = sum(a == b for a, b in zip(answers[one], answers[other]))
        check(right * 3 <= 2 * len(answers[other]),
              f"{one}'s answers score {right} of {len(answers[other])} for {other}")


def json_params(params):
    if not params:
        return "-"
    return ",".join(f"{k}={'+'.join(map(str, v)) if isinstance(v, list) else v}"
                    for k, v in params.items())


def summary():
    # Real runs: the answers of the class come from these, and four of them must be flagged.
    with open("fake", "w") as file:
        file.write("#!/bin/sh\n(:) & wait\n")  # forks, prints nothing
    os.chmod("fake", 0o755)
    base, _ = shown("base", "pipe", "base.jsonl")
    fake = lab("--seed", SEED, "--student", "faker", "--program", "./fake", "--report",
               "faker.jsonl", "pipe", stdin="0\n0\nnone\n0\n0\n")
    check(fake.returncode == 0, f"the fake program's lab: {fake.returncode} {fake.stderr}")
    shown("shower", "pipe", "shower.jsonl")
    quit_ = lab("--seed", SEED, "--student", "quitter", "--report", "quitter.jsonl", "pipe",
                stdin="22\n2\n")
    check(quit_.returncode == 3, f"a lab fed 2 answers exits {quit_.returncode}, not 3")
    questions, closing = report("quitter.jsonl")
    check((closing["end"], closing["asked"], closing["answered"]) == ("early", 2, 2),
          f"the early run's closing line: {closing}")
    # The class: pipe's writes mistaken for 1 by most, a number given with its unit by two.
    for n in range(12):
        name = f"s{n:02d}"
        with open(f"{name}.jsonl", "w", encoding="utf-8") as file:
            right = 0
            for q in base:
                answer = q["actual"]
                if q["question"] == "writes" and n < 8:
                    answer = 1 if n < 6 else 4
                if q["question"] == "lines" and n in (3, 4):
                    answer = f"{q['actual']}줄"
                correct = answer == q["actual"]
                right += correct
                file.write(json.dumps({**q, "student": name, "answer": answer,
                                       "correct": correct, "shown": False},
                                      ensure_ascii=False) + "\n")
            file.write(json.dumps({"end": "complete", "right": right, "asked": len(base),
                                   "answered": len(base), "student": name, "seed": int(SEED),
                                   "format": 2, "time": "2026-12-09T10:00:00+00:00"}) + "\n")
    with open("s11.jsonl", encoding="utf-8") as file:
        edited = file.read().replace('"actual": 22', '"actual": 21', 1)
    with open("editor.jsonl", "w", encoding="utf-8") as file:
        file.write(edited.replace('"s11"', '"editor"'))
    with open("old.jsonl", "w", encoding="utf-8") as file:  # format 1: seven fields, no end
        for q in base:
            file.write(json.dumps({k: q[k] for k in ("scenario", "question", "actual", "seed",
                                                     "time")} | {"answer": q["actual"],
                                                                 "correct": True}) + "\n")
    # Two labs that shared one report, their lines between each other's.
    with open("s09.jsonl", encoding="utf-8") as one, open("s10.jsonl", encoding="utf-8") as two:
        shared = [line for pair in itertools.zip_longest(one, two) for line in pair if line]
    with open("shared.jsonl", "w", encoding="utf-8") as file:
        file.writelines(shared)
    os.remove("s09.jsonl")
    os.remove("s10.jsonl")
    files = sorted(f for f in os.listdir() if f.endswith(".jsonl") and f != "base.jsonl")
    with open("cut.jsonl", "w") as file:
        file.write('{"scenario": "pipe", "question": "lines"\nnot json\n{"format": 9}\n'
                   + "[" * 100000 + "\n" + json.dumps({**base[0], "params": []}) + "\n"
                   + json.dumps({**base[0], "seed": True}) + "\n"
                   + json.dumps({**base[0], "params": {"a": [[[[]]]]}}) + "\n"
                   + '"' + "x" * (2 << 20) + '"\n{"sce')
    files.append("cut.jsonl")

    result = lab("--summary", "--json", *files)
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    first = lines[0]
    check(first["question"] == "writes" and first["wrong"][0] == [1, 6],
          f"the most missed question first, its most common wrong answer first: {first}")
    lines_q = next(o for o in lines if o.get("question") == "lines")
    check(lines_q["badly_formed"] == 2 and lines_q["wrong"] == [],
          f"answers of the wrong form counted apart: {lines_q}")
    flags = {o["student"]: o["flags"] for o in lines if "student" in o}
    for student, flag in (("shower", "shown"), ("faker", "program"), ("editor", "edited"),
                          ("quitter", "early")):
        check(flag in flags.get(student, []), f"{student} not flagged {flag}: {flags}")
    check(all(not flags[f"s{n:02d}"] for n in range(1, 12)), f"a fair student flagged: {flags}")
    check(flags.get(None) == ["early"], f"a report of format 1 is read, without its end: {flags}")
    complaints = result.stderr.splitlines()
    check(len(complaints) == 9 and all(c.startswith(f"{LAB}: cut.jsonl:") for c in complaints),
          f"each unusable line named once: {[c[:80] for c in complaints]}")

    for lang, head in (("en", "not used"), ("ko", "사용하지 못했습니다")):
        text = lab("--summary", "--lang", lang, *files).stdout.splitlines()
        check(head in text[0] and all(width(line) <= 80 for line in text),
              f"the {lang} summary's first line or width: {text[:1]}")
        check(sum(1 for line in text if "editor" in line and "jsonl" in line) == 1,
              f"the {lang} summary names the edited report once")
        picture = lab("--summary", "--lang", lang, "--svg", f"class.{lang}.svg", *files)
        check(picture.returncode == 0, f"--svg: {picture.stderr}")
        root = ElementTree.parse(f"class.{lang}.svg").getroot()
        texts = [t.text or "" for t in root.iter("{http://www.w3.org/2000/svg}text")]
        check(any("pipe writes" in t for t in texts), f"the {lang} chart's bars are labelled")


def width(line):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line)


if __name__ == "__main__":
    {"students": students, "summary": summary}[sys.argv[1]]()
    for fault in faults:
        print(fault)
    sys.exit(1 if faults else 0)
