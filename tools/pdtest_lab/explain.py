"""Why each answer is what it is, in the times, counts and errors of the run just made."""

import pdtest_command as cli
import pdtest_trace as trace
from pdtest_lab.answers import FIRST, blocks, exit_status, pause_end, signal_number, zombies
from pdtest_lab.text import count, phrase, secs

WORDS = {
    "en": {
        "count_lines": ["{n} line", "{n} lines"],
        "count_writes": ["{n} write", "{n} writes"],
        "parent": "the parent",
        "both": "the child and the parent",
        "child": "the child",
        "Parent": "The parent",
        "Child": "The child",
        "lines_split": "{Child} wrote {child} and {parent} {parent_n}.",
        "lines_before": "{Parent} wrote {before} of its {all} before the fork.",
        "lines_before_all": "{Parent} wrote all {before} of its lines before the fork.",
        "lines_copied": "Both begin with the same {n}, printed before the fork and still in "
                        "the buffer that fork copied.",
        "lines_alone": "The fork failed with {error}, so one process wrote all {n}: there "
                       "was no child.",
        "failed": "{Who} lost {lines}: {writes} failed with {error}.",
        "failed_numbered": "{Who}'s write(2) number {numbers} failed with {error}: the {lines} "
                           "it carried are lost, with whatever that printf call had still to "
                           "print.",
        "killed_pause": "{Who} was killed by {signal} at {t} s, in its pause.",
        "killed_wait": "{Who} was killed by {signal} at {t} s, blocked in waitpid.",
        "killed": "{Who} was killed by {signal} at {t} s.",
        "address_copied": "Standard output was fully buffered, so at the fork the lines printed "
                          "before it were still in the buffer, and fork copied the buffer with "
                          "the rest of the memory. {Child}'s write at {tc} s and {parent}'s at "
                          "{tp} s both begin with them.",
        "address_early": "{Parent} wrote it at {t} s, before the fork: with line buffering "
                         "each line goes out as soon as it ends, so the buffer was empty when "
                         "fork copied it.",
        "address_alone": "Without a child nothing copied the buffer: the one process wrote it "
                         "once, {t} s before its fork failed.",
        "address_alone_after": "Without a child nothing copied the buffer: the one process "
                               "wrote it once, {t} s after its fork failed.",
        "address_lost": "No write that carried it got through.",
        "address_failed": "Each of the {writes} that carried it failed with {error}: {who} had "
                          "it in their buffers, and lost it with the rest.",
        "address_one": "The line reached the output once, in {who}'s write at {t} s.",
        "first_wait": "{Parent} waited in waitpid from the fork until {child} ended at {te} s; "
                      "waitpid returned at {tc} s, and only then did {parent} print its "
                      "block. The order comes from that wait, not from the child's pause "
                      "({pause} s here).",
        "first_second": "{Parent}'s first waitpid failed at once with {error}, but its "
                        "second, made before the rest of its block, waited until {child} ended "
                        "at {te} s and returned at {tc} s: the order still comes from a wait.",
        "first_nowait": "waitpid failed with {error} at once, so nothing held {parent} back: "
                        "it wrote its block at {tp} s, while {child} paused until {tw} s.",
        "first_orphan": "{Parent} was killed by {signal} at {t} s, still blocked in waitpid, "
                        "before printing its block; {child}, an orphan now, went on and wrote "
                        "its last line at {tc} s.",
        "first_none": "Neither block reached the output.",
        "first_times": "{Child}'s block reached the output at {tc} s, {parent}'s at {tp} s.",
        "near_both": "{answer} means both blocks, {owner}'s first; only {who}'s block "
                     "reached the output here, which is “one”.",
        "near_one": "“one” means that only one block reached the output; here both did.",
        "status_ok": "waitpid reported at {t} s that {child} had exited with status 0, "
                     "so {parent} exited with 0 too.",
        "status_signal": "{Parent} was killed by {signal} (signal {number}) at {t} s; a shell "
                         "reports a process killed by a signal as 128 + its number.",
        "status_fork": "fork failed with {error}; pdTest prints “Fork error” on "
                       "standard output, without the reason, and exits 1.",
        "status_write": "{Parent}'s write failed with {error}: pdTest checks its last flush "
                        "and exits 1 when output was lost.",
        "status_wait": "waitpid failed with {error}: a parent that cannot learn how its "
                       "child ended exits 1.",
        "status_child": "waitpid told {parent} at {t} s that {child} was killed by {signal}: "
                        "a run whose child died is no success, so pdTest exits 1.",
        "status_child_failed": "waitpid told {parent} at {t} s that {child} had exited with "
                               "status {status}: a run whose child failed is no success, so "
                               "pdTest exits 1.",
        "status_other": "pdTest's parent process exited with status {status}.",
        "stderr_line": "{Who} wrote “{text}”.",
        "stderr_each": "Each process reports its own failure.",
        "stderr_none": "Nothing that pdTest checks went wrong in a way it reports there.",
        "stderr_fork": "pdTest reports a failed fork on standard output, not on standard "
                       "error.",
        "stderr_sigpipe": "SIGPIPE was ignored, so a write to the pipe that nobody reads "
                          "failed with EPIPE instead of killing the writer.",
        "stderr_silent": "A process killed by a signal says nothing: {who} died of "
                         "{signal}.",
        "stderr_silent_both": "A process killed by a signal says nothing: the child died of "
                              "{child}, the parent of {parent}.",
        "stderr_quiet": "{Who} said nothing: it died of {signal}.",
        "stderr_reported": "{Parent} reported {child}'s death, then was itself killed by "
                           "{signal}{at}.",
        "stderr_then": "{Who} wrote that, then was itself killed by {signal}{at}.",
        "at_write": " at its own write to standard output",
        "writes_once": "The child's whole output, {bytes} bytes, went out in one write at "
                       "{t} s, as it exited: with full buffering the C library writes the "
                       "buffer only when it is full or at exit.",
        "writes_full": "Its buffer held {buffer} bytes, and the C library wrote it each time "
                       "it was full: {sizes} bytes, the last at {t} s as the child exited.",
        "writes_lines": "Line buffering wrote each line as soon as it ended: {before} before "
                        "its pause, which began at {ts} s, and {after} after it, at {tw} s.",
        "writes_many": "Writes and lines differ: {which}.",
        "writes_carried": "write number {number} carried {what}",
        "writes_none": "It wrote nothing to standard output.",
        "zombie": "{name} (process {pid}) exited at {te} s; pdTest waits only for the child "
                  "it forked and never collected it, so it was a zombie until {tp} s.",
        "zombie_pause": "The child's pause ended at {tw} s.",
        "zombie_running": "{name} (process {pid}) was still running then.",
        "zombie_none": "No process had exited uncollected when the child's pause ended; the "
                       "child's own time as a zombie came after its pause.",
    },
    "ko": {
        "count_lines": ["{n}줄", "{n}줄"],
        "count_writes": ["write {n}번", "write {n}번"],
        "parent": "부모",
        "child": "자식",
        "Parent": "부모",
        "Child": "자식",
        "both": "자식과 부모",
        "lines_split": "그중 {Child:이/가} {child}, {parent:이/가} {parent_n:을/를} 썼습니다.",
        "lines_before": "{Parent:은/는} {all}줄 가운데 {before}줄을 fork 전에 썼습니다.",
        "lines_before_all": "{Parent:은/는} {before}줄을 모두 fork 전에 썼습니다.",
        "lines_copied": "두 프로세스 모두 같은 {n:으로/로} 시작합니다. fork 전에 출력해 버퍼에 "
                        "남아 있다가 fork로 함께 복제된 줄입니다.",
        "lines_alone": "fork가 {error} 오류로 실패해 자식이 없으므로, 프로세스 하나가 "
                       "{n:을/를} 모두 썼습니다.",
        "failed": "{Who:은/는} {lines:을/를} 잃었습니다. {writes:이/가} {error} 오류로 "
                  "실패했습니다.",
        "failed_numbered": "{Who}의 {numbers}번째 write(2)가 {error} 오류로 실패했습니다. 그 "
                           "write가 싣고 있던 {lines:과/와} 같은 printf 호출이 아직 출력하지 "
                           "않은 나머지가 사라졌습니다.",
        "killed_pause": "{Who:은/는} 쉬는 동안 {t}초에 {signal} 시그널로 죽었습니다.",
        "killed_wait": "{Who:은/는} waitpid에서 대기하던 중 {t}초에 {signal} 시그널로 "
                       "죽었습니다.",
        "killed": "{Who:은/는} {t}초에 {signal} 시그널로 죽었습니다.",
        "address_copied": "표준 출력이 완전 버퍼링이라, fork 전에 출력한 줄이 fork 때까지 "
                          "버퍼에 남아 있었고, fork가 나머지 메모리와 함께 그 버퍼도 "
                          "복제했습니다. {Child:이/가} {tc}초에, {parent:이/가} {tp}초에 호출한 "
                          "write가 모두 그 줄로 시작합니다.",
        "address_early": "{Parent:이/가} fork 전인 {t}초에 이 줄을 썼습니다. 줄 단위 "
                         "버퍼링에서는 줄이 끝나는 즉시 내보내므로, fork가 복제할 때 버퍼는 "
                         "비어 있었습니다.",
        "address_alone": "자식이 없으니 버퍼를 복제한 것도 없습니다. 프로세스 하나가 fork에 "
                         "실패하기 {t}초 전에 한 번 썼습니다.",
        "address_alone_after": "자식이 없으니 버퍼를 복제한 것도 없습니다. 프로세스 하나가 "
                               "fork에 실패하고 {t}초 뒤에 한 번 썼습니다.",
        "address_lost": "이 줄을 실은 write가 하나도 성공하지 못했습니다.",
        "address_failed": "이 줄을 실은 {writes:이/가} 모두 {error} 오류로 실패했습니다. "
                          "{who}의 버퍼에 들어 있던 이 줄은 나머지 내용과 함께 사라졌습니다.",
        "address_one": "이 줄은 {who:이/가} {t}초에 호출한 write로 한 번만 나왔습니다.",
        "first_wait": "{Parent:은/는} fork 직후부터 {child:이/가} {te}초에 끝날 때까지 "
                      "waitpid에서 대기했고, waitpid가 {tc}초에 반환한 뒤에야 자기 블록을 "
                      "출력했습니다. 순서를 정하는 것은 이 대기이지, 자식이 쉬는 동안의 "
                      "길이(여기서는 {pause}초)가 아닙니다.",
        "first_second": "{Parent}의 첫 waitpid는 바로 {error} 오류로 실패했지만, 블록의 "
                        "나머지를 출력하기 전에 부른 두 번째 waitpid가 {child:이/가} {te}초에 "
                        "끝날 때까지 대기하고 {tc}초에 반환했습니다. 순서는 여전히 대기에서 "
                        "나옵니다.",
        "first_nowait": "waitpid가 바로 {error} 오류로 실패해 {parent:을/를} 붙잡아 두는 것이 "
                        "없었습니다. {Parent:은/는} {tp}초에 자기 블록을 썼고, {child:은/는} "
                        "{tw}초까지 쉬었습니다.",
        "first_orphan": "{Parent:은/는} 자기 블록을 출력하기 전, waitpid에서 대기하던 중 "
                        "{t}초에 {signal} 시그널로 죽었습니다. 고아가 된 {child:은/는} 계속 "
                        "실행해 {tc}초에 마지막 줄을 썼습니다.",
        "first_none": "어느 블록도 출력에 나오지 않았습니다.",
        "first_times": "{Child}의 블록은 {tc}초에, {parent}의 블록은 {tp}초에 출력에 "
                       "나왔습니다.",
        "near_both": "{answer:은/는} 두 블록이 모두 나오고 {owner}의 블록이 먼저라는 뜻입니다. "
                     "여기서는 {who}의 블록만 나왔으므로 “하나”입니다.",
        "near_one": "“하나”는 한 블록만 나온다는 뜻입니다. 여기서는 두 블록이 모두 나왔습니다.",
        "status_ok": "{t}초에 waitpid가 {child}의 종료 상태 0을 알려 주었으므로, "
                     "{parent}도 종료 상태 0으로 종료했습니다.",
        "status_signal": "{Parent:이/가} {t}초에 {signal} 시그널(번호 {number})로 "
                         "죽었습니다. 셸은 시그널로 죽은 프로세스의 종료 상태를 128 + 시그널 "
                         "번호로 알려 줍니다.",
        "status_fork": "fork가 {error} 오류로 실패했습니다. pdTest는 이유는 빼고 "
                       "“Fork error”만 표준 출력에 출력하고 종료 상태 1로 종료합니다.",
        "status_write": "{Parent}의 write가 {error} 오류로 실패했습니다. pdTest는 마지막으로 "
                        "버퍼를 비울 때 출력이 사라졌는지 확인하고, 사라졌으면 종료 상태 1로 "
                        "종료합니다.",
        "status_wait": "waitpid가 {error} 오류로 실패했습니다. 자식이 어떻게 끝났는지 알 수 "
                       "없는 부모는 종료 상태 1로 종료합니다.",
        "status_child": "{t}초에 waitpid가 {parent}에게 {child:이/가} {signal} 시그널로 "
                        "죽었다고 알려 주었습니다. 자식이 죽은 실행은 성공이 아니므로 pdTest는 "
                        "종료 상태 1로 종료합니다.",
        "status_child_failed": "{t}초에 waitpid가 {parent}에게 {child}의 종료(종료 상태 "
                               "{status})를 알려 주었습니다. 자식이 실패한 실행은 성공이 "
                               "아니므로 pdTest는 종료 상태 1로 종료합니다.",
        "status_other": "부모 쪽 pdTest가 종료했고, 종료 상태는 {status}입니다.",
        "stderr_line": "{Who:이/가} 쓴 줄: “{text}”.",
        "stderr_each": "두 프로세스가 저마다 자기 오류를 알립니다.",
        "stderr_none": "pdTest가 확인하는 것 가운데 표준 오류로 알릴 오류는 없었습니다.",
        "stderr_fork": "pdTest는 fork 실패를 표준 오류가 아니라 표준 출력에 알립니다.",
        "stderr_sigpipe": "SIGPIPE를 무시했으므로, 아무도 읽지 않는 파이프에 쓴 write는 "
                          "프로세스를 죽이는 대신 EPIPE 오류로 실패했습니다.",
        "stderr_silent": "시그널로 죽은 프로세스는 아무 말도 남기지 못합니다. {who:은/는} "
                         "{signal} 시그널로 죽었습니다.",
        "stderr_silent_both": "시그널로 죽은 프로세스는 아무 말도 남기지 못합니다. 자식은 "
                              "{child}, 부모는 {parent} 시그널로 죽었습니다.",
        "stderr_quiet": "{Who:은/는} 아무 말도 남기지 못하고 {signal} 시그널로 죽었습니다.",
        "stderr_reported": "{Parent:은/는} {child:이/가} 죽었다고 알린 뒤, {at}자신도 "
                           "{signal} 시그널로 죽었습니다.",
        "stderr_then": "{Who:은/는} 그 줄을 쓴 뒤, {at}자신도 {signal} 시그널로 죽었습니다.",
        "at_write": "표준 출력에 write를 호출하다가 ",
        "writes_once": "자식의 {bytes}바이트 출력 전체가 종료할 때인 {t}초에 write 한 번으로 "
                       "나갔습니다. 완전 버퍼링에서 C 라이브러리는 버퍼가 가득 차거나 종료할 "
                       "때에만 버퍼를 비웁니다.",
        "writes_full": "버퍼가 {buffer}바이트라서 C 라이브러리는 버퍼가 가득 찰 때마다 "
                       "비웠습니다. 각각 {sizes}바이트였고, 마지막은 자식이 종료할 때인 "
                       "{t}초였습니다.",
        "writes_lines": "줄 단위 버퍼링이라 줄이 끝날 때마다 바로 내보냈습니다. 자식은 {ts}초부터 "
                        "쉬었는데, 그 전에 {before}, 다 쉬고 난 {tw}초에 {after:을/를} "
                        "호출했습니다.",
        "writes_many": "write 횟수와 줄 수가 다른 까닭: {which}.",
        "writes_carried": "{number}번째 write가 {what:을/를} 실었습니다",
        "writes_none": "표준 출력에 아무것도 쓰지 않았습니다.",
        "zombie": "{name} 프로세스({pid})는 {te}초에 종료했지만, pdTest는 fork로 만든 "
                  "자식만 기다리므로 이 프로세스를 회수하지 않았습니다. 그래서 {tp}초까지 "
                  "좀비였습니다.",
        "zombie_pause": "자식은 {tw}초에 다 쉬었습니다.",
        "zombie_running": "{name} 프로세스({pid})는 그때 아직 실행 중이었습니다.",
        "zombie_none": "자식이 다 쉬었을 때 종료한 뒤 회수되지 않은 프로세스는 없었습니다. "
                       "자식 자신은 쉬고 난 뒤에야 좀비가 되었습니다.",
    },
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
                out.append(phrase(words, "failed_numbered", who=who, error=errors(failed),
                                  numbers=numbers, lines=lines))
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
        return [phrase(words, "address_failed", who=who, error=errors(calls),
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
                              what=f"“{cli.clipped(cli.escaped(data), 24)}”"))
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
