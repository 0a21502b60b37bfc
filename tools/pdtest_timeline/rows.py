"""The timeline's words, and the rows a run gives: each event on its time, in the lane of its
process, with the lanes' states between them; and the lines that sum up what each process did
and what the drawing leaves out."""

import bisect

import pdtest_command as cli
import pdtest_trace as trace
import pdtest_words as words_
from pdtest_words import N_, Nn_

LABELS = {
    "title_terminal": N_("{program}, its standard output on a terminal"),
    "title_pipe": N_("{program}, its standard output on a pipe"),
    "seconds": N_("seconds"),
    "parent": N_("parent"),
    "child": N_("child"),
    "pids": N_("parent {parent}, child {child}; time 0 is the fork"),
    "pids_alone": N_("process {parent}, no child: time 0 is the failed fork"),
    "exec": N_("{program} starts"),
    "write": N_("write {bytes} bytes, {lines}"),
    "write_cut": N_("write {bytes} bytes; the trace holds {shown}: {lines}"),
    "line": N_("1 line"),
    "lines": N_("{n} lines"),
    "fork": N_("fork: child {child}; then waits in waitpid"),
    "fork_only": N_("fork: child {child}"),
    "fork_failed": N_("fork fails: {error}, so there is no child"),
    "sleep": N_("pauses: sleep({seconds})"),
    "sleep_until": N_("pauses until a set time"),
    "empty": N_("(empty line)"),
    "inherited_svg": N_("← printed before the fork, still|in the buffer that fork copied"),
    "inherited": N_("both first writes begin with the same {n} lines: printed before the "
                    "fork, they\nwere still in the buffer that fork copied"),
    "gap": N_("... {seconds} s later ..."),
    "exit": N_("exits, status {status}: a zombie until collected"),
    "killed": N_("killed by {signal}: a zombie until collected"),
    "exit_orphan": N_("exits, status {status}: orphaned, another process collects it"),
    "killed_orphan": N_("killed by {signal}: orphaned, another process collects it"),
    "collect": N_("waitpid returns {child}: the child is collected"),
    "echild": N_("waitpid({child}) again: ECHILD, no child left"),
    "wait_failed": N_("waitpid({child}) fails at once: {error}"),
    "parent_exit": N_("exits, status {status}"),
    "parent_killed": N_("killed by {signal}"),
    "parent_killed_waiting": N_("killed by {signal} inside waitpid, which never returned"),
    "stop": N_("stopped by {signal}"),
    "cont": N_("continued by SIGCONT"),
    "order": N_("the only order between them: waitpid returns after the child's exit"),
    "no_order": N_("nothing orders them: the parent's waitpid never returned the child"),
    "sum_parent": N_("parent: {writes} ({before} before the fork); blocked in waitpid {wait} s"),
    "sum_parent_died": N_("parent: {writes} ({before} before the fork); killed in waitpid "
                          "after {wait} s"),
    "sum_parent_nowait": N_("parent: {writes} ({before} before the fork); waitpid failed: "
                            "{error}"),
    "sum_parent_never": N_("parent: {writes} ({before} before the fork); it never calls waitpid"),
    "sum_alone": N_("{writes}; the fork failed with {error}: one process, no child, no pause"),
    "sum_child": N_("child: {writes}{paused}; a zombie for {zombie} s"),
    "sum_child_orphan": N_("child: {writes}{paused}; never collected by its parent"),
    "paused": N_("; paused {sleep} s"),
    "writes": Nn_("{n} write", "{n} writes"),
    "left_out": N_("left out: {what}"),
    "left_processes": N_("{n} other processes ({names})"),
    "left_process": N_("1 other process ({names})"),
    "left_threads": N_("{n} threads"),
    "left_thread": N_("1 thread"),
    "left_writes": N_("{n} writes to standard output by other processes or other calls"),
    "left_write": N_("1 write to standard output by another process or another call"),
    "legend": N_("| running   : blocked (waitpid, sleep)   z zombie   * write"),
    "legend_stopped": N_("   T stopped"),
    "legend_svg": N_("running|blocked in waitpid|pausing in sleep|zombie: exited, not yet "
                     "collected|stopped by a signal"),
    "made_by": N_("made by: {command}"),
}


