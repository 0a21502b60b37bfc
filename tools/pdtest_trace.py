"""Runs a program under strace -f and reads the trace back as what its processes did.

The learner's tools share it: pdTest-timeline draws a run from it, pdTest-lab explains its
answers with it. It reads the lines strace -f -ttt -T -xx writes (strace(1) says what each
can look like: "<unfinished ...>", "<... resumed>", "= ? ERESTARTSYS", "restart_syscall",
"+++ killed by"), joins a call that was cut by other processes' lines or interrupted by a
signal and restarted into one call from its start to its real end, and gives the run's
events: the fork, each write(2) to standard output, the child's pause, the parent's waitpid,
execs, stops, continues and exits.

The manners the tools share as commands are here too, at the end: their name as typed, the
pdTest they run, the language, one-line errors, their standard streams however they were
left, and the signals that end them.
"""

import ctypes
import errno
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import unicodedata
from dataclasses import dataclass, field

# A write longer than this shows only its first bytes in the trace, and the run says so.
SHOWN = 1 << 20
# -I4: Ctrl-Z stops the traced processes, not strace, so that the trace shows their stop.
OPTIONS = ["-f", "-q", "-I4", "-ttt", "-T", "-xx", "-s", str(SHOWN)]

CALL = re.compile(r"(\w+)\((.*)")
RESUMED = re.compile(r"<\.\.\. (\w+) resumed>(.*)")
RESULT = re.compile(r"\)\s+=\s+(\S+)(?:\s+(E[A-Z0-9_]+)(?:\s+\(.*\))?)?(?:\s+<(\d+\.\d+)>)?\s*$")
FORKS = ("clone", "clone3", "fork", "vfork")
# Calls that write to a file descriptor but are not drawn, so that the run can say so.
OTHER_WRITES = ("writev", "pwrite64", "pwritev", "pwritev2", "sendfile", "splice", "tee",
                "vmsplice", "copy_file_range", "sendmsg", "sendto")

# The signals whose default action ends a process (signal(7)), but SIGKILL, which no process
# can catch: SIGINT, SIGTERM, SIGQUIT, SIGUSR1, the real-time ones and the rest.
ENDING = signal.valid_signals() - {
    signal.SIGKILL, signal.SIGSTOP, signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU,
    signal.SIGCHLD, signal.SIGCONT, signal.SIGURG, signal.SIGWINCH}
# Those ignored when the command started, as nohup and a script's & leave them; Python itself
# ignores SIGPIPE and SIGXFSZ, which a program run from a shell would not.
IGNORED = {number for number in signal.valid_signals()
           if signal.getsignal(number) == signal.SIG_IGN} - {signal.SIGPIPE, signal.SIGXFSZ}


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


def escaped(data):
    """Bytes as text to show: UTF-8 where they are, \\xNN where not, control and invisible
    characters (tabs and line feeds too) as escapes and a backslash doubled, so that a line
    stays one line of known width and an escape is never mistaken for the text."""
    if not isinstance(data, bytes):
        data = data.encode("utf-8", errors="surrogateescape")
    text = data.replace(b"\\", b"\\\\").decode("utf-8", errors="backslashreplace")
    return CONTROL.sub(_escape, text)


# Control characters, and the invisible ones that reorder or hide text on a terminal
# (bidirectional marks, zero-width ones, line and paragraph separators), and noncharacters.
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u200b-\u200f\u2028-\u202e\u2060-\u2069\ufeff"
                     "\ufffe\uffff]")


def _escape(found):
    c = found[0]
    if c in "\t\n":
        return "\\t" if c == "\t" else "\\n"
    code = ord(c)
    # \xNN for the C0 controls and DEL; \uNNNN for characters past them, so that U+0085 is
    # never taken for the byte 0x85 that is not UTF-8.
    return f"\\x{code:02x}" if code < 0x80 else f"\\u{code:04x}"



# Running a command under strace, with a keeper that ends the run however the tool ends.

def descendants(pid):
    """The processes below pid, parents before their children, read from /proc while they
    last."""
    found, todo = [], [pid]
    while todo:
        here = todo.pop()
        try:
            tasks = os.listdir(f"/proc/{here}/task")
        except OSError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{here}/task/{task}/children", encoding="ascii") as file:
                    children = [int(word) for word in file.read().split()]
            except (OSError, ValueError):
                continue
            found.extend(children)
            todo.extend(children)
    return found


