"""Reading Windows programs, with pefile, without running them: the facts
of the headers (headers.read) and what the loader reads (imports.read)."""
from kitlib.pe.headers import MACHINES, NotAProgram, PeInfo
from kitlib.pe.headers import read as read_headers
from kitlib.pe.imports import Module
from kitlib.pe.imports import read as read_imports
