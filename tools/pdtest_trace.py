"""Reads the trace strace -f -ttt -T -xx writes back as what a program's processes did.

The learner's tools share it: pdTest-timeline draws a run from it, pdTest-lab explains its
answers with it. strace(1) says what each line can look like: "<unfinished ...>", "<... resumed>",
"= ? ERESTARTSYS", "restart_syscall", "+++ killed by". A call that was cut by other processes'
lines or interrupted by a signal and restarted is one call from its start to its real end; the
run's events are the fork, each write(2) to standard output, the child's pause, the parent's
waitpid, execs, stops, continues and exits.
"""

import os
import re
from dataclasses import dataclass, field

CALL = re.compile(r"(\w+)\((.*)")


RESUMED = re.compile(r"<\.\.\. (\w+) resumed>(.*)")


RESULT = re.compile(r"\)\s+=\s+(\S+)(?:\s+(E[A-Z0-9_]+)(?:\s+\(.*\))?)?(?:\s+<(\d+\.\d+)>)?\s*$")


FORKS = ("clone", "clone3", "fork", "vfork")


# Calls that write to a file descriptor but are not drawn, so that the run can say so.
OTHER_WRITES = ("writev", "pwrite64", "pwritev", "pwritev2", "sendfile", "splice", "tee",
                "vmsplice", "copy_file_range", "sendmsg", "sendto")


class TraceError(Exception):
    """The run could not be traced, or its trace is not whole; the text says why."""


@dataclass
class Call:
    pid: int
    start: float
    name: str
    args: str
    end: float | None = None  # None: the process ended inside the call
    result: str | None = None
    error: str | None = None
    restarted: int = 0  # how often a signal interrupted it and the kernel restarted it


@dataclass
class Event:
    when: float  # seconds since the fork
    who: str  # parent or child
    kind: str
    detail: object = None


@dataclass
class Run:
    """One run of a program that forks once: its parent, its child and what they did."""

    parent: int
    child: int | None  # None when the fork failed
    program: str  # what the parent exec'd last before the fork, as a path
    events: list = field(default_factory=list)
    fork_error: str | None = None
    left_out: dict = field(default_factory=dict)  # what is in the trace but not in the events


def system_calls(lines):
    """Each system call once, in order of its start, and each exit, stop and continue.

    A call cut by other processes' lines is joined with its "resumed" part; one interrupted by
    a signal and restarted by the kernel (ERESTART..., restart_syscall) is one call from its
    first start to its last end. An exit is a Call named "+++", a stop "stop", a delivered
    SIGCONT "cont"; their args say more.
    """
    calls, cut, interrupted, ended = [], {}, {}, set()

    def finish(call, rest, when, resumed):
        # With -xx no string holds ") = ", so the result starts at its last one.
        result = RESULT.match(rest, max(rest.rfind(") = "), 0))
        call.result = result[1] if result else None
        call.error = result[2] if result else None
        # A resumed call ends when strace saw it resume, on the clock of the lines around it;
        # -T's duration is on another clock, good for a call on one line only.
        # A restarted call's duration runs from its restart, the line's own time.
        call.end = when if resumed or not (result and result[3]) else when + float(result[3])
        if call.result == "?" and "<unfinished ...>" in rest:
            call.end, call.result = None, None  # the process died inside it
            calls.append(call)
            return
        if call.result == "?" and (call.error or "").startswith("ERESTART"):
            interrupted[call.pid] = call  # joined with its restart, if one comes
            return
        calls.append(call)

    for text in lines:
        fields = text.split(None, 2)
        if len(fields) < 3 or not fields[0].isdigit():
            continue
        pid, rest = int(fields[0]), fields[2]
        try:
            when = float(fields[1])
        except ValueError:
            continue
        if rest.startswith("+++"):
            for pending in (cut.pop(pid, None), interrupted.pop(pid, None)):
                if pending is not None:  # the process ended inside it: it never returned
                    pending.end, pending.result = None, None
                    calls.append(pending)
            calls.append(Call(pid, when, "+++", rest, when))
            ended.add(pid)
            continue
        if rest.startswith("---"):
            if rest.startswith("--- stopped by "):
                calls.append(Call(pid, when, "stop", rest.split()[3], when))
            elif rest.startswith("--- SIGCONT "):
                calls.append(Call(pid, when, "cont", "SIGCONT", when))
            continue
        resumed = RESUMED.match(rest)
        if resumed:
            call = cut.pop(pid, None)
            if call is None:
                continue
            call.args += resumed[2]
            rest = call.args
        else:
            opened = CALL.match(rest)
            if opened is None:
                continue
            name = opened[1]
            call = Call(pid, when, name, opened[2])
            earlier = interrupted.pop(pid, None)
            if earlier is not None:
                if name in (earlier.name, "restart_syscall"):
                    earlier.restarted += 1
                    call.start, call.name, call.restarted = earlier.start, earlier.name, earlier.restarted
                    call.args = earlier.args if name == "restart_syscall" else call.args
                else:  # a handler ran instead: the program saw the call fail with EINTR
                    earlier.error = "EINTR"
                    earlier.result = "-1"
                    calls.append(earlier)
            if rest.endswith("<unfinished ...>"):
                call.args = call.args[: -len("<unfinished ...>")]
                cut[pid] = call
                continue
        finish(call, rest, when, resumed)
    for pid in set(cut) | set(interrupted):
        if pid not in ended:
            raise TraceError(f"the trace is not whole: it stops inside a call of process {pid}")
    calls.sort(key=lambda c: c.start)
    return calls, ended