class Lanes:
    """What each process is doing at any moment: run, wait, sleep, stopped, zombie or none."""

    def __init__(self, run):
        inf = float("inf")
        self.life, self.busy, self.stops = {}, {}, {}
        first = {}
        for e in run.events:
            first.setdefault((e.who, e.kind), e.when)
        end = run.events[-1].when if run.events else 0
        fork = first.get(("parent", "fork"), first.get(("parent", "fork_failed"), 0))
        collect = first.get(("parent", "collect"), inf)
        for who in ("parent", "child"):
            born = first.get(("parent", "exec"), -inf) if who == "parent" else fork
            if who == "child" and run.child is None:
                born = inf
            died = first.get((who, "exit"), inf)
            gone = died if who == "parent" else (collect if collect < inf else end + 1)
            self.life[who] = (born, died, gone)
            self.busy[who], self.stops[who] = [], []
        open_at = {}
        for e in run.events:
            if e.kind in ("wait", "sleep"):
                open_at[e.who] = (e.when, "wait" if e.kind == "wait" else "sleep")
            elif e.kind in ("collect", "wake", "exit") and e.who in open_at:
                start, state = open_at.pop(e.who)
                self.busy[e.who].append((start, e.when, state))
            elif e.kind == "stop":
                self.stops[e.who].append([e.when, inf])
            elif e.kind == "cont" and self.stops[e.who] and self.stops[e.who][-1][1] == inf:
                self.stops[e.who][-1][1] = e.when
        for who, (start, state) in open_at.items():
            self.busy[who].append((start, inf, state))
        self.starts = {who: [b[0] for b in self.busy[who]] for who in self.busy}
        self.stop_starts = {who: [s[0] for s in self.stops[who]] for who in self.stops}
        self.stopped = any(self.stops.values())

    def at(self, when):
        state = {}
        for who, (born, died, gone) in self.life.items():
            if when < born or when >= gone:
                state[who] = "none"
            elif when >= died:
                state[who] = "zombie"
            elif self._inside(self.stops[who], self.stop_starts[who], when):
                state[who] = "stopped"
            else:
                busy = self._inside(self.busy[who], self.starts[who], when)
                state[who] = busy[2] if busy else "run"
        return state

    @staticmethod
    def _inside(spans, starts, when):
        index = bisect.bisect_right(starts, when) - 1
        if index >= 0 and spans[index][0] <= when < spans[index][1]:
            return spans[index]
        return None


def rows_of(run, words):
    """The timeline's rows: one for each event a learner looks at, in time order, and the
    lines of each write. Each row is (seconds, process, kind, label, text lines).
    Events whose order is a race between the two processes (the parent entering waitpid,
    the child leaving its sleep) are not rows of their own but states of the lanes.
    """
    rows = []
    kinds = {(e.who, e.kind) for e in run.events}
    collected = ("parent", "collect") in kinds
    waiting = None
    for e in run.events:
        who, kind, detail = e.who, e.kind, e.detail
        if kind == "exec":
            label = words["exec"].format(program=cli.escaped(detail))
            rows.append((e.when, who, "start", label, []))
        elif kind == "write":
            lines = [cli.escaped(line) or words["empty"] for line in trace.lines_of(detail["data"])]
            count = words["line"] if len(lines) == 1 else words["lines"].format(n=len(lines))
            key = "write" if detail["shown"] >= detail["size"] else "write_cut"
            label = words[key].format(bytes=detail["size"], lines=count, shown=detail["shown"])
            rows.append((e.when, who, "write", label, lines))
        elif kind == "fork":
            # "then waits" only if the parent's next call of note is its waitpid.
            after = [x.kind for x in run.events if x.who == "parent" and x.when > e.when
                     and x.kind in ("wait", "exec", "exit")]
            key = "fork" if after[:1] == ["wait"] else "fork_only"
            rows.append((e.when, who, "fork", words[key].format(child=detail), []))
        elif kind == "fork_failed":
            rows.append((e.when, who, "fork_failed",
                         words["fork_failed"].format(error=detail), []))
        elif kind == "sleep":
            label = words["sleep_until"] if detail is None else \
                words["sleep"].format(seconds=f"{detail:g}")
            rows.append((e.when, who, "sleep", label, []))
        elif kind == "wait":
            waiting = e.when
        elif kind == "collect":
            waiting = None
            rows.append((e.when, who, "collect", words["collect"].format(child=detail), []))
        elif kind == "wait_failed":
            key = "echild" if detail["again"] and detail["error"] == "ECHILD" else "wait_failed"
            rows.append((e.when, who, "echild",
                         words[key].format(child=detail.get("target", run.child),
                                           error=detail["error"]), []))
        elif kind in ("stop", "cont"):
            rows.append((e.when, who, kind, words[kind].format(signal=detail), []))
        elif kind == "exit" and who == "child":
            key = "exit" if isinstance(detail, int) else "killed"
            if not collected:
                key += "_orphan"
            rows.append((e.when, who, "exit", words[key].format(status=detail, signal=detail), []))
        elif kind == "exit":
            key = "parent_exit" if isinstance(detail, int) else "parent_killed"
            if key == "parent_killed" and waiting is not None:
                key = "parent_killed_waiting"
            rows.append((e.when, who, "end", words[key].format(status=detail, signal=detail), []))
    return rows


