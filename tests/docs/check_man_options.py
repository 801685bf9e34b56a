#!/usr/bin/env python3
"""Keeps the manual page and the read-me from drifting away from -h.

    check_man_options.py MANPAGE [--readme FILE] -- PROGRAM [ARGS...]

Runs PROGRAM ARGS (the program's help, e.g. `hiltpush -h -s`) and compares
the options its help text lists with the options of the manual page's
OPTIONS section: the same options, each with or without a value alike, and
the forms that one help line gives together (`-p port  --port=port`) named
together by one entry of the page; a value that may be left out is written
`--trace[=file]` in the help and `.RI \-\-trace[= file ]` on the page. With
--readme, every option line of the help must also appear in FILE unchanged,
and FILE must hold no option line that the help lacks.
Exits 1 and names each difference when they disagree.
"""
import re
import shlex
import subprocess
import sys

VALUE = "VALUE"   # an option's argument, whatever the document calls it
OPERAND = "FILE"  # the positional file name


def help_option_lines(text):
    """The option lines of the help: two blanks, then '-' or '<'."""
    return [l for l in text.splitlines() if re.match(r"  [-<]", l) and " -- " in l]


def help_groups(lines):
    """The options of each help line, one set per line."""
    return [help_options([line]) for line in lines]


def help_options(lines):
    options = set()
    for line in lines:
        column = line.split(" -- ", 1)[0].split()
        i = 0
        while i < len(column):
            word = column[i]
            if word.startswith("<"):
                options.add(OPERAND)
            elif word.startswith("-"):
                if "[=" in word:  # a value that may be left out: --trace[=file]
                    options.add(word.split("[=", 1)[0] + "[=" + VALUE + "]")
                elif "=" in word:
                    options.add(word.split("=", 1)[0] + "=" + VALUE)
                elif i + 1 < len(column) and not column[i + 1].startswith("-"):
                    options.add(word + " " + VALUE)
                    i += 1
                else:
                    options.add(word)
            else:
                raise SystemExit("help line not understood: %r" % line)
            i += 1
    return options


# Font alternation of the man(7) macros: which arguments are italic.
ITALIC = {
    ".B": lambda i: False, ".I": lambda i: True,
    ".BR": lambda i: False, ".RB": lambda i: False,
    ".BI": lambda i: i % 2 == 1, ".IB": lambda i: i % 2 == 0,
    ".IR": lambda i: i % 2 == 0, ".RI": lambda i: i % 2 == 1,
}


def roff_text(arg):
    return arg.replace("\\-", "-").replace("\\&", "").replace("\\(aq", "'")


def tag_options(line):
    """The options named by one .TP tag line, e.g. `.BR \\-h ", " \\-\\-help`."""
    macro, _, rest = line.partition(" ")
    if macro not in ITALIC:
        raise SystemExit("man page: tag not understood: %r" % line)
    args = shlex.split(roff_text(rest), posix=True) if rest else []
    # One text with the italic stretches (the values) marked.
    text = ""
    for i, arg in enumerate(args):
        text += ("\x01" + arg + "\x02") if ITALIC[macro](i) else arg
    options = set()
    for entry in text.split(","):
        entry = entry.strip()
        if not entry:
            continue
        if entry.startswith("\x01"):
            options.add(OPERAND)
            continue
        name = entry.split("\x01", 1)[0].strip()
        if not name.startswith("-"):
            raise SystemExit("man page: tag entry not understood: %r" % line)
        if "\x01" not in entry:
            options.add(name)
        elif name.endswith("[="):
            options.add(name + VALUE + "]")
        elif name.endswith("="):
            options.add(name + VALUE)
        else:
            options.add(name + " " + VALUE)
    return options


def man_entries(path):
    """The options of each tagged entry of the OPTIONS section, one set each."""
    lines = open(path, encoding="utf-8").read().splitlines()
    entries = []
    in_options = False
    for i, line in enumerate(lines):
        if line.startswith(".SH"):
            in_options = line.split(None, 1)[1].strip('"') == "OPTIONS"
        elif in_options and line.startswith(".TP") and i + 1 < len(lines):
            entries.append(tag_options(lines[i + 1]))
    if not any(entries):
        raise SystemExit("man page %s: no OPTIONS section with tagged entries" % path)
    return entries


def main(argv):
    if "--" not in argv:
        raise SystemExit(__doc__)
    cut = argv.index("--")
    own, command = argv[:cut], argv[cut + 1:]
    readme = None
    if "--readme" in own:
        at = own.index("--readme")
        readme = own[at + 1]
        del own[at:at + 2]
    (man_page,) = own

    run = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=60)
    help_lines = help_option_lines(run.stdout.decode("latin-1"))
    want = help_options(help_lines)
    if not want:
        raise SystemExit("the help text lists no options:\n" + run.stdout.decode("latin-1"))

    problems = []
    entries = man_entries(man_page)
    have = set().union(*entries)
    for option in sorted(want - have):
        problems.append("in the help, not in the manual page: %s" % option)
    for option in sorted(have - want):
        problems.append("in the manual page, not in the help: %s" % option)
    for group in help_groups(help_lines):
        if group <= have and group not in entries:
            problems.append("the manual page has no entry naming these together: %s"
                            % ", ".join(sorted(group)))

    if readme:
        readme_lines = help_option_lines(open(readme, encoding="utf-8").read().replace("\r\n", "\n"))
        for line in help_lines:
            if line not in readme_lines:
                problems.append("help line missing from %s: %r" % (readme, line))
        for line in readme_lines:
            if line not in help_lines:
                problems.append("line of %s not in the help: %r" % (readme, line))

    for p in problems:
        print(p)
    if problems:
        return 1
    print("manual page%s and help agree on %d options" % (" and read-me" if readme else "", len(want)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