def forked(call):
    """The new process's PID if the call made a process, not a thread, else None."""
    if call.name not in FORKS or call.error or not (call.result or "").isdigit():
        return None
    if call.name != "vfork" and re.search(r"CLONE_THREAD|CLONE_VM", call.args):
        return None
    return int(call.result)


def is_thread(call):
    return call.name in FORKS and not call.error and "CLONE_THREAD" in call.args


def first_string(args):
    """The first string argument, as bytes, and whether strace cut it short. With -xx a
    string is all \\xNN escapes, so no quote stands inside one."""
    start = args.find('"')
    end = args.find('"', start + 1) if start >= 0 else -1
    if end < 0:
        return None, False
    try:
        data = bytes.fromhex(args[start + 1:end].replace("\\x", ""))
    except ValueError:
        return None, False
    return data, args.startswith("...", end + 1)


def processes_of(calls):
    """Each thread's process: the process whose thread made it, or itself."""
    owner = {}
    for call in calls:
        if is_thread(call):
            owner[int(call.result)] = owner.get(call.pid, call.pid)
    return owner


def chosen_fork(calls, owner, execs):
    """The program's fork: one made after the forking process's last exec (a wrapper's fork
    for a command of its own comes before it execs the program), best one whose child runs on
    without exec, as a shell's child for a command does not; else one whose child runs on
    without exec though its parent then execs another program; else a fork that failed."""
    last_exec = {pid: c.start for pid, c in execs.items()}
    made = [c for c in calls if forked(c)]
    after = [c for c in made if c.start >= last_exec.get(owner.get(c.pid, c.pid), c.start)]
    fork = next((c for c in after if forked(c) not in execs), after[0] if after else None)
    fork = fork or next((c for c in made if forked(c) not in execs), None)
    if fork is None:
        # glibc tries clone3 first and falls back on clone when it is unknown.
        fork = next((c for c in calls if c.name in FORKS and c.error
                     and not (c.name == "clone3" and c.error == "ENOSYS")
                     and "CLONE_THREAD" not in c.args
                     and c.start >= last_exec.get(owner.get(c.pid, c.pid), c.start)), None)
    if fork is None:
        raise TraceError("the trace holds no fork: the program made no process")
    return fork


