"""What a class got wrong: read every report, then for each question, and each variant of its
scenario, how many answered, how many were right, the run's answer, the wrong answers by count
and the answers of the wrong form apart; for each student the score and whether the run was
complete; and flags for what a teacher should look at."""

import json
import unicodedata
from collections import Counter

import pdtest_command as cli
import pdtest_words as words_
from pdtest_lab.scenarios import CHOICES, params_text
from pdtest_lab.text import phrase, wrapped
from pdtest_words import N_, Nn_, p_

# Format 1 asked whether a zombie was left, yes or no.
OLD_CHOICES = {"zombie": ("yes", "no")}

WORDS = {
    "head": N_("{files} read: {lines}, {unused} not used; {runs} of {students}."),
    "head_all": N_("{files} read: {lines}, all used; {runs} of {students}."),
    "files": Nn_("{n} report", "{n} reports"),
    "lines": Nn_("{n} line", "{n} lines"),
    "runs": Nn_("{n} run", "{n} runs"),
    "students": Nn_("{n} student", "{n} students"),
    "questions": N_("Questions, the most missed first"),
    "columns": N_("answered|right|wrong|wrong form"),
    "actual": N_("the run's answer:"),
    "wrong": N_("wrong answers:"),
    "badly": N_("wrong form:"),
    "people": N_("Students:"),
    "score": N_("{right} of {asked}"),
    "complete": N_("complete"),
    "early": N_("early"),
    "flags": N_("Flags:"),
    "no_flags": N_("Flags: none."),
    "flag": N_("{student} ({file}): {why}"),
    "shown": N_("ran with --show, which shows the answers"),
    "program": N_("ran a program unlike the class's (SHA-256 {sha})"),
    "seed": N_("ran with seed {seed}, not the class's {usual}"),
    "edited": Nn_("an answer the run did not give: {what}",
                  "{n} answers the run did not give, such as {what}"),
    "edited_actual": N_("{where} says the run gave {actual}, unlike every other report"),
    "edited_correct": N_("{where} is marked {correct} for {answer} against {actual}"),
    "right_word": N_("right"),
    "wrong_word": N_("wrong"),
    "early_end": N_("ended early"),
    "no_end": N_("has no closing line: the run was cut off"),
    "duplicate": N_("{n} runs of one student; the last is counted"),
    "nobody": N_("(no name)"),
    "title": N_("What the class answered, question by question"),
    "legend": N_("right|wrong|wrong form"),
}


def well_formed(question, answer):
    if question in CHOICES:
        return answer in CHOICES[question]
    if question in OLD_CHOICES:
        return answer in OLD_CHOICES[question]
    return isinstance(answer, int) and not isinstance(answer, bool)


def shown_value(question, value):
    """An answer as a teacher reads it: a choice's word in the summary's language, a number as
    it is, anything else quoted."""
    if question in CHOICES and value in CHOICES[question]:
        return p_("answer", CHOICES[question][value][0])
    return json.dumps(value, ensure_ascii=False) if isinstance(value, str) else str(value)


def folded(name):
    """A student's name as the same student however it was typed: composed, with its blanks
    alike, in any case."""
    return " ".join(unicodedata.normalize("NFC", name).split()).casefold()


