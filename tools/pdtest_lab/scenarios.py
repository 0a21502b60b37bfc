"""The lab's scenarios, the questions each asks, the parameters a scenario may draw, and the
order a class seed and a student's name give them.

A scenario is one way to run pdTest. Some have variants that change what the run does, and so
its answers: a buffer size, a signal, which call strace refuses, the jobs a shell leaves
running. No variant holds an answer; each only says how pdTest is run.
"""

import hashlib
import unicodedata
import shlex
from dataclasses import dataclass, field, replace
from pdtest_words import N_, NP_, Nn_, Words, n_

FIRST_LINE = "메인에서 할당된 y주소 : "
DIGITS = 9  # the most an answer that is a number has: no run counts that far


@dataclass(frozen=True)
class Scenario:
    ident: str
    sink: str  # terminal, pipe, file, full or gone (a pipe nobody reads)
    questions: tuple
    inject: tuple = ()  # strace -e inject= expressions
    before: tuple = ()  # a command that runs pdTest, such as stdbuf -oL
    kill: str | None = None  # who gets the signal once the child is in its pause
    signal: str = "SIGTERM"
    jobs: tuple = ()  # seconds each job lasts that the shell leaves running before its exec
    sigpipe_ignored: bool = False
    params: dict = field(default_factory=dict, compare=False)  # as drawn, for the report


CORE = ("lines", "address", "first", "status")
BASES = {
    "terminal": Scenario("terminal", "terminal", CORE + ("writes",)),
    "pipe": Scenario("pipe", "pipe", CORE + ("writes",)),
    "file": Scenario("file", "file", CORE),
    "line-buffered": Scenario("line-buffered", "pipe", CORE + ("writes",), before=("stdbuf", "-oL")),
    "full-device": Scenario("full-device", "full", ("lines", "address", "status", "stderr")),
    # glibc tries clone3 first and falls back on clone when the kernel does not know it.
    "no-fork": Scenario("no-fork", "terminal", ("lines", "address", "status", "stderr"),
                        inject=("clone:error=EAGAIN", "clone3:error=ENOSYS")),
    "no-wait": Scenario("no-wait", "pipe", CORE + ("stderr",), inject=("wait4:error=EPERM",)),
    "no-sleep": Scenario("no-sleep", "terminal", CORE, inject=("clock_nanosleep:retval=0",)),
    "write-error": Scenario("write-error", "terminal", ("lines", "address", "status", "stderr")),
    "child-killed": Scenario("child-killed", "terminal", CORE + ("stderr",), kill="child"),
    "orphan": Scenario("orphan", "terminal", CORE, kill="parent"),
    "reader-gone": Scenario("reader-gone", "gone", ("lines", "status", "stderr")),
    "exec-with-child": Scenario("exec-with-child", "terminal", CORE + ("zombies",), jobs=(1,)),
}

# Each scenario's variants, the first the one a lab without a seed runs. Every variant gives the
# same answers on any machine: none depends on process IDs, addresses or the machine's speed,
# nor on the C library's version (glibc 2.36 and 2.41 write these the same way).
VARIANTS = {
    # 128 and 256 bytes: three and two writes a process whatever the digits of its PIDs.
    "pipe": ({}, {"buffer": 128}, {"buffer": 256}),
    # Refusing only the first waitpid leaves the second to wait for the child.
    "no-wait": ({}, {"refused": "first"}),
    # Each process counts its own writes: the Nth of each fails.
    "write-error": ({"write": 3}, {"write": 1}, {"write": 2}, {"write": 5}),
    # Not SIGINT: a job that a script starts in the background ignores it.
    "orphan": ({}, {"signal": "SIGHUP"}, {"signal": "SIGKILL"}, {"signal": "SIGUSR1"},
               {"signal": "SIGALRM"}),
    "reader-gone": ({}, {"sigpipe": "ignored"}),
    # A job of 1 s ends during the 3-second pause, one of 5 s after it: 2 s from either end.
    "exec-with-child": ({}, {"jobs": [1, 1]}, {"jobs": [5]}, {"jobs": [1, 1, 1]},
                        {"jobs": [1, 5]}, {"jobs": [1, 1, 5]}),
}

