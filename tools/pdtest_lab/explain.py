"""Why each answer is what it is, in the times, counts and errors of the run just made."""

import pdtest_command as cli
import pdtest_trace as trace
from pdtest_lab.answers import FIRST, blocks, exit_status, pause_end, signal_number, zombies
from pdtest_lab.text import count, phrase, secs
from pdtest_words import N_, Nn_

WORDS = {
    "count_lines": Nn_("{n} line", "{n} lines"),
    "count_writes": Nn_("{n} write call", "{n} write calls"),
    "parent": N_("the parent"),
    "both": N_("the child and the parent"),
    "child": N_("the child"),
    "Parent": N_("The parent"),
    "Child": N_("The child"),
    "lines_split": N_("{Child} wrote {child} and {parent} {parent_n}."),
    "lines_before": N_("{Parent} wrote {before} of its {all} before the fork."),
    "lines_before_all": N_("{Parent} wrote all {before} of its lines before the fork."),
    "lines_copied": N_("Both begin with the same {n}, printed before the fork and still in "
                       "the buffer that fork copied."),
    "lines_alone": N_("The fork failed with {error}, so one process wrote all {n}: there was "
                      "no child."),
    "failed": N_("{Who} lost {lines}: {writes} failed with {error}."),
    "failed_numbered": Nn_("{Who}'s write(2) number {numbers} failed with {error}: the {lines} "
                           "it carried is lost, and so is whatever that printf call had still "
                           "to print, since printf stops at a failed write.",
                           "{Who}'s write(2) number {numbers} failed with {error}: the {lines} "
                           "it carried are lost, and so is whatever that printf call had still "
                           "to print, since printf stops at a failed write."),
    "killed_pause": N_("{Who} was killed by {signal} at {t} s, in its pause."),
    "killed_wait": N_("{Who} was killed by {signal} at {t} s, blocked in waitpid."),
    "killed": N_("{Who} was killed by {signal} at {t} s."),
    "address_copied": N_("Standard output was fully buffered, so at the fork the lines "
                         "printed before it were still in the buffer, and fork copied the "
                         "buffer with the rest of the memory. {Child}'s write at {tc} s and "
                         "{parent}'s at {tp} s both begin with them."),
    "address_early": N_("{Parent} wrote it at {t} s, before the fork: with line buffering "
                        "each line goes out as soon as it ends, so the buffer was empty when "
                        "fork copied it."),
    "address_alone": N_("Without a child nothing copied the buffer: the one process wrote it "
                        "once, {t} s before its fork failed."),
    "address_alone_after": N_("Without a child nothing copied the buffer: the one process "
                              "wrote it once, {t} s after its fork failed."),
    "address_lost": N_("No write that carried it got through."),
    "address_failed": Nn_("The {writes} that carried it failed with {error}, and {who} lost it.",
                          "Each of the {writes} that carried it failed with {error}, and {who} "
                          "lost it."),
    "address_one": N_("The line reached the output once, in {who}'s write at {t} s."),
    "first_wait": N_("{Parent} waited in waitpid from the fork until {child} ended at {te} s; "
                     "waitpid returned at {tc} s, and only then did {parent} print its block. "
                     "The order comes from that wait, not from the child's pause ({pause} s "
                     "here)."),
    "first_second": N_("{Parent}'s first waitpid failed at once with {error}, but its second, "
                       "made before the rest of its block, waited until {child} ended at {te} "
                       "s and returned at {tc} s: the order still comes from a wait."),
    "first_nowait": N_("waitpid failed with {error} at once, so nothing held {parent} back: "
                       "it wrote its block at {tp} s, while {child} paused until {tw} s."),
    "first_orphan": N_("{Parent} was killed by {signal} at {t} s, still blocked in waitpid, "
                       "before printing its block; {child}, an orphan now, went on and wrote "
                       "its last line at {tc} s."),
    "first_none": N_("Neither block reached the output."),
    "first_times": N_("{Child}'s block reached the output at {tc} s, {parent}'s at {tp} s."),
    "near_both": N_("{answer} means both blocks, {owner}'s first; only {who}'s block reached "
                    "the output here, which is “one”."),
    "near_one": N_("“one” means that only one block reached the output; here both did."),
    "status_ok": N_("waitpid reported at {t} s that {child} had exited with status 0, so "
                    "{parent} exited with 0 too."),
    "status_signal": N_("{Parent} was killed by {signal} (signal {number}) at {t} s; a shell "
                        "reports a process killed by a signal as 128 + its number."),
    "status_fork": N_("fork failed with {error}; pdTest prints “Fork error” on standard "
                      "output, without the reason, and exits 1."),
    "status_write": N_("{Parent}'s write failed with {error}: pdTest checks at its end "
                       "whether any of its output was lost, and exits 1 when it was."),
    "status_wait": N_("waitpid failed with {error}: a parent that cannot learn how its child "
                      "ended exits 1."),
    "status_child": N_("waitpid told {parent} at {t} s that {child} was killed by {signal}: a "
                       "run whose child died is no success, so pdTest exits 1."),
    "status_child_failed": N_("waitpid told {parent} at {t} s that {child} had exited with "
                              "status {status}: a run whose child failed is no success, so "
                              "pdTest exits 1."),
    "status_other": N_("pdTest's parent process exited with status {status}."),
    "stderr_line": N_("{Who} wrote “{text}”."),
    "stderr_each": N_("Each process reports its own failure."),
    "stderr_none": N_("Nothing that pdTest checks went wrong in a way it reports there."),
    "stderr_fork": N_("pdTest reports a failed fork on standard output, not on standard error."),
    "stderr_sigpipe": N_("SIGPIPE was ignored, so a write to the pipe that nobody reads "
                         "failed with EPIPE instead of killing the writer."),
    "stderr_silent": N_("A process killed by a signal says nothing: {who} died of {signal}."),
    "stderr_silent_both": N_("A process killed by a signal says nothing: the child died of "
                             "{child}, the parent of {parent}."),
    "stderr_quiet": N_("{Who} said nothing: it died of {signal}."),
    "stderr_reported": N_("{Parent} reported {child}'s death, then was itself killed by "
                          "{signal}{at}."),
    "stderr_then": N_("{Who} wrote that, then was itself killed by {signal}{at}."),
    "at_write": N_(" at its own write to standard output"),
    "writes_once": N_("The child's whole output, {bytes} bytes, went out in one write at {t} "
                      "s, as it exited: with full buffering the C library writes the buffer "
                      "only when it is full or at exit."),
    "writes_full": N_("Its buffer held {buffer} bytes, and the C library wrote it each time "
                      "it was full: {sizes} bytes, the last at {t} s as the child exited."),
    "writes_lines": N_("Line buffering writes what the buffer holds each time a printf puts a "
                       "line feed in it: {before} before its pause, which began at {ts} s, and "
                       "{after} after it, at {tw} s."),
    "writes_many": N_("Writes and lines differ: {which}."),
    "writes_carried": N_("write number {number} carried {what}, {lines}"),
    "writes_none": N_("It wrote nothing to standard output."),
    "zombie": N_("{name} (process {pid}) exited at {te} s; pdTest waits only for the child it "
                 "forked and never collected it, so it was a zombie until {tp} s."),
    "zombie_pause": N_("The child's pause ended at {tw} s."),
    "zombie_running": N_("{name} (process {pid}) was still running then."),
    "zombie_none": N_("No process had exited uncollected when the child's pause ended; the "
                      "child's own time as a zombie came after its pause."),
}