def prctl(option, value):
    try:
        ctypes.CDLL(None, use_errno=True).prctl(option, value, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def adopt_orphans():
    """Makes this process the one that collects its descendants' orphans (Linux 3.4 and
    later), so that none outlives it unseen."""
    prctl(36, 1)  # PR_SET_CHILD_SUBREAPER


def end_children():
    """Kills this process's descendants, parents first (a parent left alive would report its
    child killed), orphans it adopted among them, and collects each one, until none is left."""
    while True:
        found = descendants(os.getpid())
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        try:
            if not found or os.waitpid(-1, 0)[0] <= 0:
                return
        except ChildProcessError:
            return


# How much of strace's own messages the keeper keeps: the first line is the one that says why.
KEPT = 1 << 14
# Run by strace in place of the command, with descriptor 2 strace's own and 3 the command's
# standard error: it gives the command its standard error, keeps strace's for its own
# complaint, as strace would word it, and runs the command as strace would have.
WRAPPER = """import os, signal, sys
said = os.dup(2)
os.dup2(3, 2)
os.close(3)
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
try:
    os.execv(sys.argv[1], sys.argv[2:])
except OSError as error:
    os.write(said, f"strace: exec: {error.strerror}\\n".encode())
os._exit(127)
"""


def keep(strace_path, argv, fds, life, report):
    """The keeper of a run, a child of the tool and the parent of strace: it collects the run's
    orphans, holds strace's own messages apart from the command's standard error, and ends the
    run, strace included, as soon as the tool's end of the life pipe closes, which it does
    however the tool ends, SIGKILL included. It reports strace's process ID, or ! and why it
    could not start it; then strace's exit status and its messages. Never returns."""
    try:
        for number in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
            try:  # the tool's signals are the tool's to act on, Ctrl-Z and Ctrl-C included
                signal.signal(number, signal.SIG_IGN)
            except (OSError, ValueError):
                pass
        try:
            woken, wake = os.pipe()
            said, said_w = os.pipe()
            os.set_blocking(wake, False)
            signal.set_wakeup_fd(wake)
            signal.signal(signal.SIGCHLD, lambda number, frame: None)
            signal.pthread_sigmask(signal.SIG_SETMASK, ())
            adopt_orphans()
            keeper = os.getpid()
            strace = os.fork()
        except OSError as error:
            os.write(report, f"!{error.strerror}\n".encode())
            return
        if strace == 0:
            try:
                prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: a killed keeper takes strace along
                if os.getppid() == keeper:
                    run_strace(strace_path, argv, [*fds[:2], said_w, fds[2]])
            except OSError as error:
                for fd in (said_w, 2):  # the first is closed once the second is strace's own
                    try:
                        os.write(fd, f"strace: {error.strerror}\n".encode())
                        break
                    except OSError:
                        continue
            finally:
                os._exit(127)
        os.close(said_w)
        os.write(report, f"{strace}\n".encode())
        kept = {life, report, said, woken, wake}
        for fd in range(max(kept) + 1):
            if fd not in kept:
                try:
                    os.close(fd)
                except OSError:
                    pass
        os.closerange(max(kept) + 1, os.sysconf("SC_OPEN_MAX"))
        watch(strace, life, report, said, woken)
    finally:
        os._exit(0)


def watch(strace, life, report, said, woken):
    """The keeper's watch: until strace ends, or the tool does, which ends the run."""
    status, message, watched = None, b"", [life, said, woken]
    while status is None:
        ready = select.select(watched, [], [])[0]
        if life in ready:
            end_children()
            return
        if said in ready:
            data = os.read(said, 1 << 16)
            message += data[: KEPT - len(message)]
            if not data:
                watched.remove(said)
        if woken in ready:
            os.read(woken, 512)
        while True:
            try:
                pid, wait_status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if pid == 0:
                break
            if pid == strace:
                status = wait_status
    end_children()  # what strace left behind, which is nothing unless it was killed
    while data := os.read(said, 1 << 16):
        message += data[: KEPT - len(message)]
    os.write(report, f"{os.waitstatus_to_exitcode(status)}\n".encode() + message)


def run_strace(path, argv, fds):
    """In the keeper's child: the descriptors strace needs, the signals as the tool found
    them, and strace itself."""
    copies = [os.dup(fd) for fd in fds]
    for target, fd in enumerate(copies):
        os.dup2(fd, target)
    os.closerange(len(copies), os.sysconf("SC_OPEN_MAX"))
    signal.set_wakeup_fd(-1)
    for number in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
        try:
            signal.signal(number, signal.SIG_IGN if number in IGNORED else signal.SIG_DFL)
        except (OSError, ValueError):
            pass
    signal.pthread_sigmask(signal.SIG_SETMASK, ())
    os.execv(path, argv)


class Tracer:
    """strace running a command, its trace in a file that is already unlinked, kept by a
    keeper process that ends the run however the tool ends, so that no trace and no process
    is left behind. Use it in a with statement: leaving it kills and collects whatever of the
    run is left, strace included, orphans too. stdin, stdout and stderr are the command's,
    descriptors or subprocess.DEVNULL, the tool's own where None; strace's own messages go
    apart, and reason() adds the first to a message."""

    def __init__(self, command, options=(), stdin=None, stdout=None, stderr=None):
        self.command = list(command)
        self.options = list(options)  # strace's own, such as -e inject=...
        self.streams = (stdin, stdout, stderr)
        self.keeper = self.life = self.report = self.file = self.pid = self.process = None
        self.status = None  # strace's exit status, or minus the signal that killed it
        self.said = []  # strace's own lines, as bytes
        self.pending = b""

    def __enter__(self):
        strace = shutil.which("strace")
        if strace is None:
            raise TraceError("strace: not found; install it (Debian, Ubuntu: apt install strace)")
        try:
            self.file = tempfile.TemporaryFile(prefix="pdTest-", suffix=".strace")
        except OSError as error:
            raise TraceError(f"cannot make the trace file: {error.strerror}") from None
        # strace opens the file through this process's descriptor, so the traced program does
        # not inherit one more open file.
        trace = f"/proc/{os.getpid()}/fd/{self.file.fileno()}"
        program = self.command[0]
        path = program if "/" in program else shutil.which(program) or program
        argv = ["strace", *OPTIONS, *self.options, "-o", trace, "--", sys.executable or "python3",
                "-I", "-S", "-c", WRAPPER, path, *self.command]
        adopt_orphans()
        null = life = report = None
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())
        try:
            null = os.open(os.devnull, os.O_RDWR)
            fds = [null if fd == subprocess.DEVNULL else standard if fd is None else fd
                   for standard, fd in enumerate(self.streams)]
            life, self.life = os.pipe()
            self.report, report = os.pipe()
            self.keeper = os.fork()
            if self.keeper == 0:
                keep(strace, argv, fds, life, report)
        except OSError as error:
            self.keeper = None
            self.__exit__(None, None, None)
            raise TraceError(f"cannot run strace: {error.strerror}") from None
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)
            for fd in (null, life, report):
                if fd is not None:
                    os.close(fd)
        try:
            line = self._line()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        if not line.isdigit():
            self.__exit__(None, None, None)
            raise TraceError(f"cannot run strace: {line.lstrip('!') or 'its keeper is gone'}")
        self.pid = int(line)
        self.process = self  # its pid is strace's, as a Popen's was
        return self

    def _line(self):
        while b"\n" not in self.pending:
            data = os.read(self.report, 1 << 16)
            if not data:
                break
            self.pending += data
        line, _, self.pending = self.pending.partition(b"\n")
        return line.decode("ascii", errors="replace").strip()

    def wait(self):
        """Waits for the traced run to end; gives the trace's lines from the command's start."""
        line = self._line()
        self.status = int(line) if line.lstrip("-").isdigit() else None
        while data := os.read(self.report, 1 << 16):
            self.pending += data
        self.said = self.pending.splitlines()
        self.file.seek(0)
        lines = self.file.read().decode("ascii", errors="replace").splitlines()
        # The wrapper's calls come before its second exec, the command's.
        root = lines[0].split(None, 1)[0] if lines else None
        execs = [index for index, text in enumerate(lines)
                 if text.startswith(f"{root} ") and " execve(" in text[:40]]
        lines = lines[execs[1]:] if len(execs) > 1 else []
        if not lines and self.status is not None and self.status < 0:
            raise TraceError(self.reason("strace ended before the program started"))
        if not lines:
            raise TraceError(self.reason("strace recorded nothing of the program; "
                                         "can this machine trace processes?"))
        return lines

    def reason(self, message):
        """The message, and why strace failed, if it said so or was killed."""
        if not self.said and self.status is not None and self.status < 0:
            number = -self.status
            return f"{message} (strace was killed by {signal_name(number)}: " \
                   f"{signal.strsignal(number)})"
        return with_strace_reason(message, self.said)

    def __exit__(self, kind, value, traceback):
        # Ending the run is not to be cut short by another signal; one that comes is acted on
        # once it is over.
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, ENDING)
        try:
            # The keeper ends the run once the life pipe closes, and writes no more once the
            # report has no reader.
            for fd in (self.life, self.report):
                if fd is not None:
                    os.close(fd)
            self.life = self.report = None
            if self.keeper is not None:
                try:
                    os.kill(self.keeper, signal.SIGCONT)  # a stopped keeper could not end it
                    os.waitpid(self.keeper, 0)
                except (OSError, ChildProcessError):
                    pass
                self.keeper = None
            end_children()
            if self.file is not None:
                self.file.close()
                self.file = None
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        return False


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



