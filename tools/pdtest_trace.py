"""Runs a program under strace -f and reads the trace back as what its processes did.

The learner's tools share it: pdTest-timeline draws a run from it, pdTest-lab explains its
answers with it. The manners they share as commands (their name as typed, the pdTest they
run, the language, one-line errors, the signals that end them) are here too. It reads the lines strace -f -ttt -T -xx writes (strace(1) says what each
can look like: "<unfinished ...>", "<... resumed>", "= ? ERESTARTSYS", "restart_syscall",
"+++ killed by"), joins a call that was cut by other processes' lines or interrupted by a
signal and restarted into one call from its start to its real end, and gives the run's
events: the fork, each write(2) to standard output, the child's pause, the parent's waitpid,
stops, continues and exits.
"""

import ctypes
import os
import re
import shutil
import signal
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


def descendants(pid):
    """The processes below pid, children first, read from /proc while they last."""
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


def adopt_orphans():
    """Makes this process the one that collects its descendants' orphans (Linux 3.4 and
    later), so that none outlives the tool unseen; a no-op where that cannot be had."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def die_with_parent():
    """In strace, before it runs: a tool killed outright takes strace with it."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def end_children():
    """Kills this process's children that are still running, orphans it adopted among them,
    and collects every one."""
    for pid in descendants(os.getpid()):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    while True:
        try:
            if os.waitpid(-1, 0)[0] <= 0:
                break
        except ChildProcessError:
            break