def written(result, who):
    """The bytes each successful write of the process put out, and when."""
    return [(e.when, e.detail["data"]) for e in result.run.events
            if e.who == who and e.kind == "write"]


def failed_writes(result, who):
    return [c for c in result.calls_of(who, "write", 1) if c.error]


def errors(calls):
    return ", ".join(sorted({c.error for c in calls}))


def killed(result, who):
    """The exit of the process if a signal killed it, else None."""
    end = result.first.get((who, "exit"))
    return end if end is not None and isinstance(end.detail, str) else None


def fate(result, words):
    """Sentences on writes that failed and processes that were killed."""
    out = []
    for who in ("child", "parent") if result.run.child is not None else ("parent",):
        failed = failed_writes(result, who)
        if failed:
            data = b"".join(trace.first_string(c.args)[0] or b"" for c in failed)
            lines = count(words, "count_lines", data.count(b"\n"))
            if any(":when=" in e for e in result.scenario.inject):
                every = result.calls_of(who, "write")
                numbers = ", ".join(str(every.index(c) + 1) for c in failed)
                out.append(phrase(words, "failed_numbered", plural=data.count(b"\n"), who=who,
                                  error=errors(failed), numbers=numbers, lines=lines))
            else:
                out.append(phrase(words, "failed", who=who, error=errors(failed), lines=lines,
                                  writes=count(words, "count_writes", len(failed))))
        end = killed(result, who)
        if end is not None:
            key = "killed"
            if who == "child" and result.when("child", "sleep") is not None \
                    and result.when("child", "wake") is None:
                key = "killed_pause"
            elif who == "parent" and result.when("parent", "wait") is not None \
                    and result.when("parent", "collect") is None \
                    and result.when("parent", "wait_failed") is None:
                key = "killed_wait"
            out.append(phrase(words, key, who=who, signal=end.detail, t=secs(end.when)))
    return out


