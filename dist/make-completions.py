#!/usr/bin/env python3
"""Writes the bash, zsh and fish completions of tresmo-cli from the program's own help texts.

    make-completions.py TRESMO_CLI OUT_DIR

The commands, their options (and which take a value, with the choices CLI11 prints as
TEXT:{a,b}) and their positionals are read from `TRESMO_CLI [COMMAND...] --help`, so a new
command or option is completed without a change here. What a positional completes is decided by
its name: an archive (ARCHIVE, or a positional described as "The archive ...") completes *.trsm
files, PATH completes the paths stored in that archive one folder at a time (through
`tresmo-cli -a ARCHIVE ls FOLDER`), a choice its choices, anything else file names. An archive
the program finds by itself when it is left out ("found": -a, $TRESMO_ARCHIVE or the archive
watching the current folder) may be followed by the command's own words in its place; the
completion scripts tell the two apart as the program does.
"""
import re
import subprocess
import sys
from pathlib import Path

PROG = "tresmo-cli"


class Option:
    def __init__(self, names, value, choices, desc):
        self.names, self.value, self.choices, self.desc = names, value, choices, desc

    @property
    def kind(self):
        """What the option's value completes: choice, archive, dir, none (free text) or flag."""
        if not self.value:
            return "flag"
        if self.choices:
            return "choice"
        if "--archive" in self.names:
            return "archive"
        return "dir" if self.desc.startswith("The folder") else "none"


class Command:
    def __init__(self, words, summary):
        self.words, self.summary = words, summary
        self.options, self.positionals, self.commands = [], [], []

    @property
    def key(self):
        return " ".join([PROG] + self.words)


def sections(text):
    """The help text's indented blocks by heading ("Options", "Positionals", "Subcommands")
    as lists of (left column, description); a description CLI11 wraps onto the next line
    joins its entry."""
    out, heading = {}, None
    for line in text.splitlines():
        if re.match(r"^\S.*:$", line):
            heading = line[:-1]
            out[heading] = []
        elif not line.strip():
            heading = None
        elif heading and line.startswith("  ") and line[2] != " ":
            parts = re.split(r"\s{2,}", line[2:].rstrip(), maxsplit=1)
            out[heading].append([parts[0], parts[1] if len(parts) > 1 else ""])
        elif heading and out[heading]:
            entry = out[heading][-1]
            entry[1] = (entry[1] + " " + line.strip()).strip()
    return out


def split_left(left):
    """"--changed TEXT:{today,week} Excludes: --at" -> (["--changed"], True, ["today","week"])."""
    tokens = left.split()
    names = tokens[0].split(",")
    value = len(tokens) > 1 and re.match(r"^[A-Z]+\b", tokens[1]) is not None
    choices = []
    m = re.search(r"\{([^}]*)\}", left)
    if m:
        choices = m.group(1).split(",")
    return names, value, choices


def read_command(cli, words, summary):
    text = subprocess.run([cli, *words, "--help"], capture_output=True, text=True,
                          check=True).stdout
    cmd = Command(words, summary)
    parts = sections(text)
    for left, desc in parts.get("Options", []):
        names, value, choices = split_left(left)
        cmd.options.append(Option(names, value, choices, desc))
    for left, desc in parts.get("Positionals", []):
        names, _, choices = split_left(left)
        cmd.positionals.append((names[0], choices, desc))
    for name, sub_summary in parts.get("Subcommands", []):
        if not words and name == "help":
            # `help [COMMAND]` has no help of its own; it takes any other command's name.
            cmd.commands.append(Command([name], sub_summary))
            continue
        cmd.commands.append(read_command(cli, words + [name], sub_summary))
    return cmd


def positional_kind(name, choices, desc):
    if choices:
        return "choice:" + ",".join(choices)
    if "found from the current folder" in desc:
        return "found"
    if name == "ARCHIVE" or desc.startswith("The archive"):
        return "archive"
    return "path" if name == "PATH" else "file"