def plural(words, n):
    return words_.n_(*words["writes"], n).format(n=n)


def summary(run, words):
    """Lines that count what each process did, and what the drawing leaves out."""
    writes = {"parent": 0, "child": 0}
    before = 0
    first = {}
    for e in run.events:
        if e.kind == "write":
            writes[e.who] += 1
            before += e.when < 0
        first.setdefault((e.who, e.kind), e)

    def span(a, b):
        if a in first and b in first:
            return f"{first[b].when - first[a].when:.6f}"
        return "?"

    out = []
    if run.child is None:
        out.append(words["sum_alone"].format(writes=plural(words, writes["parent"]),
                                             error=run.fork_error))
    else:
        failed = first.get(("parent", "wait_failed"))
        if ("parent", "collect") in first:
            out.append(words["sum_parent"].format(
                writes=plural(words, writes["parent"]), before=before,
                wait=span(("parent", "wait"), ("parent", "collect"))))
        elif ("parent", "wait") in first:
            out.append(words["sum_parent_died"].format(
                writes=plural(words, writes["parent"]), before=before,
                wait=span(("parent", "wait"), ("parent", "exit"))))
        else:
            out.append(words["sum_parent_nowait" if failed else "sum_parent_never"].format(
                writes=plural(words, writes["parent"]), before=before,
                error=failed.detail["error"] if failed else None))
        end_of_sleep = ("child", "wake") if ("child", "wake") in first else ("child", "exit")
        paused = ""
        if ("child", "sleep") in first:
            paused = words["paused"].format(sleep=span(("child", "sleep"), end_of_sleep))
        key = "sum_child" if ("parent", "collect") in first else "sum_child_orphan"
        out.append(words[key].format(writes=plural(words, writes["child"]), paused=paused,
                                     zombie=span(("child", "exit"), ("parent", "collect"))))
    left = []
    processes = run.left_out.get("processes", {})
    if processes:
        names = ", ".join(cli.escaped(f"{name} {pid}" if name else str(pid))
                          for pid, name in sorted(processes.items())[:3])
        if len(processes) > 3:
            names += ", ..."
        key = "left_process" if len(processes) == 1 else "left_processes"
        left.append(words[key].format(n=len(processes), names=names))
    if run.left_out.get("threads"):
        n = run.left_out["threads"]
        left.append(words["left_thread" if n == 1 else "left_threads"].format(n=n))
    if run.left_out.get("writes"):
        n = run.left_out["writes"]
        left.append(words["left_write" if n == 1 else "left_writes"].format(n=n))
    if left:  # one a line, so that none is cut off at the width
        head = words["left_out"].format(what="")
        out.append(head + left[0])
        out.extend(" " * cli.text_width(head) + part for part in left[1:])
    return out


def order_line(run, words):
    if run.child is None:
        return None
    collected = any(e.kind == "collect" for e in run.events)
    return words["order" if collected else "no_order"]
