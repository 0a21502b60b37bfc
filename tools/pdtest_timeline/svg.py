"""The timeline as an SVG picture whose text stays text."""

import html

import pdtest_command as cli
import pdtest_trace as trace
from pdtest_timeline.rows import Lanes, order_line, rows_of, summary
from pdtest_timeline.text import gap_after, stamp_width

RED, INK = "#b3261e", "#333"

SANS = ("NanumGothic, 'Noto Sans CJK KR', 'Noto Sans KR', 'Malgun Gothic', "
        "'Apple SD Gothic Neo', sans-serif")


MONO = ("NanumGothicCoding, D2Coding, 'Noto Sans Mono CJK KR', 'Noto Sans Mono', "
        "'DejaVu Sans Mono', monospace")


STYLE = (".time{font-size:12px;fill:#555;font-family:%s}"
         ".out{font-size:14px;fill:#111;font-family:%s}"
         ".who{font-weight:bold}.gap{fill:#555;font-style:italic}.small{font-size:12px;fill:#555}"
         ".note{font-size:13px;fill:#7a5c00;font-weight:bold}" % (MONO, MONO))


COLOUR = {"parent": "#1f5fa8", "child": "#1d7a3a"}


# How a lane is drawn in each state; the legend shows them in this order.
LANE = {"run": 'stroke-width="4"',
        "wait": 'stroke-width="4" stroke-dasharray="2 6" stroke-linecap="round"',
        "sleep": 'stroke-width="4" stroke-dasharray="10 6"',
        "zombie": 'stroke-width="10" stroke-dasharray="3 3"',
        "stopped": 'stroke-width="2" stroke-dasharray="1 3"'}


ARROWS = ('<defs><marker id="fork" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" '
          f'markerHeight="7" orient="auto"><path d="M0,0 L10,5 L0,10 z" fill="{INK}"/></marker>'
          '<marker id="order" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="5" '
          f'markerHeight="5" orient="auto"><path d="M0,0 L10,5 L0,10 z" fill="{RED}"/></marker>'
          '</defs>')


def esc(text):
    """Text, its control characters already escaped (XML forbids most of them outright), as it
    may stand in SVG's text and attributes."""
    return html.escape(text, quote=True)


