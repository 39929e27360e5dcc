"""Writes the Debian package's generated documents into DESTDIR/usr/share:
man/man1/vorn-collector.1.gz, the manual page made from the `--help` of every
command, and doc/vorn-collector/changelog.gz. Both are compressed without a
file name or time and dated by the commit (as make_release.py dates the
archives), so that two builds of one commit give the same bytes."""

import argparse
import datetime
import email.utils
import gzip
import pathlib
import re
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from make_release import source_date  # noqa: E402

NAME = "vorn-collector"


def help_text(binary, words):
    done = subprocess.run([NAME, *words, "--help"], executable=binary, capture_output=True,
                          text=True, check=True)
    return done.stdout.rstrip("\n")


def commands(binary, words=()):
    """Every command, (words, help), depth first, from the Subcommands of each help."""
    text = help_text(binary, list(words))
    found = [(tuple(words), text)]
    listing = text.split("\nSubcommands:\n", 1)[1:]
    for name in re.findall(r"^  (\S+)", listing[0], re.M) if listing else []:
        found += commands(binary, (*words, name))
    return found


def roff(text):
    lines = text.replace("\\", "\\e").replace("-", "\\-").split("\n")
    return "\n".join("\\&" + line if line.startswith((".", "'")) else line for line in lines)


def section(text, title):
    """The first column of each entry of a --help section: '--db TEXT=...', 'ID INT ... REQUIRED'."""
    part = text.split(f"\n{title}:\n", 1)[1:]
    lines = part[0].split("\n\n", 1)[0].split("\n") if part else []
    return [re.split(r"\s{2,}", line.strip())[0] for line in lines if re.match(r"  \S", line)]


def synopsis(words, text):
    """One command's synopsis line: every option with its value, then the arguments."""
    parts = [f"\\fB{roff(' '.join((NAME, *words)))}\\fR"]
    for column in section(text, "Options"):
        # The value's name (ADDR:PORT, ID=NAME, FILE|DIR), without a default
        # (=...) or the name of a check that CLI11 appends (N:POSITIVE).
        option, value = re.match(r"(?:-\w,)?(--[\w-]+)(?: ([A-Z][A-Z|-]*(?:[:=][A-Z][A-Z-]*)?))?",
                                 column).groups()
        value = value and re.sub(r":(POSITIVE|NONNEGATIVE|INT)$", "", value)
        if option == "--help":
            continue
        shown = f"\\fB{roff(option)}\\fR" + (f" \\fI{roff(value)}\\fR" if value else "")
        parts.append(f"[{shown}]" + ("..." if " ..." in column else ""))
    for column in section(text, "Positionals"):
        name = f"\\fI{roff(column.split()[0])}\\fR" + ("..." if " ..." in column else "")
        parts.append(name if "REQUIRED" in column else f"[{name}]")
    return [" ".join(parts), ".br"]


def manual(binary, version, day):
    found = commands(binary)
    summary = found[0][1].split("\n", 1)[0].split(": ", 1)[-1]
    page = [f'.TH VORN\\-COLLECTOR 1 "{day}" "{NAME} {version}" "User Commands"',
            ".SH NAME", f"{NAME} \\- {roff(summary)}", ".SH SYNOPSIS"]
    page += [".nh", ".ad l"]  # long lines of options: no hyphenation, ragged right
    for words, text in found[1:]:
        if "\nSubcommands:\n" not in text:
            page += synopsis(words, text)
    page += [".ad b", ".hy"]
    page += [".SH DESCRIPTION", roff(summary[:1].upper() + summary[1:]) + ".",
             "Every command takes \\fB\\-\\-db\\fR \\fIURL\\fR, the database it works on",
             "(see ENVIRONMENT for a command without it).",
             ".SH COMMANDS"]
    for words, text in found[1:]:
        if "\nSubcommands:\n" not in text:
            page += [f'.SS "{NAME} {" ".join(words)}"', ".nf", roff(text), ".fi"]
    page += [".SH ENVIRONMENT", ".TP", "VORN_COLLECTOR_DB",
             "the database of a command without \\fB\\-\\-db\\fR. When it is not set, the one",
             "that /etc/default/vorn\\-collector names; without either, \\fBserve\\fR and",
             "\\fBplayer add\\fR use sqlite:vorn\\-collector.db in the working directory, and",
             "the other commands refuse to make a database there.", ".TP", "VORN_COLLECTOR_OPTS",
             "the options of the service's \\fBserve\\fR, split at every space; \\fBflags list\\fR",
             "takes the servers' names (\\fB\\-\\-server\\-name\\fR) from it, \\fBplayer add\\fR the",
             "public URL (\\fB\\-\\-public\\-url\\fR) of the player's page", ".TP",
             "VORN_SERVER_NAMES",
             "the servers' names as ID=NAME separated by ;, spaces allowed, for \\fBserve\\fR",
             "and \\fBflags list\\fR. Both are read from /etc/default/vorn\\-collector when",
             "not set."]
    page += [".SH FILES", ".TP", "/etc/default/vorn\\-collector",
             "the service's database (VORN_COLLECTOR_DB) and the options of its \\fBserve\\fR",
             "(VORN_COLLECTOR_OPTS) and the servers' names (VORN_SERVER_NAMES)", ".TP",
             "/usr/share/vorn\\-collector/sqlite\\-to\\-postgres.sh",
             "copies the SQLite database into PostgreSQL and checks the copy", ".TP",
             "/var/lib/vorn\\-collector", "the service's state: its SQLite database", ".SH SEE ALSO",
             "/usr/share/doc/vorn\\-collector/operators.md,",
             "/usr/share/doc/vorn\\-collector/players.md"]
    return "\n".join(page) + "\n"


def changelog(version, epoch, maintainer):
    stamp = email.utils.formatdate(epoch, usegmt=False).replace("-0000", "+0000")
    return (f"{NAME} ({version}) stable; urgency=medium\n\n"
            f"  * Release {version} of the VORN Davida collector service.\n\n"
            f" -- {maintainer}  {stamp}\n")


def write_gz(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0,
                                                compresslevel=9) as out:
        out.write(text.encode())
    path.chmod(0o644)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for option in ("--collector", "--version", "--source", "--maintainer", "--share"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    epoch = source_date(args.source)
    day = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%d")
    share = pathlib.Path(args.share)
    write_gz(share / "man" / "man1" / f"{NAME}.1.gz", manual(args.collector, args.version, day))
    write_gz(share / "doc" / NAME / "changelog.gz", changelog(args.version, epoch, args.maintainer))


if __name__ == "__main__":
    main()
