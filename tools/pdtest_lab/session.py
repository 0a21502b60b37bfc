"""A lab session: for each scenario, show the command, ask its questions, run it, grade each
answer by the run, say why, and record it in the report."""

import signal
import sys

import pdtest_command as cli
import pdtest_trace as trace
from pdtest_lab import explain
from pdtest_lab.answers import ANSWERS, parsed
from pdtest_lab.running import run_scenario
from pdtest_lab.scenarios import CHOICES, QUESTIONS, about, command_of, kind
from pdtest_lab.text import count, phrase, say, tell, wrapped, write_out
from pdtest_words import N_, Words, p_

WORDS = {
    "seed": N_("Seed {seed}: {command} asks these scenarios in this order again."),
    "student": N_("Seed {seed}, student {student}: {command} asks the same scenarios, in the "
                  "same order, with the same parameters, again."),
    "scenario": N_("Scenario {number} of {total}: {id}, {about}"),
    "by_hand": N_("By hand: {command}"),
    "bash": N_("(Run it in bash: ${PIPESTATUS[0]} is the exit status of the first command of "
               "the pipe, where $? gives the last one's.)"),
    "by_hand_kill": N_("(the lab sends the signal once the child is in its pause)"),
    "again": N_("Expected {form}; try again."),
    "bad": N_("“{answer}” is not {form}: counted as wrong."),
    "running": N_("Running it under strace..."),
    "missed": N_("The child was never seen in its pause, so no signal was sent."),
    "output": N_("Its output ({lines}):"),
    "no_output": N_("Its output: nothing."),
    "errors": N_("Its standard error ({lines}):"),
    "graded": N_("{id}: you said {answer}; the run: {actual}. {verdict}"),
    "shown": N_("{id}: {actual}."),
    "right": N_("Right."),
    "wrong": N_("Wrong."),
    "score": N_("Score: {right} of {asked}."),
    "stopped": N_("End of input: score so far {right} of {asked}."),
    "interrupted": N_("interrupted by {signal}; score so far {right} of {asked}"),
}


def words_of(lang):
    """Every word the session says, the questions' and the explanations' among them."""
    return Words({**explain.WORDS, **QUESTIONS, **WORDS})


class EndOfInput(Exception):
    pass


# The question and prompt being asked on a terminal, to show again when the lab is continued
# after Ctrl-Z; None when no one is typing.
asking = None


def continued(number, frame):
    if asking is not None:
        try:
            write_out(asking)
        except (OSError, cli.Failure):
            pass


def expected(question, text, words):
    """What the answer should have been, said for the text that was not one."""
    if question not in CHOICES and text.isascii() and text.isdigit():
        return words["expect"]["long"]
    return words["expect"][kind(question)]


def shown(words, question, answer, well_formed=True):
    """An answer as a graded line shows it: a choice in the lab's language, a line that was no
    answer escaped, quoted and cut short."""
    if not well_formed:
        return f"“{cli.clipped(cli.escaped(answer), 40)}”"
    return p_("answer", CHOICES[question][answer][0]) if question in CHOICES else str(answer)


def ask(question, words, number, total):
    """Reads one answer: on a terminal until it is one; from elsewhere, once."""
    global asking
    form = words["form"][kind(question)]
    lines = wrapped(f"[{number}/{total}] {question}: {words['ask'][question]}", first="")
    if cli.text_width(f"{lines[-1]} ({form})") <= 80:
        lines[-1] += f" ({form})"
    else:
        lines += wrapped(f"({form})")
    for line in lines:
        say(line)
    typed = sys.stdin.isatty()
    while True:
        write_out("> ")
        asking = "\n".join(lines) + "\n> " if typed else None
        line = sys.stdin.readline()  # a signal that ends the lab leaves asking set
        asking = None
        if not line:
            say()
            raise EndOfInput
        text = line.strip().removeprefix("\ufeff")  # as an editor may start a file of answers
        if not typed:
            say(cli.clipped(cli.escaped(text), 78))
        answer = parsed(question, text)
        if answer is not None:
            return answer, True
        if typed:
            tell(phrase(words, "again", form=expected(question, text, words)))
            continue
        tell(phrase(words, "bad", answer=cli.clipped(cli.escaped(text), 40),
                    form=expected(question, text, words)))
        return text, False


class Lab:
    def __init__(self, options, report):
        self.options = options
        self.words = words_of(options.lang)
        self.report = report
        self.right = self.asked = self.answered = 0

    def play(self, scenario, number, total, program):
        words = self.words
        tell(phrase(words, "scenario", number=number, total=total, id=scenario.ident,
                    about=about(scenario, self.options.lang)))
        command = command_of(scenario, program)
        say(phrase(words, "by_hand", command=cli.command_shown(command)))  # whole, to be copied
        if "PIPESTATUS" in command:
            tell(words["bash"])
        if scenario.kill:
            tell(words["by_hand_kill"])
        say()
        answers, ended = [], False
        if not self.options.show:
            try:
                for index, question in enumerate(scenario.questions, 1):
                    answers.append(ask(question, words, index, len(scenario.questions)))
                    self.answered += 1
                say()
            except EndOfInput:
                # The answers given are graded by a run all the same; then the lab stops.
                if not answers:
                    raise
                ended = True
        say(words["running"])
        result = run_scenario(scenario, program)
        if scenario.kill and not result.signalled:
            tell(words["missed"])
        self.show_output(result)
        for index, question in enumerate(scenario.questions):
            if not self.options.show and index >= len(answers):
                break
            actual = ANSWERS[question](result)
            why = explain.WHY[question](result, words)
            if self.options.show:
                say(phrase(words, "shown", id=question, actual=shown(words, question, actual)))
                self.record(scenario, question, None, actual, None)
            else:
                answer, well_formed = answers[index]
                correct = well_formed and answer == actual
                self.asked += 1
                self.right += correct
                said = shown(words, question, answer, well_formed)
                tell(phrase(words, "graded", id=question, answer=said,
                            actual=shown(words, question, actual),
                            verdict=words["right" if correct else "wrong"]))
                self.record(scenario, question, answer, actual, correct)
                if not correct and well_formed:
                    why = explain.near(result, words, question, answer, actual, said) + why
            for line in wrapped(" ".join(why)):
                say(line)
        say()
        if ended:
            raise EndOfInput

    def record(self, scenario, question, answer, actual, correct):
        if self.report is not None:
            self.report.question(scenario.ident, question, answer, actual, correct,
                                 scenario.params)

    def show_output(self, result):
        words = self.words
        for key, data in (("output", result.out), ("errors", result.err)):
            lines = trace.lines_of(data)
            if not lines and key == "output":
                say(words["no_output"])
            if lines:
                say(phrase(words, key, lines=count(words, "count_lines", len(lines))))
                for line in lines:
                    say("  " + cli.escaped(line))
        say()


def on_continue():
    signal.signal(signal.SIGCONT, continued)
