"""The verdict on one run of the launcher on one Windows: what the boxes,
the starts and what is known of the installers make of it."""
import dataclasses

STARTS = "starts"             # the launcher starts the distribution's installer there
FAULT = "fault"               # the distribution fails that Windows, and its maker can fix it
NOT_SERVED = "not-served"     # the launcher serves no installer there, by design
RUN_PROBLEM = "run-problem"   # the run itself could not be judged
VERDICTS = (STARTS, FAULT, NOT_SERVED, RUN_PROBLEM)

UNKNOWN_BOX = "Unknow OS version"
FAILED_BOX = "Exec fail"


@dataclasses.dataclass(frozen=True)
class Refusal:
    """A finding of the check that Windows will not start an installer on
    some releases (its headers, its manifest, its imports, its runtime),
    although Wine starts it. A machine type is none: the preview lays what
    each kind of Windows starts, and shows that itself."""
    path: str               # the launcher's path of the installer
    releases: frozenset     # Wine's names of the releases that refuse it
    reason: str


def judge(release, boxes, started, problems=(), refusals=()):
    """(verdict, reason) for one run on release: the boxes the launcher
    showed, the launcher's paths of the installers that started, the run's
    problems, and the refusals known of the distribution's installers. The
    reason is said where a refusal turns a start into a fault."""
    if problems:
        return RUN_PROBLEM, ""
    if UNKNOWN_BOX in boxes:
        return NOT_SERVED, ""
    if FAILED_BOX in boxes:
        return FAULT, ""
    if not started:
        # No start and no failure box: nothing a launcher run ends with.
        return RUN_PROBLEM, ""
    for refusal in refusals:
        if release in refusal.releases and refusal.path in started:
            return FAULT, refusal.reason
    return STARTS, ""
