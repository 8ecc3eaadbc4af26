"""The subcommands of tools/kit, one module each, named after it. Each gives
HELP (its line in `kit --help`), a docstring (its --help text),
add_arguments(parser) and run(args) -> exit code; cli.py turns what they
raise into one line and an exit code."""
