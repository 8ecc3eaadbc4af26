"""What the load check finds of one installer: a Cause (a severity, a
message, the releases it holds for), gathered over a row's releases into one
cause per reason naming every release that shares it. Templates hold
{releases}, {s} (the verb's ending for one release) and {items}."""
import collections
import dataclasses

from kitlib.model.findings import ERROR, INFO, WARNING
from kitlib.model.windows import listed

REFUSES = "{releases} will not load it: "
_RANK = {ERROR: 0, WARNING: 1, INFO: 2}
SHOWN_ITEMS = 8


@dataclasses.dataclass(frozen=True)
class Cause:
    severity: str
    message: str
    releases: tuple = ()    # Wine's names of the releases it holds for, in the row's order
    # A machine type the row's Windows do not start: the preview lays a file
    # no Windows starts in its place, and shows it so itself.
    machine: bool = False


class Gathered:
    """Causes gathered over a row's releases, in the order given, named as
    names ({release: its name in messages}) says."""

    def __init__(self, order, names):
        self.order = {release: i for i, release in enumerate(order)}
        self.names = names
        self.found = collections.OrderedDict()    # (severity, template, item) -> [release]

    def add(self, severity, template, item, releases):
        if releases:
            self.found.setdefault((severity, template, item), []).extend(releases)

    def causes(self):
        """[Cause], errors first; items of one template and one set of
        releases in one message."""
        groups = collections.OrderedDict()
        for (severity, template, item), releases in self.found.items():
            group = tuple(sorted(set(releases), key=self.order.get))
            groups.setdefault((severity, template, group), []).append(item)
        out = [Cause(severity, self.message(template, group, items), group)
               for (severity, template, group), items in groups.items()]
        return sorted(out, key=lambda cause: _RANK[cause.severity])

    def message(self, template, releases, items):
        items = [item for item in items if item]
        shown = ", ".join(items[:SHOWN_ITEMS])
        if len(items) > SHOWN_ITEMS:
            shown += " and %d more" % (len(items) - SHOWN_ITEMS)
        return template.replace("{releases}", listed(releases, self.names)) \
            .replace("{s}", "" if len(releases) > 1 else "s") \
            .replace("{items}", shown)