# What the learner's commands share as commands.

class Failure(Exception):
    """Ends the tool with one line on standard error and this status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


class Interrupted(Exception):
    """A signal that ends the tool, caught: its number."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


def signal_name(number):
    """SIGTERM, SIGRTMIN+3: as kill -l names it."""
    try:
        return signal.Signals(number).name
    except ValueError:
        if signal.SIGRTMIN < number < signal.SIGRTMAX:
            return f"SIGRTMIN+{number - signal.SIGRTMIN}"
        return f"signal {number}"


def interrupted(number, frame):
    """The first signal ends the tool; the ones after it would cut short its cleaning up.
    A SIGPIPE that the tool's own write to a reader that has left brought is that write's
    error, which ends the tool quietly."""
    if number == signal.SIGPIPE and (reader_gone(1) or reader_gone(2)):
        return
    hold_signals()
    raise Interrupted(number)


def reader_gone(fd):
    watch = select.poll()
    watch.register(fd, select.POLLOUT)
    return any(events & (select.POLLERR | select.POLLHUP) for _, events in watch.poll(0))


def stop_on_signals():
    """Every signal whose default would end the tool raises Interrupted instead, unless it was
    ignored when the tool started, as nohup or a script's & leave them."""
    for number in ENDING - IGNORED:
        try:
            signal.signal(number, interrupted)
        except (OSError, ValueError):  # the C library keeps some to itself
            pass