def why_lines(result, words):
    n = len(trace.lines_of(result.out))
    if result.run.child is None:
        return [phrase(words, "lines_alone", error=result.run.fork_error,
                       n=count(words, "count_lines", n))]
    got = {who: sum(data.count(b"\n") for _, data in written(result, who))
           for who in ("parent", "child")}
    out = []
    if n:
        out.append(phrase(words, "lines_split",
                          child=count(words, "count_lines", got["child"]),
                          parent_n=count(words, "count_lines", got["parent"])))
    before = sum(data.count(b"\n") for when, data in written(result, "parent") if when < 0)
    if before:
        key = "lines_before_all" if before == got["parent"] else "lines_before"
        out.append(phrase(words, key, before=before, all=got["parent"]))
    copied = trace.copied_lines(result.run)
    if copied:
        out.append(phrase(words, "lines_copied", n=count(words, "count_lines", copied)))
    return out + fate(result, words)


def why_address(result, words):
    carriers = [(when, who) for who in ("parent", "child")
                for when, data in written(result, who)
                if any(line.startswith(FIRST) for line in trace.lines_of(data))]
    if result.run.child is None and carriers:
        when = carriers[0][0]
        key = "address_alone" if when < 0 else "address_alone_after"
        return [phrase(words, key, t=secs(abs(when)))]
    early = [when for when, _ in carriers if when < 0]
    if early:
        return [phrase(words, "address_early", t=secs(early[0]))]
    if len(carriers) >= 2:
        at = {who: when for when, who in reversed(carriers)}
        return [phrase(words, "address_copied", tc=secs(at["child"]), tp=secs(at["parent"]))]
    if carriers:
        return [phrase(words, "address_one", who=carriers[0][1], t=secs(carriers[0][0]))] \
            + fate(result, words)
    failed = {who: [c for c in failed_writes(result, who)
                    if FIRST in (trace.first_string(c.args)[0] or b"")]
              for who in ("child", "parent")}
    calls = failed["child"] + failed["parent"]
    if calls:
        who = words["both"] if all(failed.values()) else \
            words["child"] if failed["child"] else words["parent"]
        return [phrase(words, "address_failed", plural=len(calls), who=who, error=errors(calls),
                       writes=count(words, "count_writes", len(calls)))]
    return [words["address_lost"]] + fate(result, words)


def why_first(result, words):
    collected = result.when("parent", "collect")
    failed = result.first.get(("parent", "wait_failed"))
    ended = result.when("child", "exit")
    if collected is not None and ended is not None:
        if failed is not None and result.first[("parent", "wait_failed")].when < collected:
            return [phrase(words, "first_second", error=failed.detail["error"],
                           te=secs(ended), tc=secs(collected))]
        pause = 0.0
        if result.when("child", "sleep") is not None:
            pause = pause_end(result) - result.when("child", "sleep")
        return [phrase(words, "first_wait", te=secs(ended), tc=secs(collected),
                       pause=secs(pause))]
    after = {who: [when for when, _ in written(result, who) if when >= 0]
             for who in ("parent", "child")}
    if failed is not None and after["parent"]:
        wake = result.when("child", "wake") or ended or 0.0
        return [phrase(words, "first_nowait", error=failed.detail["error"],
                       tp=secs(after["parent"][0]), tw=secs(wake))]
    end = killed(result, "parent")
    if end is not None and after["child"]:
        return [phrase(words, "first_orphan", signal=end.detail, t=secs(end.when),
                       tc=secs(after["child"][-1]))]
    if not any(after.values()):
        return [words["first_none"]]
    return [phrase(words, "first_times", tc=secs((after["child"] or [0.0])[0]),
                   tp=secs((after["parent"] or [0.0])[0]))]


def near(result, words, question, answer, actual, said):
    """Why a near answer is wrong, when it is: a choice that is true of part of the run. said
    is the answer as the learner's language shows it."""
    if question != "first":
        return []
    shown = blocks(result.out)
    if answer in ("child", "parent") and actual == "one":
        return [phrase(words, "near_both", answer=f"“{said}”", owner=words[answer],
                       who=words[shown[0]])]
    if answer == "one" and actual in ("child", "parent"):
        return [words["near_one"]]
    return []


def why_status(result, words):
    end = killed(result, "parent")
    if end is not None:
        return [phrase(words, "status_signal", signal=end.detail, t=secs(end.when),
                       number=signal_number(end.detail))]
    status = exit_status(result)
    collected = secs(result.when("parent", "collect") or 0.0)
    if status == 0:
        return [phrase(words, "status_ok", t=collected)]
    if result.run.child is None:
        return [phrase(words, "status_fork", error=result.run.fork_error)]
    if failed_writes(result, "parent"):
        return [phrase(words, "status_write", error=errors(failed_writes(result, "parent")))]
    failed_wait = result.first.get(("parent", "wait_failed"))
    if failed_wait is not None and not failed_wait.detail["again"]:
        return [phrase(words, "status_wait", error=failed_wait.detail["error"])]
    if killed(result, "child") is not None:
        return [phrase(words, "status_child", t=collected,
                       signal=killed(result, "child").detail)]
    child_end = result.first.get(("child", "exit"))
    if child_end is not None and child_end.detail:
        return [phrase(words, "status_child_failed", t=collected, status=child_end.detail)]
    return [phrase(words, "status_other", status=status)]