IDS = tuple(BASES)


def built(ident, params):
    """The scenario as its parameters make it."""
    s = replace(BASES[ident], params=dict(params))
    if "buffer" in params:
        s = replace(s, before=("stdbuf", f"-o{params['buffer']}"))
    if params.get("refused") == "first":
        s = replace(s, inject=("wait4:error=EPERM:when=1",))
    if "write" in params:
        s = replace(s, inject=(f"write:error=EIO:when={params['write']}",))
    if "signal" in params:
        s = replace(s, signal=params["signal"])
    if params.get("sigpipe") == "ignored":
        s = replace(s, sigpipe_ignored=True)
    if "jobs" in params:
        s = replace(s, jobs=tuple(params["jobs"]))
    return s


def drawn(seed, student, what):
    """A number that the seed, the student and what it is for give the same on any machine."""
    name = "" if student is None else " ".join(unicodedata.normalize("NFC", student).split())
    key = f"{seed}\0{name.casefold()}\0{what}".encode()
    return int.from_bytes(hashlib.sha256(key).digest()[:8], "big")


def planned(ids, seed, student):
    """The scenarios to ask, in order, each with its parameters.

    With a student, the class seed and the name give the order, of the named scenarios or of
    all, and each scenario's variant; with a seed alone, all students alike. The order is a sort
    by drawn keys, so that a student's order of some scenarios is their order within all.
    Without a seed, the named scenarios (or all) in the order named, each as its first
    variant.
    """
    if seed is None:
        return [built(i, VARIANTS.get(i, ({},))[0]) for i in ids or IDS]
    chosen = list(ids or IDS)
    if student is not None or not ids:
        chosen.sort(key=lambda i: drawn(seed, student, "order " + i))
    plan = []
    for ident in chosen:
        variants = VARIANTS.get(ident, ({},))
        plan.append(built(ident, variants[drawn(seed, student, "variant " + ident) % len(variants)]))
    return plan


def params_text(params):
    """The parameters as one word for a listing: buffer=128,jobs=1+5; - for none."""
    if not params:
        return "-"
    return ",".join(f"{k}={'+'.join(map(str, v)) if isinstance(v, list) else v}"
                    for k, v in params.items())


def command_of(scenario, program):
    """What a learner types for the same run, and what it shows the status with."""
    p = shlex.quote(program)
    strace = " ".join(["strace -f -o /dev/null"] + [f"-e inject={e}" for e in scenario.inject])
    run = f"{strace} {p}" if scenario.inject else " ".join(list(scenario.before) + [p])
    if scenario.kill:
        how = "" if scenario.signal == "SIGTERM" else f"-{scenario.signal[3:]} "
        signal_it = f"pkill {how}-P $!" if scenario.kill == "child" else f"kill {how}$!"
        return f'({p} & sleep 1; {signal_it}; wait $!; echo "status $?")'
    if scenario.jobs:
        jobs = "".join(f"sleep {seconds} & " for seconds in scenario.jobs)
        return f"sh -c {shlex.quote(f'{jobs}exec {p}')}" + '; echo "status $?"'
    if scenario.sink == "gone" and scenario.sigpipe_ignored:
        return f"(trap '' PIPE; {run} | true; echo \"status ${{PIPESTATUS[0]}}\")"
    if scenario.sink == "pipe":
        return f'{run} | cat; echo "status ${{PIPESTATUS[0]}}"'
    if scenario.sink == "gone":
        return f'{run} | true; echo "status ${{PIPESTATUS[0]}}"'
    if scenario.sink == "file":
        return f'{run} > out.txt; echo "status $?"; cat out.txt'
    if scenario.sink == "full":
        return f'{run} > /dev/full; echo "status $?"'
    return f'{run}; echo "status $?"'


def helpers(plan):
    """The commands besides strace that the planned runs need."""
    return {s.before[0] for s in plan if s.before} | {"sh" for s in plan if s.jobs}