def svg_timeline(run, words, pipe, command):
    """The timeline as an SVG picture whose text is text: lanes down the page, one row for
    each event of the text timeline, the text of each write beside it."""
    rows, lanes = rows_of(run, words), Lanes(run)
    shift = 7.5 * (stamp_width(rows) - 9)
    lane = {"parent": 130 + shift, "child": 230 + shift}
    text_at, width, row, line_height = 275 + shift, 920 + shift, 26, 18
    places, y = [], 92
    for index, (_, _, _, _, lines) in enumerate(rows):
        places.append(y)
        y += row + line_height * len(lines) + (6 if lines else 0)
        if gap_after(rows, index):
            y += 30
    bottom = y + 10
    body = []

    # The lanes, state by state, from one row to the next.
    for index, top in enumerate(places):
        low = places[index + 1] if index + 1 < len(places) else bottom
        when = rows[index][0]
        middle = (when + rows[index + 1][0]) / 2 if index + 1 < len(rows) else when + 1e-9
        for who, state in lanes.at(middle).items():
            if state in LANE:
                x = lane[who]
                colour = RED if state == "zombie" else "#777" if state == "stopped" else COLOUR[who]
                body.append(f'<line x1="{x}" y1="{top}" x2="{x}" y2="{low}" '
                            f'stroke="{colour}" {LANE[state]}/>')

    # The events: a mark on the lane, the label, and the text each write wrote.
    inherited, marked, ends = trace.copied_lines(run), set(), {}
    for index, ((when, who, kind, label, lines), top) in enumerate(zip(rows, places)):
        x, colour = lane[who], COLOUR[who]
        ends[kind] = top
        body.append(f'<text x="{70 + shift}" y="{top + 5}" text-anchor="end" class="time">'
                    f'{when:.6f}</text>')
        if kind == "fork":
            body.append(f'<line x1="{x}" y1="{top}" x2="{lane["child"] - 9}" y2="{top}" '
                        f'stroke="{INK}" stroke-width="2" marker-end="url(#fork)"/>')
        elif kind in ("exit", "end", "fork_failed"):
            cross = RED if kind in ("exit", "fork_failed") else INK
            body.append(f'<path d="M{x - 7},{top - 7} l14,14 m0,-14 l-14,14" '
                        f'stroke="{cross}" stroke-width="3"/>')
        else:
            dot = RED if kind == "collect" else colour
            body.append(f'<circle cx="{x}" cy="{top}" r="{6 if kind == "collect" else 5}" '
                        f'fill="{dot}"/>')
        body.append(f'<line x1="{x + 8}" y1="{top}" x2="{text_at - 6}" y2="{top}" '
                    f'stroke="{colour}" stroke-width="1" stroke-dasharray="1 3"/>')
        strong = ' font-weight="bold"' if kind in ("exit", "collect", "fork") else ""
        body.append(f'<text x="{text_at}" y="{top + 5}" '
                    f'fill="{RED if kind in ("exit", "collect") else colour}"{strong}>'
                    f'<tspan class="who">{esc(words[who])}</tspan>  {esc(label)}</text>')
        first = top + 12
        if lines:
            body.append(f'<rect x="{text_at}" y="{first}" width="4" '
                        f'height="{line_height * len(lines) + 2}" fill="{colour}"/>')
        if lines and inherited and kind == "write" and when >= 0 and who not in marked:
            marked.add(who)
            body.append(f'<rect x="{text_at + 8}" y="{first + 1}" width="370" '
                        f'height="{line_height * inherited}" fill="#ffe98a"/>')
            for number, note in enumerate(words["inherited_svg"].split("|")):
                body.append(f'<text x="{text_at + 388}" y="{first + 14 + 16 * number}" '
                            f'class="note">{esc(note)}</text>')
        for number, line in enumerate(lines):
            kind_of_line = "gap" if line == words["empty"] else "out"
            body.append(f'<text x="{text_at + 14}" y="{first + line_height * (number + 1) - 4}" '
                        f'class="{kind_of_line}" xml:space="preserve">{esc(line)}</text>')
        gap = gap_after(rows, index)
        if gap:
            gap_y = places[index + 1] - 22
            body.append(f'<text x="{70 + shift}" y="{gap_y}" text-anchor="end" class="time">⋮</text>')
            body.append(f'<text x="{text_at}" y="{gap_y}" class="gap">'
                        f'{esc(words["gap"].format(seconds=f"{gap:.6f}"))}</text>')
    # The one edge that orders the two processes.
    if "exit" in ends and "collect" in ends:
        body.append(f'<path d="M{lane["child"] - 8},{ends["exit"] + 6} '
                    f'L{lane["parent"] + 12},{ends["collect"] - 4}" stroke="{RED}" '
                    'stroke-width="3" fill="none" marker-end="url(#order)"/>')

    # What it all means, the counts, the legend and the command that made the picture.
    foot = bottom + 20
    order = order_line(run, words)
    if order:
        body.append(f'<text x="20" y="{foot}" fill="{RED}" font-weight="bold">'
                    f'↘ {esc(order)}</text>')
    notes = summary(run, words)
    if inherited:
        notes += words["inherited"].format(n=inherited).split("\n")
    for number, line in enumerate(notes):
        body.append(f'<text x="20" y="{foot + 22 * (number + 1)}">{esc(line)}</text>')
    foot += 22 * (len(notes) + 1) + 4
    x = 20
    for (state, style), label in zip(LANE.items(), words["legend_svg"].split("|")):
        if state == "stopped" and not lanes.stopped:
            continue
        body.append(f'<line x1="{x}" y1="{foot - 5}" x2="{x + 36}" y2="{foot - 5}" '
                    f'stroke="{RED if state == "zombie" else "#555"}" {style}/>')
        body.append(f'<text x="{x + 44}" y="{foot}" class="small">{esc(label)}</text>')
        x += 44 + 7.5 * cli.text_width(label) + 30
    foot += 26
    made_by = esc(words["made_by"].format(command=command))
    body.append(f'<text x="20" y="{foot}" class="small">{made_by}</text>')
    height = foot + 14
    title = esc(words["title_pipe" if pipe else "title_terminal"].format(
        program=cli.escaped(run.program)))
    pids = esc((words["pids"] if run.child else words["pids_alone"]).format(
        parent=run.parent, child=run.child))
    head = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="{esc(SANS)}" font-size="14" fill="#222">',
        f"<title>{title}</title>",
        f"<desc>{made_by}</desc>",
        f"<style>{esc(STYLE)}</style>",
        ARROWS,
        f'<rect width="{width}" height="{height}" fill="#fff"/>',
        f'<text x="20" y="30" font-size="18" font-weight="bold">{title}</text>',
        f'<text x="20" y="52" class="small">{pids}</text>',
        f'<text x="{70 + shift}" y="78" text-anchor="end" class="small">{esc(words["seconds"])}</text>',
    ]
    for who, x in lane.items():
        head.append(f'<text x="{x}" y="{78}" text-anchor="middle" font-weight="bold" '
                    f'fill="{COLOUR[who]}">{esc(words[who])}</text>')
    return "\n".join(head + body + ["</svg>", ""])
