"""Reading the options out of `korvane ... --help` and out of docs/korvane.1.

The man page is read as groff source: a command's part of it is its SYNOPSIS
line, its entry under COMMANDS, its subsection under OPTIONS (`.SS "NAME"`)
and the EXAMPLES lines that run it; a subsection whose title contains
"every command" belongs to all of them. Options in the rest of the page
(DESCRIPTION, EXIT STATUS, FILES, ENVIRONMENT) must belong to some command.
"""

import re
import subprocess

# an option as written: -k, --fix-bases; not the dash inside 32-bit or NAME-c01
OPTION = re.compile(r"(?<![\w\-./{}])(--?[A-Za-z][A-Za-z0-9]*(?:-[A-Za-z0-9]+)*)")
EVERY_COMMAND = "every command"
TOP = "korvane"  # the options of `korvane` itself, before any command


def help_text(exe, *command):
    done = subprocess.run([exe, *command, "--help"], capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise AssertionError(f"korvane {' '.join(command)} --help exited {done.returncode}: {done.stderr}")
    return done.stdout


def help_options(text):
    """Options of a CLI11 help text: the names before the description of each
    line indented by two spaces under a heading ("Options:", or a group's)."""
    names = set()
    for line in text.splitlines():
        m = re.match(r"^ {2}(-\S+)", line)
        if m:
            names.update(n for n in m.group(1).split(",") if n.startswith("-"))
    return names


def help_commands(text):
    """The subcommands a CLI11 help text lists under "Subcommands:"."""
    commands, inside = [], False
    for line in text.splitlines():
        if not line.strip():
            continue
        if not line.startswith(" "):
            inside = line.rstrip().rstrip(":") == "Subcommands"
            continue
        m = re.match(r"^ {2}([a-z][\w-]*)\b", line)
        if inside and m:
            commands.append(m.group(1))
    return commands


def _unescape(s):
    s = re.sub(r"\\f(\[[^\]]*\]|\(..|.)", "", s)  # font changes
    s = s.replace("\\-", "-").replace("\\e", "\\").replace("\\ ", " ").replace("\\~", " ")
    s = s.replace("\\&", "").replace("\\|", "").replace("\\^", "").replace("\\c", "")
    s = re.sub(r"\\\(..", " ", s)  # named characters
    return s


def _arguments(rest):
    """A macro line's arguments, quotes honoured."""
    args, cur, quoted, any_ = [], "", False, False
    for ch in rest:
        if ch == '"':
            quoted, any_ = not quoted, True
        elif ch in " \t" and not quoted:
            if cur or any_:
                args.append(cur)
            cur, any_ = "", False
        else:
            cur += ch
    if cur or any_:
        args.append(cur)
    return args


def groff_lines(source):
    """(request, text) per line: request is the macro name ("TP", "SS", ...) or
    "" for text; text is what prints, fonts dropped, alternating macros
    (.BI, .BR, .IR ...) joined without spaces as groff prints them."""
    out = []
    for raw in source.splitlines():
        raw = re.sub(r'\\".*$', "", raw)  # a comment runs to the end of the line
        if raw.strip() in (".", ""):
            continue
        if raw.startswith("."):
            m = re.match(r"^\.([A-Za-z]+)\s*(.*)$", raw)
            if not m:
                continue
            req, args = m.group(1), _arguments(m.group(2))
            if req in ("BI", "BR", "IB", "IR", "RB", "RI"):
                text = "".join(args)
            else:
                text = " ".join(args)
            out.append((req, _unescape(text)))
        else:
            out.append(("", _unescape(raw)))
    return out


def options_in(text):
    return set(OPTION.findall(text))


class ManPage:
    """The options each command's parts of the page name, and those the rest
    of the page names, as {part name: set}."""

    def __init__(self, source):
        self.sections = {}  # "NAME" -> [(request, text)]
        self.subsections = {}  # (section, title) -> [(request, text)]
        section = subsection = None
        for req, text in groff_lines(source):
            if req == "SH":
                section, subsection = text.strip(), None
                self.sections.setdefault(section, [])
                continue
            if req == "SS":
                subsection = text.strip()
                self.subsections.setdefault((section, subsection), [])
                continue
            if section is not None:
                self.sections[section].append((req, text))
            if subsection is not None:
                self.subsections[(section, subsection)].append((req, text))

    def option_titles(self):
        """The OPTIONS subsections' titles."""
        return [t for (s, t) in self.subsections if s == "OPTIONS"]

    def listed(self, command, tags_only=False):
        """{option: subsection title} of the OPTIONS subsection named after the
        command and of the one for every command: the options named anywhere
        in them, or with tags_only those an entry is headed by (the line after
        .TP)."""
        names = {}
        for (s, title), lines in self.subsections.items():
            if s != "OPTIONS" or not (title == command or EVERY_COMMAND in title.lower()):
                continue
            after_tp = False
            for req, text in lines:
                if not tags_only or after_tp:
                    for o in options_in(text):
                        names.setdefault(o, title)
                after_tp = req == "TP"
        return names

    def synopsis(self):
        """{command: options} of the SYNOPSIS, one usage per .br."""
        usages, cur = [], []
        for req, text in self.sections.get("SYNOPSIS", []):
            if req == "br":
                usages.append(" ".join(cur))
                cur = []
            else:
                cur.append(text)
        usages.append(" ".join(cur))
        found = {}
        for u in usages:
            words = u.split()
            if not words or words[0] != TOP:
                continue
            command = words[1] if len(words) > 1 and not words[1].startswith(("-", "[")) else TOP
            found.setdefault(command, set()).update(options_in(" ".join(words[1:])))
        return found

    def entries(self):
        """{command: options} of the COMMANDS section: each entry starts at a
        .TP outside .RS/.RE, its tag's first word naming the command."""
        found, depth, command, tag_next = {}, 0, None, False
        for req, text in self.sections.get("COMMANDS", []):
            if req == "RS":
                depth += 1
                continue
            if req == "RE":
                depth -= 1
                continue
            if req == "TP" and depth == 0:
                tag_next = True
                continue
            if tag_next:
                command, tag_next = text.split()[0] if text.split() else None, False
                found.setdefault(command, set())
            if command:
                found[command] |= options_in(text)
        return found

    def examples(self):
        """{command: options} of the EXAMPLES lines that start `korvane COMMAND`."""
        found = {}
        for _, text in self.sections.get("EXAMPLES", []):
            m = re.match(r"^\s*korvane\s+([a-z][\w-]*)(.*)$", text)
            if m:
                found.setdefault(m.group(1), set()).update(options_in(m.group(2)))
        return found

    def elsewhere(self):
        """Options named outside SYNOPSIS, COMMANDS, OPTIONS and EXAMPLES."""
        names = set()
        for section, lines in self.sections.items():
            if section in ("SYNOPSIS", "COMMANDS", "OPTIONS", "EXAMPLES"):
                continue
            for _, text in lines:
                names |= options_in(text)
        return names


def drift(man, helps):
    """Every disagreement between the page and the help texts, as messages
    naming the command and the option. helps: {command: options}, TOP for
    `korvane` itself."""
    problems = []
    commands = [c for c in helps if c != TOP]

    def where(command):
        return f'OPTIONS .SS "{command}"'

    for command, options in helps.items():
        if command != TOP and command not in man.option_titles():
            problems.append(f'korvane {command}: the man page has no OPTIONS .SS "{command}"')
        listed, tagged = man.listed(command), man.listed(command, tags_only=True)
        name = "korvane" if command == TOP else f"korvane {command}"
        for o in sorted(options - tagged.keys()):
            problems.append(f"{name}: {o} is in --help but heads no entry of the man page's {where(command)}")
        for o in sorted(listed.keys() - options):
            problems.append(f"{name}: the man page's {where(listed[o])} names {o}, which --help does not list")

    for part, found in (("SYNOPSIS", man.synopsis()), ("COMMANDS", man.entries()), ("EXAMPLES", man.examples())):
        for command, options in found.items():
            if command not in helps:
                problems.append(f"the man page's {part} names a command korvane lacks: {command}")
                continue
            name = "korvane" if command == TOP else f"korvane {command}"
            for o in sorted(options - helps[command]):
                problems.append(f"{name}: the man page's {part} names {o}, which --help does not list")

    for c in commands:
        if c not in man.entries():
            problems.append(f"korvane {c}: the man page's COMMANDS section has no entry for it")

    known = set().union(*helps.values()) if helps else set()
    for o in sorted(man.elsewhere() - known):
        problems.append(f"the man page names {o}, which no command's --help lists")
    return problems


def read_helps(exe):
    """{command: options} from `korvane --help` and each command's --help."""
    top = help_text(exe)
    helps = {TOP: help_options(top)}
    for c in help_commands(top):
        helps[c] = help_options(help_text(exe, c))
    return helps
