"""pdTest-lab's parts: the scenarios and their parameters (scenarios), running one (running),
the run's answers (answers) and why (explain), the words it shares and its terminal manners
(text), asking and grading a learner (session), the report (report), and the class's summary
(summary) with its chart (chart). The reader of strace's output is pdtest_trace, shared with
pdTest-timeline.
"""
