"""What a check finds: a Finding (a path of the kit, a severity, a message),
the three severities, and the one text form every caller prints (the
check's table, ship's step lines, the report)."""
import dataclasses

ERROR, WARNING, INFO = "error", "warning", "info"
SEVERITIES = (ERROR, WARNING, INFO)


@dataclasses.dataclass(frozen=True)
class Finding:
    path: str           # as the launcher names it, backslashes: Autoinst\winxp\instxp.exe, or "."
    severity: str       # one of SEVERITIES
    message: str

    def __post_init__(self):
        if self.severity not in SEVERITIES:
            raise ValueError(f"{self.severity!r} is not a severity: {', '.join(SEVERITIES)}")

    def as_dict(self):
        return {"path": self.path, "severity": self.severity, "message": self.message}


def severity_counts(findings):
    """How many findings there are of each severity, in SEVERITIES' order."""
    return {severity: sum(f.severity == severity for f in findings) for severity in SEVERITIES}


def errors_in(findings):
    return [finding for finding in findings if finding.severity == ERROR]


def format_text(findings):
    """The findings as a table, one line per finding, and a line of counts."""
    if not findings:
        return "No findings: the distribution looks right."
    width = max(len("Path"), *(len(finding.path) for finding in findings))
    lines = ["%-8s %-*s %s" % ("Severity", width, "Path", "Finding"),
             "%-8s %-*s %s" % ("-" * 8, width, "-" * width, "-" * 7)]
    lines += ["%-8s %-*s %s" % (finding.severity, width, finding.path, finding.message)
              for finding in findings]
    lines.append("%d error(s), %d warning(s), %d info" % tuple(severity_counts(findings).values()))
    return "\n".join(lines)
