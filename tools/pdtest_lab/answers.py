"""Each question's answer, read from the run just made: its output, its standard error, its exit
status and its trace. Nothing here knows what an answer should be."""

import signal
import unicodedata

import pdtest_command as cli
import pdtest_trace as trace
import pdtest_words as words
from pdtest_lab.scenarios import CHOICES, DIGITS, FIRST_LINE

FIRST = FIRST_LINE.encode()
BLOCK = "현재 프로세스 ".encode()  # the first printed line of each process's block


def signal_number(name):
    member = signal.Signals.__members__.get(name)
    return member.value if member else None


def exit_status(result):
    """As a shell reports it: the exit status, or 128 plus the number of the signal."""
    detail = result.first[("parent", "exit")].detail
    if isinstance(detail, int):
        return detail
    if signal_number(detail) is None:
        raise cli.Failure(f"the trace does not say how pdTest ended ({detail})")
    return 128 + signal_number(detail)


def blocks(out):
    """Whose blocks reach the output, in order: each begins with its fork's result."""
    order = []
    for line in trace.lines_of(out):
        if line.startswith(BLOCK):
            number = line[len(BLOCK):].strip()
            who = "child" if number == b"0" else "parent" if number.isdigit() else None
            if who and who not in order:
                order.append(who)
    return order


def first_block(out):
    order = blocks(out)
    return order[0] if len(order) == 2 else "one" if order else "none"


def pause_end(result):
    """When the child's pause ended, in seconds since the fork, or None if it never paused:
    when it woke, or when it died in its pause."""
    if result.when("child", "sleep") is None:
        return None
    end = result.when("child", "wake")
    return end if end is not None else result.when("child", "exit")


def zombies(result):
    """The processes other than pdTest's child that had exited, while pdTest still ran, and
    were not collected, when the child's pause ended: (PID, name, exited, until) each, until
    being when pdTest, their parent, exited or collected them."""
    end = pause_end(result)
    if end is None:
        return []
    parent_end = result.when("parent", "exit")
    reaped = {int(c.result): result.seconds(c.end) for c in result.calls
              if c.name == "wait4" and c.end is not None and (c.result or "").isdigit()}
    names = result.run.left_out.get("processes", {})
    found = []
    for call in result.calls:
        if call.name != "+++" or call.pid not in names:
            continue
        exited = result.seconds(call.start)
        # A process that outlives pdTest is an orphan, collected by whoever adopts it.
        if exited < end and (parent_end is None or exited < parent_end) \
                and reaped.get(call.pid, end) >= end:
            until = min(reaped.get(call.pid, parent_end or end), parent_end or end)
            found.append((call.pid, names[call.pid] or "?", exited, until))
    return found


ANSWERS = {
    "lines": lambda r: len(trace.lines_of(r.out)),
    "address": lambda r: sum(line.startswith(FIRST) for line in trace.lines_of(r.out)),
    "first": lambda r: first_block(r.out),
    "status": exit_status,
    "stderr": lambda r: len(trace.lines_of(r.err)),
    "writes": lambda r: len(r.calls_of("child", "write", 1)),
    "zombies": lambda r: len(zombies(r)),
}


def parsed(question, text):
    """The answer as a number or a choice, or None when it is neither. A choice may be typed
    as any word a prompt shows for it, Korean composed or not, blanks between words alike."""
    if question not in CHOICES:
        if not (text.isascii() and text.isdigit()):
            return None
        digits = text.lstrip("0") or "0"
        return int(digits) if len(digits) <= DIGITS else None
    folded = " ".join(unicodedata.normalize("NFC", text).casefold().split())
    return next((choice for choice, names in CHOICES[question].items()
                 if any(folded in words.every("answer", name) for name in names)), None)