def all_commands(cmd):
    yield cmd
    for sub in cmd.commands:
        yield from all_commands(sub)


def sh_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


# ---- bash ----

def bash(root):
    rows = {"cmds": [], "vals": [], "opts": [], "pos": [], "choice": []}
    for c in all_commands(root):
        k = sh_quote(c.key)
        rows["cmds"].append(f"[{k}]={sh_quote(' '.join(s.words[-1] for s in c.commands))}")
        opts = [n for o in c.options for n in o.names]
        rows["opts"].append(f"[{k}]={sh_quote(' '.join(opts))}")
        vals = [f"{n}={o.kind}" for o in c.options if o.value for n in o.names]
        rows["vals"].append(f"[{k}]={sh_quote(' '.join(vals))}")
        kinds = [positional_kind(*p) for p in c.positionals]
        rows["pos"].append(f"[{k}]={sh_quote(' '.join(kinds))}")
        for o in c.options:
            for n in o.names:
                if o.choices:
                    rows["choice"].append(f"[{sh_quote(c.key + ' ' + n)}]={sh_quote(' '.join(o.choices))}")
    tables = "\n".join(f"declare -gA _tresmo_cli_{name}=({' '.join(r)})" for name, r in rows.items())
    return BASH_HEAD + tables + "\n" + Path(__file__).with_name("completion.bash").read_text()


BASH_HEAD = """\
# bash completion for tresmo-cli, written from its help texts at build time.
# The command tree: subcommands, options, options that take a value (=what the value
# completes) and what each positional completes.
"""


# ---- zsh ----

def zsh_text(text):
    return text.replace("\\", "\\\\").replace("[", "(").replace("]", ")").replace(":", "\\:")


def zsh_action(kind, choices):
    return {"choice": f"({' '.join(choices)})", "archive": "_tresmo_cli_archives",
            "dir": "_files -/", "none": " ", "path": "->path", "file": "_files"}[kind]


def zsh(root):
    out = ["#compdef tresmo-cli",
           "# zsh completion for tresmo-cli, written from its help texts at build time.", ""]
    for c in all_commands(root):
        fn = "_tresmo_cli" + "".join("_" + w.replace("-", "_") for w in c.words)
        entries = []
        for o in c.options:
            group = "(" + " ".join(o.names) + ")"
            for n in o.names:
                entry = f"{group}{n}" + ("=" if o.value and n.startswith("--") else "")
                entry += f"[{zsh_text(o.desc)}]"
                if o.value:
                    entry += f":{n.lstrip('-')}:{zsh_action(o.kind, o.choices)}"
                entries.append(sh_quote(entry))
        if c.commands:
            # (-): an option after the command is the command's, not this level's.
            entries += ["'(-)1:command:->command'", "'(-)*::argument:->argument'"]
        kinds = [positional_kind(*p) for p in c.positionals]
        # Which word is the archive is known only from the words typed before: the positionals
        # of such a command go to one function that decides.
        found = kinds[:1] == ["found"]
        for i, (name, choices, desc) in enumerate(c.positionals, 1):
            action = f"->pos{i}" if found else zsh_action(kinds[i - 1].split(":")[0], choices)
            entries.append(sh_quote(f"{i}:{name.lower()}:{action}"))
        body = [f"{fn}() {{", "  local curcontext=$curcontext state state_descr line ret=1",
                "  local _tresmo_cli_prog=$words[1]" if not c.words else "",
                "  typeset -A opt_args",
                "  _arguments -C -s : \\\n    " + " \\\n    ".join(entries) + " && ret=0"]
        if not c.words:
            # The subcommands' own opt_args do not hold an -a typed before the command.
            body.append("  local _tresmo_cli_archive=${opt_args[-a]:-$opt_args[--archive]}")
        if c.commands:
            described = " ".join(sh_quote(s.words[-1] + ":" + s.summary.replace(":", "\\:"))
                                 for s in c.commands)
            body += ["  case $state in",
                     f"    command) local -a cmds=({described})",
                     "      _describe -t commands command cmds && ret=0 ;;",
                     "    argument) curcontext=${curcontext%:*:*}:" + PROG + "-$words[1]:",
                     "      (( $+functions[" + fn + "_$words[1]:gs/-/_/] )) && " + fn +
                     "_$words[1]:gs/-/_/ && ret=0 ;;",
                     "  esac"]
        elif found:
            body += ['  [[ $state == pos<-> ]] && _tresmo_cli_positional ${state#pos} '
                     '"${opt_args[-a]:-${opt_args[--archive]:-$_tresmo_cli_archive}}" "$line[1]" '
                     + " ".join(kinds) + " && ret=0"]
        elif "path" in kinds:
            archive_at = next((i for i, p in enumerate(c.positionals, 1)
                               if positional_kind(*p) == "archive"), 1)
            body += ['  [[ $state == path ]] && _tresmo_cli_stored '
                     f'"${{opt_args[-a]:-${{opt_args[--archive]:-$line[{archive_at}]}}}}" && ret=0']
        body += ["  return ret", "}"]
        out += [line for line in body if line] + [""]
    return "\n".join(out) + Path(__file__).with_name("completion.zsh").read_text()