class Tracer:
    """strace running a command, its trace in a file that is already unlinked, so that no trace
    is left behind however the tool ends. Use it in a with statement: leaving it kills and
    collects whatever of the run is left, strace included, orphans too."""

    def __init__(self, command, options=(), **popen):
        self.command = command
        self.options = list(options)  # strace's own, such as -e inject=...
        self.popen = popen
        self.process = None
        self.file = None

    def __enter__(self):
        if not any(os.access(os.path.join(folder, "strace"), os.X_OK)
                   for folder in os.environ.get("PATH", os.defpath).split(os.pathsep)):
            raise TraceError("strace: not found; install it (Debian, Ubuntu: apt install strace)")
        try:
            self.file = tempfile.TemporaryFile(prefix="pdTest-", suffix=".strace")
        except OSError as error:
            raise TraceError(f"cannot make the trace file: {error.strerror}") from None
        # strace opens the file through this process's descriptor, so the traced program does
        # not inherit one more open file.
        trace = f"/proc/{os.getpid()}/fd/{self.file.fileno()}"
        adopt_orphans()
        try:
            self.process = subprocess.Popen(
                ["strace", *OPTIONS, *self.options, "-o", trace, "--", *self.command],
                preexec_fn=die_with_parent, **self.popen)
        except OSError as error:
            self.file.close()
            raise TraceError(f"cannot run strace: {error.strerror}") from None
        return self

    def wait(self):
        """Waits for the traced run to end; gives the trace's lines."""
        status = self.process.wait()
        self.file.seek(0)
        lines = self.file.read().decode("ascii", errors="replace").splitlines()
        if not lines:
            raise TraceError(f"strace recorded nothing (exit status {status}); "
                             "can this machine trace processes?")
        return lines

    def __exit__(self, kind, value, traceback):
        if self.process is not None and self.process.poll() is None:
            # Parents first: a parent left alive would report its child killed.
            for pid in descendants(self.process.pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            self.process.kill()
            self.process.wait()
        end_children()
        if self.file is not None:
            self.file.close()
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


def run_of(lines):
    """The run a trace shows, or TraceError when the trace is not whole or holds no fork."""
    calls, ended = system_calls(lines)
    if not any(c.name == "execve" and c.result == "0" for c in calls):
        raise TraceError("strace could not start or trace the program")
    pids = {call.pid for call in calls}
    missing = sorted(pids - ended)
    if missing:
        raise TraceError(f"the trace is not whole: strace stopped before process {missing[0]} ended")
    execs = {c.pid: c for c in calls if c.name == "execve" and c.result == "0"}
    # The program's fork is one made after the forking process's last exec (a wrapper's fork
    # for a command of its own comes before it execs the program), best one whose child runs
    # on without exec, as a shell's child for a command does not.
    last_exec = {c.pid: c.start for c in calls if c.name == "execve" and c.result == "0"}
    made = [c for c in calls if forked(c) and c.start >= last_exec.get(c.pid, c.start)]
    fork = next((c for c in made if forked(c) not in execs), made[0] if made else None)
    if fork is None:
        # glibc tries clone3 first and falls back on clone when it is unknown.
        fork = next((c for c in calls if c.name in FORKS and c.error
                     and not (c.name == "clone3" and c.error == "ENOSYS")
                     and "CLONE_THREAD" not in c.args
                     and c.start >= last_exec.get(c.pid, c.start)), None)
        if fork is None:
            raise TraceError("the trace holds no fork: the program made no process")
    parent, child = fork.pid, forked(fork)
    started = max((c for c in calls if c.pid == parent and c.name == "execve"
                   and c.result == "0" and c.start < fork.start), key=lambda c: c.start,
                  default=None)
    program = first_string(started.args)[0] if started else b""
    run = Run(parent, child, os.fsdecode(program), fork_error=fork.error if child is None else None)
    zero = fork.start
    events = run.events
    names = {parent: "parent", child: "child"}
    others, threads, other_writes = {}, 0, 0
    tasks = {int(c.result) for c in calls if is_thread(c)}

    def add(when, who, kind, detail=None):
        events.append(Event(when - zero, who, kind, detail))

    if started is not None:
        add(started.start, "parent", "exec", run.program)
    collected = False
    for call in calls:
        if started is not None and call.start < started.start and call.pid == parent:
            other_writes += call.name == "write" and call.args.startswith("1,")
            continue
        who = names.get(call.pid)
        threads += is_thread(call)
        if who is None:
            if call.pid not in others and call.pid != parent and call.pid not in tasks:
                others[call.pid] = os.path.basename(os.fsdecode(first_string(execs[call.pid].args)[0])) \
                    if call.pid in execs else ""
            if call.name == "write" and call.args.startswith("1,"):
                other_writes += 1
            continue
        if call.name == "write" and call.args.startswith("1,") and not call.error:
            data, cut_short = first_string(call.args)
            size = int(call.result) if (call.result or "").isdigit() else len(data or b"")
            add(call.start, who, "write", {"data": (data or b"")[:size], "size": size,
                                           "shown": min(len(data or b""), size)
                                           if not cut_short else len(data)})
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
        elif call.name == "clock_nanosleep" and who == "child":
            asked = re.search(r"tv_sec=(\d+), tv_nsec=(\d+)", call.args)
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
    """A signal that ends the tool: SIGINT, SIGTERM or SIGHUP."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


def interrupted(number, frame):
    """The first signal ends the tool; the ones after it would cut short its cleaning up."""
    for each in STOPPING:
        signal.signal(each, signal.SIG_IGN)
    raise Interrupted(number)


STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def stop_on_signals():
    """The signals that end a tool raise Interrupted, unless they were ignored when it
    started, as nohup or a shell's & leave them."""
    for number in STOPPING:
        if signal.getsignal(number) != signal.SIG_IGN:
            signal.signal(number, interrupted)


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
    above it, or from the tree whose tools/ holds the command (here); else pdTest on the
    PATH. Only a folder that holds pdTest's source counts as a tree: a build/pdTest that
    anyone could leave in /tmp is not run."""
    try:
        folder = os.getcwd()
    except OSError:  # the folder it is run in has been removed
        folder = "/"
    folders = []
    while True:
        folders.append(folder)
        if os.path.dirname(folder) == folder:
            break
        folder = os.path.dirname(folder)
    folders.append(os.path.join(here, os.pardir))
    for folder in folders:
        built = os.path.join(folder, "build", "pdTest")
        source = os.path.join(folder, "src", "pdTest.cpp")
        if os.path.isfile(source) and os.path.isfile(built) and os.access(built, os.X_OK):
            near = os.path.relpath(built)
            if near.startswith(".."):
                return os.path.normpath(built)
            return near if "/" in near else "./" + near  # not a name for the PATH
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
    if not os.path.exists(program):
        raise Failure(f"{shown}: no such file")
    if os.path.isdir(program):
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
        sys.stderr.write(f"{escaped(name)}: {message} (see {escaped(name)} -h)\n")
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
