"""The learner's tools' words in the learner's language: the project's gettext catalogs (text
domain "pdtest", English in the code as the message IDs), and the Korean particles that a
translation writes as 은(는), 이(가), 을(를), 과(와) or (으)로 made right for the word before
them, which the code only knows once it has filled the sentence in.

Run from the source tree, the catalogs are the build's (build/locale); installed, those in
share/locale beside bin/.
"""

import collections.abc
import gettext
import os
import re
import string

DOMAIN = "pdtest"
catalog = gettext.NullTranslations()
HERE = os.curdir  # the folder of the command, whose catalogs are beside it


def folders(here):
    """Where the catalogs may be, for a command in the folder here."""
    return [os.path.join(here, os.pardir, "share", "locale"),
            os.path.join(here, os.pardir, "build", "locale")]


def language(value):
    """The language a locale's name asks for: ko for ko_KR.UTF-8; en for C, POSIX or none."""
    lang = re.split(r"[_.@]", value or "", maxsplit=1)[0]
    return "en" if lang in ("", "C", "POSIX") else lang


def locale_language():
    """The language the locale asks for: the first of LC_ALL, LC_MESSAGES and LANG that is set
    and not empty says it."""
    for name in ("LC_ALL", "LC_MESSAGES", "LANG"):
        if os.environ.get(name):
            return language(os.environ[name])
    return "en"


def settle(given, here, error):
    """Speaks the language given with --lang, else the locale's, and gives it. A language given
    that has no catalog here is error(why)'s to say; the locale's falls back on English."""
    lang = given or locale_language()
    if use(lang, here):
        return lang
    if given:
        error(f"--lang {given}: no catalog of that language here (build it with cmake --build "
              "--preset default, or install pdTest)")
    use("en", here)
    return "en"


def found(lang, here):
    """The catalog of the language, or None when none of it can be read whole."""
    if lang == "en":
        return gettext.NullTranslations()
    for folder in folders(here):
        try:
            return gettext.translation(DOMAIN, folder, languages=[lang])
        except Exception:  # noqa: B902 - missing, unreadable, or not a catalog at all
            continue
    return None


def use(lang, here):
    """From now on, the words are the language's; gives False when it has no catalog here."""
    global catalog, HERE
    HERE = here
    chosen = found(lang, here)
    if chosen is None:
        return False
    catalog = chosen
    return True


class Words(collections.abc.Mapping):
    """English messages by key, each given in the learner's language as it is read: a nested
    table as Words, a plural pair as it stands, for n_ to choose from."""

    def __init__(self, messages):
        self.messages = messages

    def __getitem__(self, key):
        value = self.messages[key]
        if isinstance(value, dict):
            return Words(value)
        return value if isinstance(value, tuple) else _(value)

    def __iter__(self):
        return iter(self.messages)

    def __len__(self):
        return len(self.messages)


def _(message):
    return catalog.gettext(message)


def N_(message):
    """Marks a message for the catalog where it is written, to be translated where it is used."""
    return message


def Nn_(singular, plural):
    """Marks a plural pair for the catalog, for n_ to translate where it is used."""
    return singular, plural


def NP_(context, message):
    """Marks a message with its context for the catalog, to be translated where it is used."""
    return message


def n_(singular, plural, n):
    return catalog.ngettext(singular, plural, n)


def p_(context, message):
    return catalog.pgettext(context, message)


def every(context, message):
    """The message in English and in each language whose catalog is here, casefolded: words a
    learner may type in any of them."""
    words = {message.casefold()}
    for folder in folders(HERE):
        try:
            langs = os.listdir(folder)
        except OSError:
            continue
        for lang in langs:
            other = found(lang, HERE)
            if other is not None:
                words.add(other.pgettext(context, message).casefold())
    return words


# The particles a translation writes undecided, and the forms they take after a closing
# consonant and after a vowel; (으)로 takes 로 after ㄹ too.
PARTICLES = {"은(는)": ("은", "는"), "이(가)": ("이", "가"), "을(를)": ("을", "를"),
             "과(와)": ("과", "와"), "(으)로": ("으로", "로")}
UNDECIDED = re.compile("|".join(re.escape(p) for p in PARTICLES))
# How each digit is read, as its last sound: 0 영, 1 일, 3 삼, 6 육, 7 칠 and 8 팔 close on a
# consonant, 1, 7 and 8 on ㄹ.
DIGIT_FINAL = {"0": 21, "1": 8, "2": 0, "3": 16, "4": 0, "5": 0, "6": 1, "7": 8, "8": 8, "9": 0}


def final(text):
    """The final consonant (jongseong index, 0 for none) of the word the text ends with, as it
    is read; quotes and brackets closing it do not count. A word in other letters counts as
    ending on a vowel."""
    text = text.rstrip("”’\")]")
    if not text:
        return 0
    last = text[-1]
    if "가" <= last <= "힣":
        return (ord(last) - 0xAC00) % 28
    if last.isdigit() and last.isascii():
        digits = re.search(r"[0-9]+$", text)[0]
        zeros = len(digits) - len(digits.rstrip("0"))
        if zeros and digits.strip("0"):  # 10 십, 100 백, 1000 천, 10000 만
            return (17, 1, 4, 4)[min(zeros, 4) - 1]
        return DIGIT_FINAL[last]
    return 0


def filled(template, values):
    """The template with its fields filled in and each undecided particle of its own text in the
    form the word before it asks for; what fills a field is left as it is, whatever it holds."""
    out = ""
    for text, field, shape, conversion in string.Formatter().parse(template):
        at = 0
        for match in UNDECIDED.finditer(text):
            closed, open_ = PARTICLES[match[0]]
            consonant = final(out + text[at:match.start()])
            decided = closed if consonant and not (closed == "으로" and consonant == 8) else open_
            out += text[at:match.start()] + decided
            at = match.end()
        out += text[at:]
        if field is not None:
            value = values[field]
            if conversion:
                value = repr(value) if conversion == "r" else str(value)
            out += format(value, shape or "")
    return out


def said(message, **values):
    """The message in the learner's language, filled in, its particles made right."""
    return filled(_(message), values)