# ---- fish ----

def fish_quote(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def fish(root):
    out = ["# fish completion for tresmo-cli, written from its help texts at build time.", "",
           "function __tresmo_cli_table --argument-names what key",
           "    switch $what/$key"]
    for c in all_commands(root):
        subs = " ".join(s.words[-1] for s in c.commands)
        vals = " ".join(n for o in c.options if o.value for n in o.names)
        kinds = " ".join(positional_kind(*p) for p in c.positionals)
        for what, value in (("cmds", subs), ("vals", vals), ("pos", kinds)):
            if value:
                out.append(f"        case {fish_quote(what + '/' + c.key)}\n"
                           f"            printf '%s\\n' {fish_quote(value)}")
    out += ["    end", "end", "", "complete -c tresmo-cli -f"]
    for c in all_commands(root):
        for s in c.commands:
            cond = fish_quote(f"__tresmo_cli_wants {sh_quote(c.key)} command")
            out.append(f"complete -c tresmo-cli -n {cond} -a {s.words[-1]} -d {fish_quote(s.summary)}")
        cond = fish_quote(f"__tresmo_cli_wants {sh_quote(c.key)}")
        for o in c.options:
            names = " ".join(("-l " + n[2:]) if n.startswith("--") else ("-s " + n[1:])
                             for n in o.names)
            value = {"flag": "", "choice": f"-x -a {fish_quote(' '.join(o.choices))}",
                     "archive": "-x -a '(__tresmo_cli_archives)'",
                     "dir": "-x -a '(__fish_complete_directories)'", "none": "-x"}[o.kind]
            out.append(f"complete -c tresmo-cli -n {cond} {names} {value} -d {fish_quote(o.desc)}")
    return "\n".join(out) + "\n" + Path(__file__).with_name("completion.fish").read_text()


def main():
    cli, out = sys.argv[1], Path(sys.argv[2])
    root = read_command(cli, [], "")
    for c in root.commands:
        if c.words == ["help"]:
            c.positionals = [("COMMAND", [o.words[-1] for o in root.commands if o is not c], "")]
    # The program's own options (--quiet, --wait) stand after a command as well.
    shared = [o for o in root.options if not {"--help", "--version"} & set(o.names)]
    for c in all_commands(root):
        if c is not root:
            c.options += shared
    out.mkdir(parents=True, exist_ok=True)
    (out / "tresmo-cli").write_text(bash(root))
    (out / "_tresmo-cli").write_text(zsh(root))
    (out / "tresmo-cli.fish").write_text(fish(root))


if __name__ == "__main__":
    main()
