"""The Wine machinery's failures, as opposed to the launcher's behaviour."""


class WineError(Exception):
    """A failure of the machinery (not of the launcher), told to the user as is."""


class WineUnavailable(WineError):
    """This machine cannot run what the session needs at all (tests skip)."""
