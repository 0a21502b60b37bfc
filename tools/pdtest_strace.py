"""Runs a command under strace -f for the learner's tools: its trace in a file that is already
unlinked, and a keeper process between the tool and strace that collects the run's orphans,
keeps strace's own messages apart from the command's standard error, and ends the run, strace
included, however the tool ends, SIGKILL included."""

import functools
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile

import pdtest_command as cli
import pdtest_trace as trace

# A write longer than this shows only its first bytes in the trace, and the run says so.
SHOWN = 1 << 20
# -I4: Ctrl-Z stops the traced processes, not strace, so that the trace shows their stop. No
# reads: what the wrapper's Python reads as it starts would fill a megabyte of trace with
# files it loads, and nothing drawn or asked is a read.
OPTIONS = ["-f", "-q", "-I4", "-ttt", "-T", "-xx", "-s", str(SHOWN),
           "-e", "trace=!read,pread64,readv,preadv,preadv2"]


@functools.cache
def exit_kill(strace):
    """strace's option that kills what it traces when it is killed itself, where it has it
    (a newer strace): then even a tool and keeper killed at once leave nothing running,
    a program that never ends included. Older ones detach, and the traced run goes on."""
    try:
        said = subprocess.run([strace, "-h"], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=10, check=False).stdout
    except (OSError, subprocess.SubprocessError):
        return []
    return ["--kill-on-exit"] if b"--kill-on-exit" in said else []


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


def adopt_orphans():
    """Makes this process the one that collects its descendants' orphans (Linux 3.4 and
    later), so that none outlives it unseen."""
    cli.prctl(36, 1)  # PR_SET_CHILD_SUBREAPER


def collected():
    """This process's children that have ended, collected, each as (pid, wait status); it
    does not wait for one that is still running."""
    while True:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return
        yield pid, status


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
                cli.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: a killed keeper takes strace along
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
        for pid, wait_status in collected():
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
            signal.signal(number, signal.SIG_IGN if number in cli.IGNORED else signal.SIG_DFL)
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
            raise trace.TraceError("strace: not found; install it (Debian, Ubuntu: apt install strace)")
        try:
            self.file = tempfile.TemporaryFile(prefix="pdTest-", suffix=".strace")
        except OSError as error:
            raise trace.TraceError(f"cannot make the trace file: {error.strerror}") from None
        # strace opens the file through this process's descriptor, so the traced program does
        # not inherit one more open file.
        trace_file = f"/proc/{os.getpid()}/fd/{self.file.fileno()}"
        program = self.command[0]
        path = program if "/" in program else shutil.which(program) or program
        argv = ["strace", *OPTIONS, *exit_kill(strace), *self.options, "-o", trace_file, "--", sys.executable or "python3",
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
            raise trace.TraceError(f"cannot run strace: {error.strerror}") from None
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
            raise trace.TraceError(f"cannot run strace: {line.lstrip('!') or 'its keeper is gone'}")
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
            raise trace.TraceError(self.reason("strace ended before the program started"))
        if not lines:
            raise trace.TraceError(self.reason("strace recorded nothing of the program; "
                                         "can this machine trace processes?"))
        return lines

    def reason(self, message):
        """The message, and why strace failed, if it said so or was killed."""
        if not self.said and self.status is not None and self.status < 0:
            number = -self.status
            return f"{message} (strace was killed by {cli.signal_name(number)}: " \
                   f"{signal.strsignal(number)})"
        return with_strace_reason(message, self.said)

    def __exit__(self, kind, value, traceback):
        # Ending the run is not to be cut short by another signal; one that comes is acted on
        # once it is over.
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, cli.ENDING)
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


def with_strace_reason(message, said):
    """The message, and the first of strace's own lines (said), which tells why it failed."""
    if not said:
        return message
    first = said[0].decode(errors="replace")
    first = re.sub(r"/proc/\d+/fd/\d+", f"the trace in {tempfile.gettempdir()}", first)
    return f"{message} ({cli.escaped(first)})"
