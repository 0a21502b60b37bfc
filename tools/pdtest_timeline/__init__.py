"""pdTest-timeline's parts: its words and the rows a run gives (rows), the text drawing and the
events (text), and the picture (svg). The command runs pdTest under strace and writes one of
them; the reader of the trace is pdtest_trace, shared with pdTest-lab."""