def hold_signals():
    """From now on the signals that would end the tool are ignored: it is ending already."""
    for number in ENDING:
        try:
            signal.signal(number, signal.SIG_IGN)
        except (OSError, ValueError):
            pass


def begin(name):
    """What a learner's command does first: the signals that end it raise Interrupted, its
    process takes its name, and a standard stream that was closed reads or writes /dev/null,
    so that the descriptor is not taken by the next file opened and a message never lands in
    standard output. Gives whether standard output was closed, which is an error to report.
    Call it inside the try that reports Failure: standard input that is a folder is one."""
    stop_on_signals()
    prctl(15, ctypes.create_string_buffer(os.path.basename(name).encode()[:15]))  # PR_SET_NAME
    closed = []
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.append(fd)
            os.set_inheritable(os.open(os.devnull, os.O_RDWR), True)  # takes fd, the lowest
    for fd, stream in ((0, "stdin"), (1, "stdout"), (2, "stderr")):
        if getattr(sys, stream) is None:
            setattr(sys, stream, open(fd, "r" if fd == 0 else "w", encoding="utf-8",
                                      errors="backslashreplace", closefd=False))
    # The command's first line (see pdTest-timeline's) set these for sh and for Python: PWD so
    # that sh starts without a word in a folder that has been removed, PDTEST_STDIN when
    # standard input was a folder, which Python cannot start with.
    if os.environ.get("PWD") == "/proc/self/cwd":
        try:
            os.environ["PWD"] = os.getcwd()
        except OSError:
            del os.environ["PWD"]
    if os.environ.pop("PDTEST_STDIN", None) == "1" and os.path.samestat(
            os.fstat(0), os.stat(os.devnull)):  # as the first line left it, not by chance
        raise Failure("standard input: is a folder")
    return 1 in closed


def complain(name, message):
    """One line on standard error: the command as typed, and what went wrong. A standard
    error that cannot be written is no reason to fail otherwise."""
    data = f"{escaped(name)}: {message}\n".encode(errors="backslashreplace")
    try:
        while data:
            data = data[os.write(2, data):]
    except OSError:
        pass


