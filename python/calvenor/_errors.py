"""The exceptions and the warning category of the calvenor package."""

import re

_FILE_LINE = re.compile(r"(.+?):(\d+): ")
_FILE = re.compile(r"(.+?): ")


class LoadError(Exception):
    """The tests could not be loaded: a list or data file is missing or malformed.

    ``str(error)`` is the reader's message, which names the file, the line
    (from 1) and what was expected, e.g.
    ``"data/vornevResult/T3.txt:17: expected 5 numbers, found 3"``.
    ``file`` and ``line`` hold those two parts (``line`` is None for a
    message about a whole file, such as one that cannot be opened).
    A host-style Evaluator loads again on its next call.
    """

    def __init__(self, message):
        super().__init__(message)
        self.message = message
        match = _FILE_LINE.match(message)
        if match:
            self.file, self.line = match.group(1), int(match.group(2))
        else:
            match = _FILE.match(message)
            self.file, self.line = (match.group(1) if match else None), None


class EvaluationStopped(Exception):
    """An evaluation stopped at a test, so its error value is inf.

    Raised by ``Evaluator.residuals`` (there are no residuals for such an
    evaluation). ``test`` is the test's index in the list (from 0),
    ``test_name`` its name and ``reason`` ``"pressure not reached"`` (the
    compression run never reached the first measured pressure) or
    ``"void ratio not positive"``.
    """

    def __init__(self, message, test, test_name, reason):
        super().__init__(message)
        self.test = test
        self.test_name = test_name
        self.reason = reason


class CalibrationInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped a calibration; ``result`` holds the best parameters so far.

    A subclass of KeyboardInterrupt, so a script stops as it would on any
    Ctrl-C, while ``except calvenor.CalibrationInterrupted as e: e.result``
    keeps the best result found (``e.result.interrupted`` is True). The
    result was evaluated once more and, when reports were asked for, written.
    """

    def __init__(self, result):
        super().__init__("calibration interrupted; the best parameters so far are in .result")
        self.result = result


class ReportWarning(UserWarning):
    """A report file could not be written; the results of the call stand."""
