"""The preview: the kit's launcher under Wine on each Windows release, with
recording stand-ins in place of its installers. What it runs (tables), the
running (run), each row's result (results), the stand-ins (stand_ins), the
sample kit (sample_kit) and the text it prints (printing)."""
from kitlib.preview.running import run
from kitlib.preview.sample_kit import KitError, make_kit
from kitlib.preview.stand_ins import LayoutError, lay, survey
from kitlib.preview.tables import MATRIX_FROM, Preview, Request
from kitlib.preview.printing import problems, text, verdicts