# Each answer a question of choice takes, and the words that name it, which a learner may type
# in English or in any language whose catalog is here; the first is the one the lab shows.
CHOICES = {
    "first": {
        # TRANSLATORS: the words a learner types to answer, and each word a prompt shows.
        "child": (NP_("answer", "child"), NP_("answer", "child first")),
        "parent": (NP_("answer", "parent"), NP_("answer", "parent first")),
        "one": (NP_("answer", "one"), NP_("answer", "only one"), NP_("answer", "only one block")),
        "none": (NP_("answer", "none"),),
    },
}


def kind(question):
    return question if question in CHOICES else "number"


ABOUT = {
    "terminal": N_("standard output on a terminal"),
    "pipe": N_("standard output through a pipe (| cat)"),
    "pipe buffer": N_("through a pipe, with a {buffer}-byte buffer (stdbuf -o{buffer})"),
    "file": N_("standard output into a file (> out.txt)"),
    "line-buffered": N_("through a pipe, line-buffered by stdbuf -oL"),
    "full-device": N_("standard output on a full device (> /dev/full)"),
    "no-fork": N_("the fork refused: strace makes it fail with EAGAIN"),
    "no-wait": N_("waitpid refused: strace makes every call fail with EPERM; through a pipe"),
    "no-wait first": N_("the first waitpid refused: strace makes only the first call fail "
                        "with EPERM; through a pipe"),
    "no-sleep": N_("the child's pause skipped: strace makes its sleep return at once"),
    "write-error": N_("strace makes the write(2) number {write} of each process fail with "
                      "EIO; on a terminal"),
    "child-killed": N_("SIGTERM to the child during its pause"),
    "orphan": N_("{signal} to the parent during the child's pause"),
    "reader-gone": N_("a pipe whose reader has gone (| true)"),
    "reader-gone ignored": N_("a pipe whose reader has gone (| true), with SIGPIPE ignored"),
    "exec-with-child": N_("exec'd by a shell that left jobs running: {jobs}"),
    "jobs": Nn_("{n} of {seconds} s", "{n} of {seconds} s each"),
}


def about(scenario, lang):
    """The scenario in a few words, its parameters among them."""
    words, p = Words(ABOUT), scenario.params
    if scenario.ident == "pipe" and "buffer" in p:
        return words["pipe buffer"].format(buffer=p["buffer"])
    if scenario.ident == "no-wait" and p.get("refused") == "first":
        return words["no-wait first"]
    if scenario.ident == "reader-gone" and scenario.sigpipe_ignored:
        return words["reader-gone ignored"]
    if scenario.ident == "exec-with-child":
        lengths = sorted(set(scenario.jobs))
        jobs = ", ".join(n_(*words["jobs"], scenario.jobs.count(s)).format(
            n=scenario.jobs.count(s), seconds=s) for s in lengths)
        return words["exec-with-child"].format(jobs=jobs)
    if scenario.ident == "write-error":
        return words["write-error"].format(write=p["write"])
    return words[scenario.ident].format(signal=scenario.signal)


QUESTIONS = {
    "ask": {
        "lines": N_("How many lines reach standard output (not counting standard error)?"),
        "address": N_("How many times does the line 메인에서 할당된 y주소 : ... appear?"),
        "first": N_("A block is what one process prints from its 현재 프로세스 line on. Which "
                    "blocks reach the output, in what order: child (both, the child's first), "
                    "parent (both, the parent's first), one (only one block) or none?"),
        "status": N_("What exit status does the shell report for pdTest?"),
        "stderr": N_("How many lines do pdTest's processes write to standard error?"),
        "writes": N_("How many write(2) calls does the child make to standard output?"),
        "zombies": N_("How many processes are zombies when the child's pause ends?"),
    },
    "form": {
        "number": N_("a number"),
        "first": N_("child, parent, one or none"),
    },
    "expect": {
        "number": N_("a whole number, 0 or more"),
        "long": N_("a whole number of at most 9 digits"),
        "first": N_("child, parent, one or none"),
    },
}
