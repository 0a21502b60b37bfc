"""What the learner's commands share as commands: their name as typed, the pdTest they run,
the language, one-line errors, their standard streams however they were left, the signals that
end them, text shown escaped and cut to a width, and a file written whole or not at all."""

import ctypes
import errno
import os
import re
import select
import shutil
import signal
import stat
import sys
import tempfile
import unicodedata

# The signals whose default action ends a process (signal(7)), but SIGKILL, which no process
# can catch: SIGINT, SIGTERM, SIGQUIT, SIGUSR1, the real-time ones and the rest.
ENDING = signal.valid_signals() - {
    signal.SIGKILL, signal.SIGSTOP, signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU,
    signal.SIGCHLD, signal.SIGCONT, signal.SIGURG, signal.SIGWINCH}


# Those ignored when the command started, as nohup and a script's & leave them; Python itself
# ignores SIGPIPE and SIGXFSZ, which a program run from a shell would not.
IGNORED = {number for number in signal.valid_signals()
           if signal.getsignal(number) == signal.SIG_IGN} - {signal.SIGPIPE, signal.SIGXFSZ}


def escaped(data):
    """Bytes as text to show: UTF-8 where they are, \\xNN where not, control and invisible
    characters (tabs and line feeds too) as escapes and a backslash doubled, so that a line
    stays one line of known width and an escape is never mistaken for the text."""
    if not isinstance(data, bytes):
        data = data.encode("utf-8", errors="surrogateescape")
    text = data.replace(b"\\", b"\\\\").decode("utf-8", errors="backslashreplace")
    return CONTROL.sub(_escape, text)


def command_shown(command):
    """A command to be copied, as it is; escaped as any shown text only where a name in it
    holds what a terminal would act on or cannot show."""
    try:
        command.encode("utf-8")
    except UnicodeEncodeError:
        return escaped(command)
    return escaped(command) if CONTROL.search(command) else command


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


def prctl(option, value):
    try:
        ctypes.CDLL(None, use_errno=True).prctl(option, value, 0, 0, 0)
    except (OSError, AttributeError):
        pass


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


STDIN_FOLDER = "standard input: is a folder"
stdin_folder = False  # standard input was a folder, and begin() was told not to fail on it


def begin(name, reads_stdin=True):
    """What a learner's command does first: the signals that end it raise Interrupted, its
    process takes its name, and a standard stream that was closed reads or writes /dev/null,
    so that the descriptor is not taken by the next file opened and a message never lands in
    standard output. Gives whether standard output was closed, which is an error to report.
    Call it inside the try that reports Failure: standard input that is a folder is one,
    unless the command may not read it (reads_stdin False) and fails with STDIN_FOLDER once
    it knows it will."""
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
    global stdin_folder
    stdin_folder = os.environ.pop("PDTEST_STDIN", None) == "1" and os.path.samestat(
        os.fstat(0), os.stat(os.devnull))  # as the first line left it, not by chance
    if stdin_folder and reads_stdin:
        raise Failure(STDIN_FOLDER)
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


def parser_manners(parser, name, closed, write):
    """An argparse parser's usage error as one line, and its help written by write(text)
    like any other output, so that a closed or full standard output is an error there too."""

    def one_line(message):
        # argparse quotes what was typed as it was: its control characters escaped here.
        complain(name, f"{CONTROL.sub(_escape, message)} (see {escaped(name)} -h)")
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


class Picture:
    """The SVG file, written whole or not at all, and nothing left beside it however the tool
    ends: the picture is written to a file with no name in the folder, opened before the run
    so that a place it cannot be written is said at once, and given the name only once
    complete. A link keeps pointing where it did, at the new picture; a device or a pipe is
    refused."""

    def __init__(self, path, prefix):
        self.shown, self.done, self.fd = escaped(path), False, None
        self.prefix = prefix  # of a hidden name beside the picture, where one is needed
        try:
            os.stat(path)
        except FileNotFoundError:
            pass  # a new file, or a link to one
        except OSError as error:  # a link that loops, a path through a file
            raise Failure(f"{self.shown}: {error.strerror}") from None
        try:
            self.path = os.path.realpath(path)
        except OSError as error:
            raise Failure(f"{self.shown}: {error.strerror}") from None
        if os.path.isdir(self.path):
            raise Failure(f"{self.shown}: is a folder")
        if os.path.exists(self.path) and not os.path.isfile(self.path):
            raise Failure(f"{self.shown}: not a regular file; --svg - writes to standard output")
        self.folder = os.path.dirname(self.path)
        try:
            self.fd = os.open(self.folder, os.O_TMPFILE | os.O_WRONLY, 0o666)
        except OSError as error:
            # A file system without unnamed files gets a named one when the picture is done.
            if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                raise Failure(f"{self.shown}: {error.strerror}") from None
            if not os.access(self.folder, os.W_OK | os.X_OK):
                raise Failure(f"{self.shown}: Permission denied") from None

    def write(self, data):
        # A signal now would come between the picture's name and the file it names.
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, ENDING)
        try:
            self._write(data)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)

    def _write(self, data):
        named = None
        try:
            if self.fd is None:
                fd, named = tempfile.mkstemp(prefix=self.prefix, suffix=".svg",
                                             dir=self.folder)
            else:
                fd, named = self.fd, None
            try:
                view = memoryview(data)
                while view:
                    view = view[os.write(fd, view):]
                if named is None:
                    named = self._named(fd)
                else:
                    mask = os.umask(0)
                    os.umask(mask)
                    os.chmod(named, 0o666 & ~mask)
            finally:
                os.close(fd)
                self.fd = None
            if named is not None:
                os.replace(named, self.path)
            self.done = True
        except OSError as error:
            if named is not None and not self.done:
                try:
                    os.unlink(named)
                except OSError:
                    pass
            raise Failure(f"{self.shown}: {error.strerror}") from None

    def _named(self, fd):
        """Gives the unnamed file the picture's name, if none has it, else a name of its own
        beside it, to be renamed over the old picture at once; None once it is the picture."""
        # linkat(2) follows /proc's link to the file; link(2), which os.link uses unless given
        # a folder's descriptor, would link the link.
        fds = os.open("/proc/self/fd", os.O_RDONLY | os.O_DIRECTORY)
        try:
            for attempt in range(100):
                named = self.path if attempt == 0 else os.path.join(
                    self.folder, f"{self.prefix}{os.urandom(4).hex()}.svg")
                try:
                    os.link(str(fd), named, src_dir_fd=fds, follow_symlinks=True)
                    return None if attempt == 0 else named
                except FileExistsError:
                    continue
        finally:
            os.close(fds)
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST))

    def discard(self):
        """Drops the picture unless it is done: an unnamed file leaves nothing behind."""
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