def typed_name():
    """The command as the user typed it: its name when the PATH finds this very file."""
    path = sys.argv[0]
    name = os.path.basename(path)
    found = shutil.which(name)
    try:
        if os.path.dirname(path) and found and os.path.samefile(found, path):
            return name
    except OSError:
        pass
    return path


def default_language():
    """The labels' language the locale asks for: Korean for ko*, else English."""
    for name in ("LC_ALL", "LC_MESSAGES", "LANG"):
        value = os.environ.get(name, "")
        if value:
            return "ko" if value.startswith("ko") else "en"
    return "en"


def default_program(here):
    """The source tree's build/pdTest, found from the folder the command is run in or any
    above it, or from the tree whose tools/ holds the command (here); else the pdTest
    installed beside the command; else pdTest on the PATH. Only a folder that holds pdTest's
    source counts as a tree: a build/pdTest that anyone could leave in /tmp is not run."""
    try:
        folder = os.getcwd()
    except OSError:  # the folder it is run in has been removed
        folder = None
    folders = []
    while folder is not None:
        folders.append(folder)
        folder = os.path.dirname(folder) if os.path.dirname(folder) != folder else None
    folders.append(os.path.join(here, os.pardir))
    for folder in folders:
        built = os.path.join(folder, "build", "pdTest")
        source = os.path.join(folder, "src", "pdTest.cpp")
        if os.path.isfile(source) and os.path.isfile(built) and os.access(built, os.X_OK):
            try:
                near = os.path.relpath(built)
            except OSError:
                return os.path.normpath(built)
            if near.startswith(".."):
                return os.path.normpath(built)
            return near if "/" in near else "./" + near  # not a name for the PATH
    beside = os.path.join(here, "pdTest")
    if os.path.isfile(beside) and os.access(beside, os.X_OK):
        return beside
    return "pdTest"


def checked(program):
    """Says why the program cannot be run, before tracing it."""
    shown = escaped(program)
    if "/" not in program:
        if shutil.which(program) is None:
            hint = ("; build it (cmake --workflow --preset test) or install it"
                    if program == "pdTest" else "")
            raise Failure(f"{shown}: not found on the PATH{hint}")
        return
    try:
        mode = os.stat(program).st_mode
    except OSError as error:  # a link that loops is not a missing file
        raise Failure(f"{shown}: " + ("no such file" if error.errno == errno.ENOENT
                                      else error.strerror)) from None
    if stat.S_ISDIR(mode):
        raise Failure(f"{shown}: is a folder, not a program")
    if not os.access(program, os.X_OK):
        raise Failure(f"{shown}: exists but is not executable")


def clipped(text, columns):
    """The text cut to fit the columns, with "..." where it was cut; it reads no further
    than it must, however long the text."""
    if len(text) * 2 <= columns:  # even if every character were wide
        return text
    if text.isascii():  # and printable: the shown text has its control characters escaped
        return text if len(text) <= columns else text[:columns - 3] + "..."
    width = 0
    for c in text:
        width += char_width(c)
        if width > columns:
            break
    else:
        return text
    kept, width = [], 0
    for c in text:
        width += char_width(c)
        if width > columns - 3:
            break
        kept.append(c)
    return "".join(kept) + "..."


def with_strace_reason(message, said):
    """The message, and the first of strace's own lines (said), which tells why it failed."""
    if not said:
        return message
    first = said[0].decode(errors="replace")
    first = re.sub(r"/proc/\d+/fd/\d+", f"the trace in {tempfile.gettempdir()}", first)
    return f"{message} ({escaped(first)})"


def parser_manners(parser, name, closed, write):
    """An argparse parser's usage error as one line, and its help written by write(text)
    like any other output, so that a closed or full standard output is an error there too."""

    def one_line(message):
        complain(name, f"{message} (see {escaped(name)} -h)")
        sys.exit(2)

    def help_out(file=None):
        if closed:
            raise Failure("standard output: Bad file descriptor")
        write(parser.format_help())

    parser.error, parser.print_help = one_line, help_out


def output_closed():
    try:
        os.fstat(1)
        return False
    except OSError:
        return True


def text_width(text):
    """Columns the text takes on a terminal: Hangul and other wide characters take two."""
    return sum(char_width(c) for c in text)


def char_width(c):
    if unicodedata.combining(c):
        return 0
    return 2 if unicodedata.east_asian_width(c) in "WF" else 1
