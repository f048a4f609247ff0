"""The man page lists exactly the options of every command's --help.

KORVANE_EXE names the built program and KORVANE_MAN the page (tests/docs/
CMakeLists.txt sets both)."""

import os
import pathlib

import pytest

import man_page as mp

EXE = os.environ.get("KORVANE_EXE", "build/korvane")
MAN = pathlib.Path(os.environ.get("KORVANE_MAN", "docs/korvane.1"))


@pytest.fixture(scope="module")
def helps():
    return mp.read_helps(EXE)


@pytest.fixture(scope="module")
def page():
    return mp.ManPage(MAN.read_text(encoding="utf-8"))


def test_every_command_and_option_of_help_matches_the_man_page(helps, page):
    assert len(helps) > 1, "korvane --help lists no commands"
    problems = mp.drift(page, helps)
    assert not problems, "docs/korvane.1 and --help disagree:\n  " + "\n  ".join(problems)


# The reading itself, on small texts whose answers are known.

HELP = """\
Split a sound file into K components, each written as a sound
Usage: korvane decompose [OPTIONS] IN...

Positionals:
  IN TEXT ... REQUIRED        Sound files (WAV, AIFF, FLAC, OGG, ...) or folders of them to decompose

Options:
  -h,--help                   Print this help message and exit
  -k,--components INT [4]     Number of components (1-64)
  --fix-bases                 Keep the given bases fixed; learn only activations, as in
                              --not-an-option on a wrapped line
  --channels TEXT:{sum,stack} Stereo analysed as the channels' sum or stacked
Subcommands:
  decompose                   Split a sound file
  demo                        Synthesise a loop
"""

PAGE = r""".TH KORVANE 1 "December 2026" "korvane" "User Commands"
.SH SYNOPSIS
.B korvane
.B decompose
.I FILE
.RB [ \-k
.IR N ]
.br
.B korvane
.RB [ \-\-version | \-\-help ]
.SH COMMANDS
.TP
.BI decompose " FILE"
Writes
.IB NAME \-c01.wav
and, with
\fB\-\-channels\fR stack, 32\-bit files.
.RS
.TP
.B new
a statement, not a command
.RE
.TP
.B demo
A loop.
.SH OPTIONS
.SS "Options of every command"
.TP
.BR \-h ", " \-\-help
Prints the options.
.SS "korvane"
.TP
.B \-\-version
The version.
.SS "decompose"
.TP
.BI \-k ", " \-\-components " N"
Components.
.TP
.B \-\-fix\-bases
Kept.
.TP
.BI \-\-channels " sum\fR|\fPstack"
Stereo.
.SS "demo"
.SH ENVIRONMENT
Used when
.B \-\-channels
is not given.
.SH EXAMPLES
.B korvane decompose loop.wav \-k 6 \-\-channels sum
.br
.B parallel \-S host1 \-\-transferfile {} \-\-return {/.}\-out
"""

HELPS = {
    "korvane": {"-h", "--help", "--version"},
    "decompose": {"-h", "--help", "-k", "--components", "--fix-bases", "--channels"},
    "demo": {"-h", "--help"},
}


def test_help_options_are_read_from_option_lines_only():
    assert mp.help_options(HELP) == {"-h", "--help", "-k", "--components", "--fix-bases", "--channels"}
    assert mp.help_commands(HELP) == ["decompose", "demo"]


def test_groff_forms_are_read_as_they_print():
    def printed(line):
        return mp.groff_lines(line)[0][1]

    assert printed(r'.BI \-\-bases " FILE\fR[\fP,FILE...\fR]\fP"') == "--bases FILE[,FILE...]"
    assert printed(r'.BR \-h ", " \-\-help') == "-h, --help"
    # joined without a space: a file name, not an option
    assert mp.options_in(printed(r".IB NAME \-group.wav")) == set()
    assert mp.options_in(printed(r'.B "  \-\-return {/.}\-out \e"')) == {"--return"}
    assert mp.options_in(printed(r"text with \fB\-\-tol\fR and 1e\-4, 24\-bit and non\-negative")) == {"--tol"}
    assert mp.options_in(printed(r".RB [ \-\-version | \-\-help ]")) == {"--version", "--help"}


def test_a_page_that_agrees_has_no_drift():
    assert mp.drift(mp.ManPage(PAGE), HELPS) == []


def test_drift_names_the_command_and_the_option():
    # an option added to --help, one the page keeps after it went, one in
    # the wrong command's part, a command the page lacks
    helps = {k: set(v) for k, v in HELPS.items()}
    helps["decompose"] |= {"--start"}
    helps["decompose"] -= {"--fix-bases"}
    helps["remix"] = {"-h", "--help"}
    page = PAGE.replace('.SS "demo"', '.SS "demo"\n.TP\n.B \\-\\-plugins\nFolders.')
    problems = "\n".join(mp.drift(mp.ManPage(page), helps))
    assert "korvane decompose: --start is in --help but heads no entry of the man page's OPTIONS .SS \"decompose\"" in problems
    assert "korvane decompose: the man page's OPTIONS .SS \"decompose\" names --fix-bases" in problems
    assert "korvane demo: the man page's OPTIONS .SS \"demo\" names --plugins" in problems
    assert 'korvane remix: the man page has no OPTIONS .SS "remix"' in problems
    assert "korvane remix: --help is in --help but heads no entry" not in problems  # the common entry serves
    assert "korvane remix: the man page's COMMANDS section has no entry for it" in problems


def test_an_option_named_only_in_another_entry_has_no_entry():
    page = PAGE.replace(".TP\n.B \\-\\-fix\\-bases\nKept.\n", "").replace(
        "Components.\n", "Components, some kept with\n.BR \\-\\-fix\\-bases .\n"
    )
    assert "Kept." not in page and "kept with\n.BR \\-\\-fix" in page
    problems = mp.drift(mp.ManPage(page), HELPS)
    assert problems == ['korvane decompose: --fix-bases is in --help but heads no entry of the man page\'s OPTIONS .SS "decompose"']


def test_stale_synopsis_entries_examples_and_prose_are_named():
    page = (
        PAGE.replace(".IR N ]", ".IR N ]\n.RB [ \\-\\-plugins ]")
        .replace("A loop.", "A loop, as \\-\\-jobs would.")
        .replace("\\-k 6 \\-\\-channels sum", "\\-k 6 \\-\\-seed 1")
        .replace(".B \\-\\-channels\nis not given.", ".B \\-\\-memory\nis not given.")
    )
    problems = "\n".join(mp.drift(mp.ManPage(page), HELPS))
    assert "korvane decompose: the man page's SYNOPSIS names --plugins" in problems
    assert "korvane demo: the man page's COMMANDS names --jobs" in problems
    assert "korvane decompose: the man page's EXAMPLES names --seed" in problems
    assert "the man page names --memory, which no command's --help lists" in problems
    # parallel's own options in an example are not korvane's
    assert "--transferfile" not in problems