def why_stderr(result, words):
    out, writers = [], set()
    for who in ("child", "parent") if result.run.child is not None else ("parent",):
        for call in result.calls_of(who, "write", 2):
            if call.error:
                continue
            for line in trace.lines_of(trace.first_string(call.args)[0] or b""):
                writers.add(who)
                out.append((call.start, phrase(words, "stderr_line", who=who,
                                               text=cli.escaped(line))))
    out = [text for _, text in sorted(out)]
    if len(writers) == 2:
        out.append(words["stderr_each"])
    if result.scenario.sigpipe_ignored and any(
            c.error == "EPIPE" for who in ("child", "parent") for c in failed_writes(result, who)):
        out.append(words["stderr_sigpipe"])
    dead = {who: end.detail for who in ("child", "parent")
            if (end := killed(result, who)) is not None}
    if dead.keys() & writers:
        # One that was killed had spoken first: say who did what, and in which order.
        for who, name in dead.items():
            if who not in writers:
                out.append(phrase(words, "stderr_quiet", who=who, signal=name))
                continue
            at = words["at_write"] if name == "SIGPIPE" and any(
                c.error == "EPIPE" for c in failed_writes(result, who)) else ""
            collected = result.when("parent", "collect")
            reported = who == "parent" and "child" in dead and collected is not None and any(
                result.seconds(c.start) >= collected
                for c in result.calls_of("parent", "write", 2))
            out.append(phrase(words, "stderr_reported" if reported else "stderr_then",
                              who=who, signal=name, at=at))
    elif len(dead) == 2:
        out.append(phrase(words, "stderr_silent_both", child=dead["child"],
                          parent=dead["parent"]))
    elif dead:
        (who, name), = dead.items()
        out.append(phrase(words, "stderr_silent", who=who, signal=name))
    if result.run.child is None:
        out.append(words["stderr_fork"])
    return out or [words["stderr_none"]]


def why_writes(result, words):
    calls = result.calls_of("child", "write", 1)
    if not calls:
        return [words["writes_none"]]
    last = secs(result.seconds(calls[-1].start))
    if len(calls) == 1:
        return [phrase(words, "writes_once", bytes=calls[0].result, t=last)]
    buffer = result.scenario.params.get("buffer")
    if buffer is not None:
        sizes = ", ".join(c.result or "?" for c in calls)
        return [phrase(words, "writes_full", buffer=buffer, sizes=sizes, t=last)]
    out = []
    sleep, wake = result.when("child", "sleep"), result.when("child", "wake")
    if sleep is None or wake is None:
        out.append(count(words, "count_writes", len(calls)) + ".")
    else:
        before = sum(result.seconds(c.start) < sleep for c in calls)
        out.append(phrase(words, "writes_lines", before=count(words, "count_writes", before),
                          after=count(words, "count_writes", len(calls) - before),
                          ts=secs(sleep), tw=secs(wake)))
    # Where a write is not one line: "\n\n" alone, or a label that waited for its number.
    odd = []
    for number, call in enumerate(calls, 1):
        data = trace.first_string(call.args)[0] or b""
        if data.count(b"\n") != 1:
            odd.append(phrase(words, "writes_carried", number=number,
                              what=f"“{cli.clipped(cli.escaped(data), 24)}”",
                              lines=count(words, "count_lines", data.count(b"\n"))))
    if odd:
        out.append(phrase(words, "writes_many", which="; ".join(odd)))
    return out


def why_zombies(result, words):
    found = zombies(result)
    if not found:
        out = [words["zombie_none"]]
    else:
        out = [phrase(words, "zombie", name=cli.escaped(name), pid=pid, te=secs(exited),
                      tp=secs(until)) for pid, name, exited, until in found]
    end = result.when("child", "wake")
    if end is not None:
        out.append(phrase(words, "zombie_pause", tw=secs(end)))
        ended = {c.pid: result.seconds(c.start) for c in result.calls if c.name == "+++"}
        for pid, name in result.run.left_out.get("processes", {}).items():
            if ended.get(pid, end + 1) > end and pid not in (p for p, *_ in found):
                out.append(phrase(words, "zombie_running", name=cli.escaped(name or "?"),
                                  pid=pid))
    return out


WHY = {"lines": why_lines, "address": why_address, "first": why_first, "status": why_status,
       "stderr": why_stderr, "writes": why_writes, "zombies": why_zombies}
