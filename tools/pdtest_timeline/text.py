"""The timeline as text that fits 80 columns, Hangul taking two, and as one event a line."""

import pdtest_command as cli
import pdtest_trace as trace
from pdtest_timeline.rows import Lanes, order_line, rows_of, summary

def gap_after(rows, index):
    """Seconds from this row to the next when that is long enough to be a pause, else 0."""
    if index + 1 >= len(rows):
        return 0
    gap = rows[index + 1][0] - rows[index][0]
    return gap if gap >= 1.0 else 0


def stamp_width(rows):
    """Columns for the seconds: 9 fits -0.000123 and 9.999999; a longer run widens them all."""
    return max([9] + [len(f"{row[0]:.6f}") for row in rows])


def text_timeline(run, words, pipe):
    """The timeline as lines of text, 80 columns at most."""
    rows, lanes = rows_of(run, words), Lanes(run)
    stamp = stamp_width(rows)
    lane = {"parent": stamp + 2, "child": stamp + 9}
    text_at = stamp + 14
    glyph = {"run": "|", "wait": ":", "sleep": ":", "stopped": "T", "zombie": "z", "none": " "}
    mark = {"start": "*", "write": "*", "fork": "+", "fork_failed": "x", "sleep": "*",
            "exit": "x", "collect": "<", "echild": "*", "end": "x", "stop": "T", "cont": "*"}
    title = words["title_pipe" if pipe else "title_terminal"].format(
        program=cli.escaped(run.program))
    pids = (words["pids"] if run.child else words["pids_alone"]).format(
        parent=run.parent, child=run.child)
    out = [cli.clipped(title, 80), cli.clipped(pids, 80), ""]
    head = list(" " * text_at)
    for key, place in (("seconds", stamp - cli.text_width(words["seconds"])),
                       ("parent", lane["parent"] - 1), ("child", lane["child"] - 1)):
        label = words[key]
        head[place:place + cli.text_width(label)] = [label] + [""] * (cli.text_width(label) - 1)
    out.append("".join(head).rstrip())

    def cells_of(state):
        cells = [" "] * text_at
        for who, column in lane.items():
            cells[column] = glyph[state[who]]
        return cells

    span = lane["child"] - lane["parent"]
    for index, (when, who, kind, label, lines) in enumerate(rows):
        cells = cells_of(lanes.at(when - 1e-9))
        cells[0:stamp] = list(f"{when:{stamp}.6f}")
        if kind == "fork":
            cells[lane["parent"]:lane["child"] + 1] = list("+" + "-" * (span - 2) + ">+")
        elif kind == "collect":
            cells[lane["parent"]:lane["child"] + 1] = list("<" + "=" * (span - 1) + "z")
        else:
            cells[lane[who]] = mark[kind]
        out.append(("".join(cells) + cli.clipped(label, 80 - text_at)).rstrip())
        after = "".join(cells_of(lanes.at(when + 1e-9)))
        for line in lines:
            out.append((after + "  " + cli.clipped(line, 80 - text_at - 2)).rstrip())
        gap = gap_after(rows, index)
        if gap:
            out.append(("".join(cells_of(lanes.at(when + gap / 2)))
                        + words["gap"].format(seconds=f"{gap:.6f}")).rstrip())
    out.append("")
    order = order_line(run, words)
    if order:
        out.append(cli.clipped(order, 80))
    if trace.copied_lines(run):
        out.extend(words["inherited"].format(n=trace.copied_lines(run)).split("\n"))
    out.extend(cli.clipped(line, 80) for line in summary(run, words))
    legend = words["legend"] + (words["legend_stopped"] if lanes.stopped else "")
    out.append(cli.clipped(legend, 80))
    return out


def event_lines(run):
    """One event a line, tab-separated: seconds since the fork, process, event, detail; a
    write's detail is its bytes as text, with backslash, newline, tab and other control
    characters escaped, and \\+N at its end where the trace holds N bytes fewer. A last line,
    process "-", says what was left out, if anything."""
    out = []
    for e in run.events:
        detail = e.detail
        if e.kind == "write":
            cut = detail["size"] - detail["shown"]
            detail = cli.escaped(detail["data"]) + (f"\\+{cut}" if cut else "")
        elif e.kind == "wait_failed":
            detail = detail["error"]
        elif detail is not None:
            detail = cli.escaped(str(detail))
        out.append(f"{e.when:.6f}\t{e.who}\t{e.kind}\t{'' if detail is None else detail}")
    left = run.left_out
    if left:
        what = [f"processes={','.join(str(pid) for pid in sorted(left.get('processes', {})))}",
                f"threads={left.get('threads', 0)}", f"writes={left.get('writes', 0)}"]
        out.append(f"0.000000\t-\tleft_out\t{' '.join(what)}")
    return out
