"""Making and shipping a distribution: laying it out (new), branding the
launcher (brand), signing it (sign), the CD image (image), and ship's
settings file (settings), pipeline and steps."""
