"""The lab's report: JSON lines, one a graded question and one closing line a run, each written
whole or the lab fails; and reading reports back, of this format and of the first, whose lines
had no student, no parameters and no closing line.

A question line: scenario, question, answer, actual, correct, seed, time, and since format 2
student, format, lang, typed, shown, program_sha256 and params. A closing line: end
("complete" or "early"), right, asked, answered, student, seed, format and time.
"""

import datetime
import errno
import fcntl
import json
import os
import signal
import stat

import pdtest_command as cli

FORMAT = 2
QUESTION_FIELDS = ("scenario", "question", "answer", "actual", "correct", "seed", "time")
CLOSING_FIELDS = ("end", "right", "asked", "answered", "student", "seed", "format", "time")


def now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def unopened(path, error):
    """Why the report cannot be opened, in words for a named pipe that nothing reads."""
    try:
        fifo = error.errno == errno.ENXIO and stat.S_ISFIFO(os.stat(path).st_mode)
    except OSError:
        fifo = False
    return "a named pipe that nothing reads" if fifo else error.strerror


class Report:
    """A report file open for appending; what every line of this run shares is given once."""

    def __init__(self, path, shared):
        self.path, self.shared, self.closed = path, shared, False
        # Not blocking: a named pipe that nobody reads is said at once, not waited on.
        try:
            self.fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NONBLOCK, 0o666)
        except OSError as error:
            raise cli.Failure(f"{cli.escaped(path)}: {unopened(path, error)}") from None
        os.set_blocking(self.fd, True)
        self.regular = stat.S_ISREG(os.fstat(self.fd).st_mode)

    def question(self, scenario, question, answer, actual, correct, params):
        self.write({"scenario": scenario, "question": question, "answer": answer,
                    "actual": actual, "correct": correct, "seed": self.shared["seed"],
                    "time": now(), "student": self.shared["student"], "format": FORMAT,
                    "lang": self.shared["lang"], "typed": self.shared["typed"],
                    "shown": self.shared["shown"],
                    "program_sha256": self.shared["program_sha256"], "params": params})

    def closing(self, complete, right, asked, answered):
        self.write({"end": "complete" if complete else "early", "right": right, "asked": asked,
                    "answered": answered, "student": self.shared["student"],
                    "seed": self.shared["seed"], "format": FORMAT, "time": now()})

    def write(self, record):
        """One line, whole: a write cut short is an error, and the file is cut back to end on
        the last whole line, whatever cut it short. A file size limit and a named pipe whose
        reader has gone are said as the write's error, File too large or Broken pipe, not as
        the signal that would end the lab. Labs of one class may share a report: the lock keeps
        one lab from cutting back another's line."""
        data = memoryview((json.dumps(record, ensure_ascii=False) + "\n").encode())
        left = data
        limit = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        reader = signal.signal(signal.SIGPIPE, signal.SIG_IGN)
        size = None
        try:
            if self.regular:
                fcntl.flock(self.fd, fcntl.LOCK_EX)
                size = os.fstat(self.fd).st_size
            while left:
                written = os.write(self.fd, left)
                if written == 0:
                    raise OSError(errno.EIO, "a write wrote nothing")
                left = left[written:]
        except BaseException as error:
            if size is not None and len(left) < len(data):
                try:
                    os.ftruncate(self.fd, size)
                except OSError:
                    pass
            if isinstance(error, OSError):
                raise cli.Failure(f"{cli.escaped(self.path)}: {error.strerror}") from None
            raise
        finally:
            if self.regular:
                fcntl.flock(self.fd, fcntl.LOCK_UN)
            signal.signal(signal.SIGPIPE, reader)
            signal.signal(signal.SIGXFSZ, limit)

    def close(self):
        os.close(self.fd)


class Unused(Exception):
    """A line of a report that cannot be used, and why."""


