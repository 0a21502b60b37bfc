"""The lab's report: JSON lines, one a graded question and one closing line a run, each written
whole or the lab fails; and reading reports back, of this format and of the first, whose lines
had no student, no parameters and no closing line.

A question line: scenario, question, answer, actual, correct, seed, time, and since format 2
student, format, lang, typed, shown, program_sha256 and params. A closing line: end
("complete" or "early"), right, asked, answered, student, seed, format and time.
"""

import datetime
import errno
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
        the last whole line, whatever cut it short. A file size limit is said as the write's
        error, File too large, not as the signal that would end the lab."""
        data = memoryview((json.dumps(record, ensure_ascii=False) + "\n").encode())
        size = os.fstat(self.fd).st_size if self.regular else None
        left = data
        limit = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        try:
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
            signal.signal(signal.SIGXFSZ, limit)

    def close(self):
        os.close(self.fd)


class Unused(Exception):
    """A line of a report that cannot be used, and why."""


def record_of(text):
    """A report's line as a question line or a closing line, or Unused saying why not."""
    try:
        record = json.loads(text)
    except ValueError:
        raise Unused("not a JSON object") from None
    if not isinstance(record, dict):
        raise Unused("not a JSON object")
    version = record.get("format", 1)
    if version not in (1, FORMAT) or isinstance(version, bool):
        raise Unused(f"unknown format {json.dumps(version)}")
    if version == 1 and "end" in record:
        raise Unused("not a report line (format 1 had no closing line)")
    fields = CLOSING_FIELDS if "end" in record else QUESTION_FIELDS
    missing = [name for name in fields if name not in record]
    if missing:
        raise Unused(f"not a report line (no {missing[0]})")
    if "end" in record and record["end"] not in ("complete", "early"):
        raise Unused("not a report line (end is neither complete nor early)")
    return record


def runs_of(paths, complain):
    """Each run the reports hold, as (path, question lines, closing line or None), with
    complain(path, line number, why) for each line that cannot be used; and the lines read."""
    runs, read = [], 0
    for path in paths:
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError as error:
            complain(path, None, error.strerror)
            continue
        lines = data.split(b"\n")
        cut = lines.pop() != b""  # the last line has no line feed: it was cut off
        questions = []
        for number, raw in enumerate(lines, 1):
            read += 1
            try:
                record = record_of(raw.decode("utf-8"))
            except UnicodeDecodeError:
                complain(path, number, "not UTF-8 text")
                continue
            except Unused as why:
                complain(path, number, str(why))
                continue
            if "end" in record:
                runs.append((path, questions, record))
                questions = []
            else:
                questions.append(record)
        if cut:
            read += 1
            complain(path, len(lines) + 1, "cut off: no line feed at its end")
        if questions:
            runs.append((path, questions, None))
        if not lines and not cut:
            complain(path, None, "empty")
    return runs, read
