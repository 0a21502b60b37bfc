"""What the lab's parts share to say things: sentences in the learner's language, the processes
named by role and Korean particles made right, counts, times, lines wrapped to a terminal's 80
columns, and standard output written whole or reported."""

import os

import pdtest_command as cli
import pdtest_words as words_


def phrase(words, key, plural=None, **values):
    """The sentence, its words taking their particles; the processes are named by role:
    {Parent} and {parent}, {Child} and {child}, {Who} and {who} for one given as who. A
    sentence that has a plural is chosen by the count plural."""
    who = values.pop("who", None)
    names = {k: words[k] for k in ("Parent", "parent", "Child", "child") if k in words}
    if who in ("parent", "child"):
        names.update(Who=words[who.capitalize()], who=words[who])
    elif who is not None:
        names["who"] = who
    names.update(values)
    template = words[key]
    if isinstance(template, tuple):
        template = words_.n_(*template, plural)
    return words_.filled(template, names)


def count(words, key, n):
    return words_.n_(*words[key], n).format(n=n)


def secs(value):
    return f"{value:.6f}"


def wrapped(text, indent="    ", first=None, columns=80):
    """The text in lines that fit the columns on a terminal, Hangul taking two each; the
    first line begins with first, if given, the others with indent."""
    out, line, words = [], "", []
    for word in text.split(" "):
        last = words[-1] if words else ""
        # A number keeps its unit, "3.000638 s", and short parentheses are not split.
        if last[-1:].isdigit() and word.rstrip(".,;:)") == "s" or \
                last.count("(") > last.count(")") and cli.text_width(last) < 40:
            words[-1] += " " + word
        else:
            words.append(word)
    lead = indent if first is None else first
    for word in words:
        if line and cli.text_width(lead + line + " " + word) > columns:
            out.append(lead + line)
            line, lead = word, indent
        else:
            line = f"{line} {word}" if line else word
    return out + [lead + line]


def write_out(text):
    """Writes all of the text to standard output at once. A reader that has gone raises
    BrokenPipeError, which ends the lab quietly; any other error ends it with one line."""
    view = memoryview(text.encode("utf-8", errors="backslashreplace"))
    try:
        while view:
            view = view[os.write(1, view):]
    except BrokenPipeError:
        raise
    except OSError as error:
        raise cli.Failure(f"standard output: {error.strerror}") from None


def say(text=""):
    write_out(text + "\n")


def tell(text):
    """A sentence of the lab's own, wrapped to fit a terminal."""
    for line in wrapped(text, first=""):
        say(line)
