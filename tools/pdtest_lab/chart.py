"""The class's summary as a picture a teacher can project: one bar a question, the most missed
first, split into right, wrong and answers of the wrong form. Its text stays text."""

import html

import pdtest_command as cli
from pdtest_lab.summary import label

COLOURS = ("#3c8d4f", "#c8453b", "#9a9a9a")  # right, wrong, wrong form
FONT = "font-family=\"'NanumGothic', 'Noto Sans CJK KR', sans-serif\""
BAR, ROW = 420, 24  # the width of the longest bar; a row's height


def esc(text):
    return html.escape(cli.escaped(text), quote=True)


def svg(summary, words, title_note):
    """The chart, as the text of an SVG file."""
    rows = summary.ranked()
    # Wide enough for the longest label at about 7.5 pixels a column, 13-pixel text.
    column = max([230] + [int(7.5 * cli.text_width(label(*key))) + 16 for key, _ in rows])
    most = max((e["answered"] for _, e in rows), default=1) or 1
    width = 20 + column + BAR + 90
    top = 64
    height = top + ROW * len(rows) + 60
    body = [f'<text x="20" y="28" font-size="18" font-weight="bold">{esc(words["title"])}</text>',
            f'<text x="20" y="48" font-size="12" fill="#555">{esc(title_note)}</text>']
    for number, (key, e) in enumerate(rows):
        y = top + number * ROW
        wrong = sum(e["wrong"].values())
        body.append(f'<text x="{20 + column - 8}" y="{y + 15}" font-size="13" '
                    f'text-anchor="end">{esc(label(*key))}</text>')
        x = 20 + column
        for value, colour in zip((e["right"], wrong, e["badly_formed"]), COLOURS):
            w = BAR * value / most
            if w:
                body.append(f'<rect x="{x:.1f}" y="{y + 3}" width="{w:.1f}" height="{ROW - 6}" '
                            f'fill="{colour}"/>')
            x += w
        body.append(f'<text x="{x + 6:.1f}" y="{y + 15}" font-size="12" fill="#333">'
                    f'{e["right"]}/{e["answered"]}</text>')
    y = top + ROW * len(rows) + 24
    x = 20 + column
    for kind, colour in zip(words["legend"].split("|"), COLOURS):
        body.append(f'<rect x="{x}" y="{y - 11}" width="14" height="14" fill="{colour}"/>')
        body.append(f'<text x="{x + 20}" y="{y + 1}" font-size="12">{esc(kind)}</text>')
        x += 40 + 9 * cli.text_width(kind)
    head = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" {FONT}>',
            f'<title>{esc(words["title"])}</title>',
            f'<rect width="{width}" height="{height}" fill="#ffffff"/>']
    return "\n".join(head + body + ["</svg>", ""])