LONGEST = 1 << 20  # no line the lab writes comes near it
SCALARS = (str, int, float, bool, type(None))
TYPES = {"scenario": str, "question": str, "answer": SCALARS, "actual": SCALARS,
         "correct": (bool, type(None)), "seed": (int, type(None)), "time": str,
         "student": (str, type(None)), "lang": (str, type(None)), "typed": bool,
         "format": int,
         "shown": bool, "program_sha256": (str, type(None)), "params": dict, "end": str,
         "right": int, "asked": int, "answered": int}


def record_of(text):
    """A report's line as a question line or a closing line, or Unused saying why not."""
    try:
        record = json.loads(text)
    except (ValueError, RecursionError):
        raise Unused("not a JSON object") from None
    if not isinstance(record, dict):
        raise Unused("not a JSON object")
    version = record.get("format", 1)
    if version not in (1, FORMAT) or type(version) is not int:
        raise Unused(f"unknown format {cli.clipped(json.dumps(version), 40)}")
    if version == 1 and "end" in record:
        raise Unused("not a report line (format 1 had no closing line)")
    fields = CLOSING_FIELDS if "end" in record else QUESTION_FIELDS
    missing = [name for name in fields if name not in record]
    if missing:
        raise Unused(f"not a report line (no {missing[0]})")
    for name, kinds in TYPES.items():
        value = record.get(name)
        kinds = kinds if isinstance(kinds, tuple) else (kinds,)
        if name in record and (not isinstance(value, kinds) or isinstance(value, bool)
                               and bool not in kinds):
            raise Unused(f"not a report line ({name} of the wrong kind)")
    if not all(isinstance(v, SCALARS) or isinstance(v, list)
               and all(isinstance(w, SCALARS) for w in v)
               for v in record.get("params", {}).values()):
        raise Unused("not a report line (params of the wrong kind)")
    if "end" in record and record["end"] not in ("complete", "early"):
        raise Unused("not a report line (end is neither complete nor early)")
    return record


def lines_of(file):
    """A report's lines as (number, bytes), each with its line feed where it has one; a line
    too long to be the lab's is passed over unread, as (number, None)."""
    number = 0
    while True:
        raw = file.readline(LONGEST + 1)
        if not raw:
            return
        number += 1
        if len(raw) > LONGEST:
            while raw and not raw.endswith(b"\n"):
                raw = file.readline(LONGEST + 1)
            raw = None
        yield number, raw


def runs_of(paths, complain):
    """Each run the reports hold, as (path, question lines, closing line or None), with
    complain(path, line number, why) for each line that cannot be used; the lines read; and
    the reports read. Labs that share a report may write their lines between each other's:
    a run is the lines of one student and seed up to its closing line, or up to a question
    it asks again, where a run that was cut off is followed by the next."""
    runs, read, opened = [], 0, 0
    for path in paths:
        try:
            with open(path, "rb") as file:
                opened += 1
                pending, numbers = {}, 0
                for number, raw in lines_of(file):
                    read, numbers = read + 1, number
                    if raw is None:
                        complain(path, number, "not a report line (too long)")
                        continue
                    if not raw.endswith(b"\n"):
                        complain(path, number, "cut off: no line feed at its end")
                        continue
                    try:
                        record = record_of(raw[:-1].decode("utf-8"))
                    except UnicodeDecodeError:
                        complain(path, number, "not UTF-8 text")
                        continue
                    except Unused as why:
                        complain(path, number, str(why))
                        continue
                    whose = (record.get("student"), record["seed"])
                    if "end" in record:
                        runs.append((path, pending.pop(whose, ([], None))[0], record))
                        continue
                    theirs, asked = pending.setdefault(whose, ([], set()))
                    if (record["scenario"], record["question"]) in asked:
                        runs.append((path, theirs, None))  # asked again: a new run began
                        theirs, asked = pending[whose] = ([], set())
                    theirs.append(record)
                    asked.add((record["scenario"], record["question"]))
        except OSError as error:
            complain(path, None, error.strerror)
            continue
        runs += [(path, questions, None) for questions, _ in pending.values()]
        if not numbers:
            complain(path, None, "empty")
    return runs, read, opened
