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

WORDS = {
    "en": {
        "seed": "Seed {seed}: {command} asks these scenarios in this order again.",
        "student": "Seed {seed}, student {student}: {command} asks the same scenarios, in the "
                   "same order, with the same parameters, again.",
        "scenario": "Scenario {number} of {total}: {id}, {about}",
        "by_hand": "By hand: {command}",
        "bash": "(Run it in bash: ${PIPESTATUS[0]} is the exit status of the first "
                "command of the pipe, where $? gives the last one's.)",
        "by_hand_kill": "(the lab sends the signal once the child is in its pause)",
        "again": "Expected {form}; try again.",
        "bad": "“{answer}” is not {form}: counted as wrong.",
        "running": "Running it under strace...",
        "missed": "The child was never seen in its pause, so no signal was sent.",
        "output": "Its output ({lines}):",
        "no_output": "Its output: nothing.",
        "errors": "Its standard error ({lines}):",
        "graded": "{id}: you said {answer}; the run: {actual}. {verdict}",
        "shown": "{id}: {actual}.",
        "right": "Right.",
        "wrong": "Wrong.",
        "score": "Score: {right} of {asked}.",
        "stopped": "End of input: score so far {right} of {asked}.",
        "interrupted": "interrupted by {signal}; score so far {right} of {asked}",
    },
    "ko": {
        "seed": "시드 {seed}: {command} 명령은 같은 시나리오를 같은 순서로 다시 묻습니다.",
        "student": "시드 {seed}, 학생 {student}: {command} 명령은 같은 시나리오를 같은 순서와 "
                   "같은 매개변수로 다시 묻습니다.",
        "scenario": "시나리오 {number}/{total}: {id}, {about}",
        "by_hand": "직접 실행하려면: {command}",
        "bash": "(bash에서 실행하세요. ${PIPESTATUS[0]}에는 파이프의 첫 명령, $?에는 "
                "마지막 명령의 종료 상태가 들어 있습니다.)",
        "by_hand_kill": "(실험실은 자식이 쉬는 것을 확인한 뒤 시그널을 보냅니다)",
        "again": "{form:으로/로} 답하세요.",
        "bad": "“{answer}”: {form:이/가} 아니므로 틀린 것으로 칩니다.",
        "running": "strace로 실행하는 중...",
        "missed": "자식이 쉬는 모습을 보지 못해 시그널을 보내지 않았습니다.",
        "output": "출력({lines}):",
        "no_output": "출력: 없음.",
        "errors": "표준 오류({lines}):",
        "graded": "{id}: 예측 {answer}, 실제 {actual}. {verdict}",
        "shown": "{id}: {actual}.",
        "right": "맞았습니다.",
        "wrong": "틀렸습니다.",
        "score": "{asked}문제 중 {right}문제를 맞혔습니다.",
        "stopped": "입력이 끝났습니다. 지금까지 {asked}문제 중 {right}문제를 맞혔습니다.",
        "interrupted": "{signal} 시그널로 중단됨, 지금까지 {asked}문제 중 {right}문제를 맞힘",
    },
}


def words_of(lang):
    """Every word the session says, the questions' and the explanations' among them."""
    return {**explain.WORDS[lang], **QUESTIONS[lang], **WORDS[lang]}


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
    return words["choice"][answer] if question in CHOICES else str(answer)


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
        text = line.strip()
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
        say(phrase(words, "by_hand", command=command))  # whole, to be copied
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
