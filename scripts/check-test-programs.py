#!/usr/bin/env python3
"""Checks that every program the tests, the scripts and the benchmark run
comes from a Debian package that a script of the project installs, or from
an essential or required-priority package, so that the test command also
passes on a fresh machine. Names each program and its package otherwise.

Programs are found where they are run: the first word of a subprocess's
argument list and shutil.which() in Python, the command words in shell
scripts. --without PKG leaves a package out of the installed list (to see
the check fail). Status 0 when all is well, 1 otherwise.
"""
import argparse
import ast
import os
import re
import shlex
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["tests", "scripts", "bench"]
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
SUBPROCESS_CALLS = {"run", "Popen", "check_output", "check_call", "call"}
# Words that stand first in a shell command without being a program.
SHELL_WORDS = set(subprocess.run(["bash", "-c", "compgen -b; compgen -k"], capture_output=True,
                                 text=True).stdout.split()) | {"sudo"}
NAME = re.compile(r"^(/usr)?(/s?bin/)?[a-z][a-z0-9_.+-]*$")


def files(suffix):
    for folder in FOLDERS:
        for top, _, names in os.walk(os.path.join(ROOT, folder)):
            for name in sorted(names):
                if name.endswith(suffix):
                    yield os.path.join(top, name)
    if suffix == ".sh":
        yield os.path.join(ROOT, ".ci", "run")


def first_word(node):
    """The program a subprocess argument list starts with, when it is written out."""
    while isinstance(node, ast.BinOp):
        node = node.left
    if isinstance(node, (ast.List, ast.Tuple)) and node.elts:
        node = node.elts[0]
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    return None


def python_programs(path, text=None):
    if text is None:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    tree = ast.parse(text, path)
    for node in ast.walk(tree):
        # A program that a test hands to another Python (python3 -c TEXT).
        if isinstance(node, ast.Constant) and isinstance(node.value, str) and \
                "subprocess" in node.value:
            try:
                yield from python_programs(path, node.value)
            except SyntaxError:
                pass
        if not isinstance(node, ast.Call) or not node.args:
            continue
        name = getattr(node.func, "attr", getattr(node.func, "id", ""))
        if name in SUBPROCESS_CALLS or name == "which":
            word = first_word(node.args[0])
            if word and NAME.match(word):
                yield word


def shell_programs(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    functions = set(re.findall(r"^\s*([A-Za-z_][A-Za-z0-9_-]*)\s*\(\)", text, re.M))
    for line in text.splitlines():
        line = line.split(" #", 1)[0].strip()
        if line.startswith("#"):
            continue
        # Command words: at the start, after a separator or $( or a keyword.
        for part in re.split(r"\|\|?|&&|;|\$\(|`|\bthen\b|\bdo\b|\belse\b|\bexec\b|\btimeout \S+|\bxargs\b|!", line):
            try:
                words = shlex.split(part, comments=True)
            except ValueError:
                words = part.split()
            words = [w for w in words if not re.match(r"^[A-Za-z_][A-Za-z0-9_]*=", w)]
            if words and NAME.match(words[0]) and words[0] not in SHELL_WORDS | functions:
                yield words[0]


def path_forms(path):
    """The path as named, resolved, and with or without /usr (a merged /usr)."""
    forms = []
    for candidate in (path, os.path.realpath(path)):
        forms += [candidate, candidate[4:] if candidate.startswith("/usr/") else "/usr" + candidate]
    return forms


def owners(paths):
    """The installed package owning each path, in one query."""
    found = subprocess.run(["dpkg-query", "-S"] + sorted(set(paths)), capture_output=True,
                           text=True)
    owner = {}
    for line in found.stdout.splitlines():
        packages, _, path = line.partition(": ")
        owner[path] = packages.split(",")[0].split(":")[0].strip()
    return owner


def base_packages(packages):
    """Of the packages, the essential and the required-priority ones."""
    found = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Essential} ${Priority}\n"]
                           + sorted(packages), capture_output=True, text=True)
    return {line.split()[0] for line in found.stdout.splitlines()
            if {"yes", "required"} & set(line.split()[1:])}


def with_dependencies(packages):
    """The packages and what they depend on, as installed here."""
    if not packages:
        return set()
    found = subprocess.run(["apt-cache", "depends", "--recurse", "--installed", "--no-recommends",
                            "--no-suggests", "--no-conflicts", "--no-breaks", "--no-replaces",
                            "--no-enhances"] + sorted(packages), capture_output=True, text=True)
    return set(packages) | {line.split(":")[0] for line in found.stdout.splitlines()
                            if line and not line[0].isspace()}


def installed_by_scripts():
    """Every word on a line that calls install-deps.sh (with its continuation
    lines) or in a PACKAGES=(...) list of a script."""
    packages = set()
    for path in files(".sh"):
        if not os.path.exists(path):
            continue
        with open(path, encoding="utf-8") as f:
            text = f.read().replace("\\\n", " ")
        for line in text.splitlines():
            if "install-deps.sh" in line or re.match(r"\s*[A-Z_]*PACKAGES=\(", line):
                packages.update(re.findall(r"(?<![\w$/-])[a-z0-9][a-z0-9.+-]+", line))
    return packages


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--without", action="append", default=[])
    args = parser.parse_args()
    listed = with_dependencies(installed_by_scripts() - set(args.without))
    programs = {}
    for path in files(".py"):
        for program in python_programs(path):
            programs.setdefault(program, os.path.relpath(path, ROOT))
    # A word in a command position of a shell script that names no program
    # here may be text, not a command: only programs found are checked.
    for path in files(".sh"):
        if os.path.exists(path):
            for program in shell_programs(path):
                if program.startswith("/") or shutil_which(program):
                    programs.setdefault(program, os.path.relpath(path, ROOT))
    problems = []
    paths = {}
    for program, where in sorted(programs.items()):
        path = program if program.startswith("/") else shutil_which(program)
        if path is None or not os.path.exists(path):
            problems.append("%s (run by %s) is not installed, and no script of the project "
                            "installs it" % (program, where))
        else:
            paths[program] = path
    owner = owners(form for path in paths.values() for form in path_forms(path))
    package = {program: next((owner[f] for f in path_forms(path) if f in owner), None)
               for program, path in paths.items()}
    base = base_packages({p for p in package.values() if p})
    for program, path in sorted(paths.items()):
        if package[program] not in listed | base:
            problems.append("%s (run by %s) comes from the package %s, which no script of the "
                            "project installs" % (program, programs[program], package[program] or
                                                  "(none: not from a Debian package)"))
    for problem in problems:
        print(problem)
    if not problems:
        print("every program the tests, scripts and benchmark run (%d) is installed by a script "
              "of the project" % len(programs))
    return 1 if problems else 0


def shutil_which(program):
    import shutil
    return shutil.which(program, path=SYSTEM_PATH)


if __name__ == "__main__":
    sys.exit(main())
