"""Runs pdTest the way a scenario says, under strace -f, and gives what happened: the bytes on
standard output and standard error, and the trace read back as the run's events and calls."""

import os
import pty
import select
import shlex
import signal
import subprocess
import sys
import tempfile
import termios

import pdtest_command as cli
import pdtest_strace as tracing
import pdtest_trace as trace


class Result:
    """One run: what reached the output, standard error, and what the trace shows."""

    def __init__(self, scenario, out, err, lines, signalled):
        self.scenario = scenario
        self.out, self.err, self.signalled = out, err, signalled
        self.run = trace.run_of(lines)
        self.calls, _ = trace.system_calls(lines)
        self.first = {}
        for e in self.run.events:
            self.first.setdefault((e.who, e.kind), e)

    def when(self, who, kind):
        e = self.first.get((who, kind))
        return None if e is None else e.when

    def pid(self, who):
        return self.run.parent if who == "parent" else self.run.child

    def calls_of(self, who, name, fd=None):
        pid = self.pid(who)
        return [c for c in self.calls if c.pid == pid and c.name == name
                and (fd is None or c.args.startswith(f"{fd},"))]

    def seconds(self, when):
        """A time of the trace in seconds since the fork, as the events are timed."""
        end = self.first[("parent", "exit")]
        gone = next(c.start for c in self.calls if c.pid == self.run.parent and c.name == "+++")
        return when - (gone - end.when)


def command(scenario, program):
    """What strace runs: the program, behind what the scenario puts in front of it."""
    if scenario.jobs:
        jobs = "".join(f"sleep {seconds} & " for seconds in scenario.jobs)
        return ["sh", "-c", f"{jobs}exec {shlex.quote(program)}"]
    if scenario.sigpipe_ignored:  # as a subshell's trap '' PIPE leaves it for its commands
        return ["sh", "-c", "trap '' PIPE; exec \"$0\"", program]
    return list(scenario.before) + [program]


def run_scenario(scenario, program):
    """Runs pdTest as the scenario says, under strace, and gives what happened."""
    options = []
    for expression in scenario.inject:
        options += ["-e", f"inject={expression}"]
    try:
        err_read, err_write = os.pipe()
        out_read, out_write, file = sink(scenario.sink)
    except OSError as error:  # no terminal, no temporary folder, no descriptor left
        raise cli.Failure(f"standard output for pdTest ({scenario.sink}): "
                          f"{error.strerror}") from None
    read = {fd: b"" for fd in (out_read, err_read) if fd is not None}
    victim, signalled = scenario.kill, False
    number = signal.Signals[scenario.signal]
    tracer = tracing.Tracer(command(scenario, program), options, stdin=subprocess.DEVNULL,
                            stdout=out_write, stderr=err_write)
    try:
        with tracer:
            os.close(out_write)
            os.close(err_write)
            out_write = err_write = None
            watch, open_ = select.poll(), set(read)
            for fd in read:
                watch.register(fd, select.POLLIN)
            # Only its errors: a reader of the lab's own output that has gone ends the lab now.
            watch.register(sys.stdout.fileno(), 0)
            while open_:
                for fd, events in watch.poll(20 if victim else None):
                    if fd == sys.stdout.fileno():
                        if events & (select.POLLERR | select.POLLHUP):
                            raise BrokenPipeError
                        watch.unregister(fd)
                        continue
                    try:
                        data = os.read(fd, 1 << 16)
                    except OSError:  # a terminal says its last writer has gone with EIO
                        data = b""
                    if data:
                        read[fd] += data
                    else:
                        watch.unregister(fd)
                        open_.discard(fd)
                if victim:
                    victim, signalled = signal_in_pause(tracer.pid, victim, number)
            lines = tracer.wait()
    except trace.TraceError as error:  # it says why strace failed, where strace said so
        raise cli.Failure(str(error)) from None
    finally:
        for fd in [out_write, err_write] + list(read):
            if fd is not None:
                os.close(fd)
        for _ in tracing.collected():  # what the run left to this subreaper
            pass
    out = read.get(out_read, b"")
    if file is not None:
        file.seek(0)
        out = file.read()
        file.close()
    try:
        return Result(scenario, out, read[err_read], lines, signalled)
    except trace.TraceError as error:
        raise cli.Failure(tracer.reason(f"{cli.escaped(program)}: {error}")) from None


def sink(kind):
    """Where pdTest's standard output goes: the end to read it from (None where nothing
    reads it), the end pdTest writes, and the temporary file, if any, that holds it."""
    if kind == "terminal":
        out_read, out_write = pty.openpty()
        mode = termios.tcgetattr(out_write)
        mode[1] &= ~termios.OPOST  # keep "\n" as it was written
        termios.tcsetattr(out_write, termios.TCSANOW, mode)
        return out_read, out_write, None
    if kind in ("pipe", "gone"):
        out_read, out_write = os.pipe()
        if kind == "gone":  # as after "| true": its reader has already exited
            os.close(out_read)
            return None, out_write, None
        return out_read, out_write, None
    if kind == "file":
        file = tempfile.TemporaryFile(prefix="pdTest-lab-")
        return None, os.dup(file.fileno()), file
    return None, os.open("/dev/full", os.O_WRONLY), None


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children", encoding="ascii") as file:
            return [int(word) for word in file.read().split()]
    except (OSError, ValueError):
        return []


def pausing(pid):
    """Whether the process is asleep in nanosleep, as the child is during its pause."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as file:
            state = file.read().rsplit(")", 1)[1].split()[0]
        with open(f"/proc/{pid}/wchan", encoding="ascii", errors="replace") as file:
            wchan = file.read()
    except (OSError, IndexError):
        return False
    return state == "S" and "nanosleep" in wchan


def signal_in_pause(strace_pid, victim, number):
    """Sends the signal to the victim once pdTest's child is in its pause. Gives the victim
    while it waits for that, else None, and whether the signal went."""
    parents = children(strace_pid)
    kids = children(parents[0]) if parents else []
    if not kids or not pausing(kids[0]):
        return victim, False
    try:
        os.kill(kids[0] if victim == "child" else parents[0], number)
    except OSError:
        return None, False
    return None, True
