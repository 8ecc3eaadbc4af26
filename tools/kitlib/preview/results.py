"""One row's result: the row run, what Wine saw of the launcher (wine.Run)
and the copy of the kit it ran (stand_ins.Layout); and what follows from
them: which of the distribution's files started, why none did, the verdict."""
import dataclasses

from kitlib.model import verdicts, windows


@dataclasses.dataclass(frozen=True)
class Result:
    row: object         # tables.Row
    run: object         # wine.Run
    layout: object      # stand_ins.Layout

    def started(self):
        """(the distribution's file, its bitness) for each start of the run."""
        out = []
        for launch in self.run.launches:
            slot = self.layout.slot_of(launch.relative)
            out.append((slot.found if slot else launch.relative, launch.bits))
        return out

    def why_none(self):
        """Why no installer started, in the table's words ("" when the boxes say it)."""
        if verdicts.UNKNOWN_BOX in self.run.boxes:
            return ""
        # The launcher does not say which path it failed to start; the
        # release tells, and on NT 6 the notice box.
        tried = windows.row_tried(self.run.machine.release, self.run.boxes)
        slot = self.layout.slots.get(tried.path) if tried else None
        return slot.why if slot is not None and slot.bits is None else ""

    def installer_text(self):
        """Which of the distribution's files started, and how, or why none did."""
        if self.run.problems:
            return "not judged: " + "; ".join(self.run.problems)
        starts = self.started()
        if starts:
            return " + ".join(f"{found} ({bits}-bit)" for found, bits in starts)
        why = self.why_none()
        return f"none ({why})" if why else "none"

    def judge(self, refusals=()):
        """(verdict, reason) of the row: see model.judge. refusals: what is
        known of installers that Windows will not load (model.Refusal)."""
        slots = map(self.layout.slot_of, (launch.relative for launch in self.run.launches))
        started_paths = [slot.expected for slot in slots if slot]
        return verdicts.judge(self.row.release, self.run.boxes, started_paths, self.run.problems, refusals)

    def verdict_text(self, refusals=()):
        verdict, reason = self.judge(refusals)
        return f"{verdict} ({reason})" if reason else verdict

    def arch_text(self):
        return self.row.machine.describe_arch() + (" (modelled)" if self.row.modelled else "")