def run_of(lines):
    """The run a trace shows, or TraceError when the trace is not whole or holds no fork."""
    calls, ended = system_calls(lines)
    if not any(c.name == "execve" and c.result == "0" for c in calls):
        raise TraceError("strace could not start or trace the program")
    pids = {call.pid for call in calls}
    missing = sorted(pids - ended)
    if missing:
        raise TraceError(f"the trace is not whole: strace stopped before process {missing[0]} ended")
    owner = processes_of(calls)

    def process(call):
        return owner.get(call.pid, call.pid)

    execs = {process(c): c for c in calls if c.name == "execve" and c.result == "0"}
    fork = chosen_fork(calls, owner, execs)
    parent, child = process(fork), forked(fork)
    started = max((c for c in calls if process(c) == parent and c.name == "execve"
                   and c.result == "0" and c.start < fork.start), key=lambda c: c.start,
                  default=None)
    program = first_string(started.args)[0] if started else b""
    run = Run(parent, child, os.fsdecode(program), fork_error=fork.error if child is None else None)
    zero = fork.start
    events = run.events
    names = {parent: "parent", child: "child"}
    others, threads, other_writes = {}, 0, 0

    def add(when, who, kind, detail=None):
        events.append(Event(when - zero, who, kind, detail))

    collected = False
    for call in calls:
        if started is not None and call.start < started.start and process(call) == parent:
            other_writes += call.name == "write" and call.args.startswith("1,")
            continue
        who = names.get(process(call))
        threads += is_thread(call)
        if who is None:
            if process(call) not in others:
                others[process(call)] = os.path.basename(
                    os.fsdecode(first_string(execs[process(call)].args)[0] or b"")) \
                    if process(call) in execs else ""
            if call.name == "write" and call.args.startswith("1,"):
                other_writes += 1
            continue
        if call.name in ("+++", "stop", "cont") and call.pid != process(call):
            continue  # a thread's, not its process's
        if call.name == "write" and call.args.startswith("1,") and not call.error:
            data, cut_short = first_string(call.args)
            size = int(call.result) if (call.result or "").isdigit() else len(data or b"")
            add(call.start, who, "write", {"data": (data or b"")[:size], "size": size,
                                           "shown": min(len(data or b""), size)
                                           if not cut_short else len(data)})
        elif call.name == "execve" and call.result == "0":
            add(call.start, who, "exec", os.fsdecode(first_string(call.args)[0] or b""))
        elif call.name in OTHER_WRITES and call.args.startswith("1,"):
            other_writes += 1
        elif call is fork:
            add(call.start, who, "fork" if child else "fork_failed",
                child if child else call.error)
        elif call.name in FORKS and forked(call):
            others.setdefault(forked(call), "")
        elif call.name == "wait4" and who == "parent" and call.end is not None and \
                (call.result or "").isdigit() and int(call.result) not in (0, child):
            continue  # another child of the program's, which is left out
        elif call.name in ("clock_nanosleep", "nanosleep") and who == "child":
            # Until a set time (TIMER_ABSTIME, as Python's time.sleep asks) it is no length.
            asked = None if "TIMER_ABSTIME" in call.args else \
                re.search(r"tv_sec=(\d+), tv_nsec=(\d+)", call.args)
            add(call.start, who, "sleep", int(asked[1]) + int(asked[2]) / 1e9 if asked else None)
            if call.end is not None:
                add(call.end, who, "wake")
        elif call.name == "wait4" and who == "parent":
            if call.end is None:
                add(call.start, who, "wait")  # the parent ended inside it
            elif call.error:
                add(call.start, who, "wait_failed", {"error": call.error, "again": collected,
                                                     "target": call.args.split(",", 1)[0]})
            elif (call.result or "").isdigit() and int(call.result) > 0:
                add(call.start, who, "wait")
                add(call.end, who, "collect", int(call.result))
                collected = True
        elif call.name == "+++":
            status = re.search(r"exited with (\d+)|killed by (\w+)", call.args)
            add(call.start, who, "exit", (int(status[1]) if status[1] else status[2])
                if status else None)
        elif call.name in ("stop", "cont"):
            add(call.start, who, call.name, call.args)
    events.sort(key=lambda e: e.when)
    others.pop(child, None)
    others.pop(parent, None)
    if others:
        run.left_out["processes"] = others
    if threads:
        run.left_out["threads"] = threads
    if other_writes:
        run.left_out["writes"] = other_writes
    return run


def lines_of(data):
    """The lines as wc -l counts them, and a last one that lacks its line feed."""
    lines = data.split(b"\n")
    return lines[:-1] if not lines[-1] else lines


def copied_lines(run):
    """How many lines, not counting blank ones at its end, begin both processes' first
    write after the fork alike: text printed before the fork and copied with the buffer."""
    first = {}
    for e in run.events:
        if e.kind == "write" and e.when >= 0:
            first.setdefault(e.who, e.detail["data"].split(b"\n"))
    if len(first) < 2:
        return 0
    same = 0
    for mine, theirs in zip(first["parent"], first["child"]):
        if mine != theirs:
            break
        same += 1
    while same and not first["parent"][same - 1]:
        same -= 1
    return same
