"""The distribution maker's toolkit behind tools/kit, by the parts of its
design: the model of Windows and of a kit (model), reading Windows programs
(pe), the checks that run nothing (checks), the Wine machinery (wine), the
preview under Wine (preview), its report (report), making and shipping a
distribution (shipping) and writing what they make (outputs); the front door
(cli) and its commands (commands)."""