class Summary:
    """The class's reports, read: per question, per student, and flags."""

    def __init__(self, runs, read, unused, files):
        self.read, self.unused, self.files = read, unused, files
        self.runs = runs
        by_student = {}
        for index, run in enumerate(runs):
            by_student.setdefault(self.student_of(run), []).append(index)
        everything = [q for _, questions, _ in runs for q in questions]
        self.usual = most(q.get("program_sha256") for q in everything)
        self.usual_seed = most(q.get("seed") for q in everything)
        # Each question's actuals in every report, and in each run, counted: one run's are
        # weighed against the others' without going through them all again.
        actuals = {}
        for index, (_, questions, _) in enumerate(runs):
            for q in questions:
                actual = json.dumps(q["actual"])
                actuals.setdefault(self.key(q), Counter())[actual] += 1
                actuals.setdefault((index, self.key(q)), Counter())[actual] += 1
        self.students, self.questions = [], {}
        for (_, name), theirs in by_student.items():
            index = theirs[-1]
            path, questions, closing = runs[index]
            asked = [q for q in questions if q["answer"] is not None]
            flags = []
            if any(q.get("shown") or q["answer"] is None for q in questions):
                flags.append(("shown", {}))
            shas = {q.get("program_sha256") for q in questions} - {None}
            if self.usual and shas - {self.usual}:
                flags.append(("program", {"sha": min(shas - {self.usual})[:12]}))
            seeds = {q.get("seed") for q in questions} - {None}
            if self.usual_seed is not None and seeds - {self.usual_seed}:
                flags.append(("seed", {"seed": min(seeds - {self.usual_seed}),
                                       "usual": self.usual_seed}))
            edits = self.edits(index, questions, actuals)
            if edits:
                flags.append(("edited", {"what": edits[0], "n": len(edits)}))
            if closing is None:
                flags.append(("no_end", {}))
            elif closing["end"] != "complete":
                flags.append(("early_end", {}))
            if len(theirs) > 1:
                flags.append(("duplicate", {"n": len(theirs)}))
            self.students.append({
                "student": name, "file": path, "right": sum(q["correct"] is True for q in asked),
                "asked": len(asked), "complete": closing is not None
                and closing["end"] == "complete", "flags": flags, "seed": min(seeds, default=None)})
            for q in asked:
                variant = params_text(q.get("params") or {})
                entry = self.questions.setdefault((q["scenario"], q["question"], variant), {
                    "answered": 0, "right": 0, "badly_formed": 0, "wrong": Counter(),
                    "badly": Counter(), "actual": Counter()})
                entry["answered"] += 1
                entry["actual"][json.dumps(q["actual"])] += 1
                if q["correct"] is True:
                    entry["right"] += 1
                elif well_formed(q["question"], q["answer"]):
                    entry["wrong"][q["answer"]] += 1
                else:
                    entry["badly_formed"] += 1
                    entry["badly"][str(q["answer"])] += 1

    @staticmethod
    def student_of(run):
        """Whose run it is: the name given, the same however typed; a run without one is its
        file's."""
        path, questions, closing = run
        for record in ([closing] if closing else []) + questions:
            if record.get("student") is not None:
                return folded(str(record["student"])), str(record["student"])
        return ("", path), None

    @staticmethod
    def key(q):
        return (q["scenario"], q["question"], json.dumps(q.get("params", {}), sort_keys=True),
                q.get("program_sha256"))

    def edits(self, index, questions, actuals):
        """The lines of a run that no run could have written: a verdict that does not follow
        from its answer and actual, or an actual that two or more other reports of the same
        question, parameters and program give, and none of them this one."""
        found = []
        for q in questions:
            where = cli.escaped(f"{q['scenario']} {q['question']}")
            if q["answer"] is not None:
                expected = well_formed(q["question"], q["answer"]) and q["answer"] == q["actual"]
                if q["correct"] is not expected:
                    found.append(("edited_correct", {
                        "where": where, "answer": shown_value(q["question"], q["answer"]),
                        "actual": shown_value(q["question"], q["actual"]),
                        "correct": q["correct"]}))
                    continue
            others = actuals[self.key(q)] - actuals[(index, self.key(q))]
            if others.total() >= 2 and not others[json.dumps(q["actual"])]:
                found.append(("edited_actual", {
                    "where": where, "actual": shown_value(q["question"], q["actual"])}))
        return found

    def ranked(self):
        """The questions, each variant apart, the most missed first."""
        return sorted(self.questions.items(),
                      key=lambda item: (item[1]["right"] / item[1]["answered"], item[0]))

    def json_lines(self):
        out = []
        for (scenario, question, variant), e in self.ranked():
            out.append({"scenario": scenario, "question": question, "params": variant,
                        "actual": json.loads(e["actual"].most_common(1)[0][0]),
                        "answered": e["answered"], "right": e["right"],
                        "badly_formed": e["badly_formed"],
                        "wrong": [[answer, n] for answer, n in most_common(e["wrong"])]})
        for s in self.students:
            out.append({"student": s["student"], "file": s["file"], "seed": s["seed"],
                        "right": s["right"], "asked": s["asked"], "complete": s["complete"],
                        "flags": list(dict.fromkeys(FLAG_NAMES[name] for name, _ in s["flags"]
                                                    if FLAG_NAMES[name]))})
        return [json.dumps(o, ensure_ascii=False) for o in out]

    def head(self, words):
        """What was read: reports, lines, lines not used, runs and students."""
        def counted(key, n):
            return words_.n_(*words[key], n).format(n=n)

        return phrase(words, "head" if self.unused else "head_all",
                      files=counted("files", self.files), lines=counted("lines", self.read),
                      unused=self.unused, runs=counted("runs", len(self.runs)),
                      students=counted("students", len(self.students)))

    def text_lines(self, words):
        out = wrapped(self.head(words), first="", indent="") + [""]
        heads = words["columns"].split("|")
        names = [label(*key) for key in self.questions]
        width = max([cli.text_width(words["questions"])] + [len(n) + 2 for n in names])
        out.append(padded(words["questions"], width) + "".join(f"  {h}" for h in heads))
        for (scenario, question, variant), e in self.ranked():
            counts = (e["answered"], e["right"], sum(e["wrong"].values()), e["badly_formed"])
            out.append(padded(f"  {label(scenario, question, variant)}", width) + "".join(
                f"  {n:>{cli.text_width(h)}}" for n, h in zip(counts, heads)))
            if e["right"] == e["answered"]:
                continue
            actual = json.loads(e["actual"].most_common(1)[0][0])
            said = [f"{words['actual']} {cli.escaped(shown_value(question, actual))}"]
            for key, answers in (("wrong", most_common(e["wrong"])),
                                 ("badly", most_common(e["badly"]))):
                if answers:
                    said.append(f"{words[key]} " + ", ".join(
                        f"{cli.clipped(cli.escaped(shown_value(question, a)), 24)} ×{n}"
                        for a, n in answers))
            out += wrapped("; ".join(said), first="      ", indent="        ")
        out += ["", words["people"]]
        width = min(24, max(cli.text_width(self.shown_name(s, words)) for s in self.students))
        for s in self.students:
            name = cli.clipped(self.shown_name(s, words), width)
            pad = " " * (width - cli.text_width(name))
            score = phrase(words, "score", right=s["right"], asked=s["asked"])
            out.append(f"  {name}{pad}  {score:>12}  "
                       f"{words['complete' if s['complete'] else 'early']}")
        flagged = [(s, name, values) for s in self.students for name, values in s["flags"]]
        out.append("")
        if not flagged:
            out.append(words["no_flags"])
            return out
        out.append(words["flags"])
        for s, name, values in flagged:
            if name == "edited":
                (what, details), n = values["what"], values["n"]
                if "correct" in details:
                    details = {**details, "correct": words["right_word" if details["correct"]
                                                          else "wrong_word"]}
                why = words_.filled(words_.n_(*words["edited"], n),
                                    {"what": phrase(words, what, **details), "n": n})
            else:
                why = phrase(words, name, **values)
            line = phrase(words, "flag", student=self.shown_name(s, words),
                          file=cli.escaped(s["file"]), why=why)
            out += wrapped(line, first="  ", indent="      ")
        return out

    @staticmethod
    def shown_name(s, words):
        return cli.escaped(s["student"]) if s["student"] is not None else words["nobody"]


FLAG_NAMES = {"shown": "shown", "program": "program", "edited": "edited", "early_end": "early",
              "no_end": "early", "duplicate": "duplicate",
              "seed": None}  # a gradebook has the run's seed in its own field


def label(scenario, question, variant):
    return cli.escaped(f"{scenario} {question}" + ("" if variant == "-" else f" [{variant}]"))


def most(values):
    """The value most of the class has, None when none has one."""
    counted = Counter(v for v in values if v is not None)
    return counted.most_common(1)[0][0] if counted else None


def padded(text, width):
    return text + " " * (width - cli.text_width(text))


def most_common(counter):
    return sorted(counter.items(), key=lambda item: (-item[1], str(item[0])))
