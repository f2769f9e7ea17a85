#!/usr/bin/env python3
"""Checks the shell commands of README.md and docs/*.md against the programs.

Every ```sh block must follow one of two marks (docs/testing.md):
  <!-- runnable -->         the block runs as one bash script, in a private
                            temporary folder, and must exit 0 within 120 s;
  <!-- runnable: flags -->  the block needs root, a running daemon, the
                            network or long times: only its flags are checked.
In both, every option a command gives one of this project's programs or
scripts must appear in that program's --help (a subcommand's options in the
subcommand's --help), and every build/native/ path and every cmake --build
--target must exist in the build.
The README's layout must list every top-level folder of the repository.

usage: doc_commands.py SOURCE_DIR BUILD_DIR NAME=PROGRAM...
"""
import glob
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MARK = re.compile(r"^<!-- runnable(: flags)? -->$")
SEPARATORS = {";", "&", "&&", "|", "||", "(", ")"}
PREFIXES = {"sudo", "exec", "nice", "time", "env"}
RUN_SECONDS = 120

source, build = sys.argv[1], sys.argv[2]
programs = dict(arg.split("=", 1) for arg in sys.argv[3:])
failures = []
helps = {}


def blocks(path, shown):
    """Yields (line number, flags only, commands) for each marked sh block."""
    lines = open(path, encoding="utf-8").read().split("\n")
    previous, i = "", 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("```"):
            start, body = i + 1, []  # the fence's line number (lines count from 1)
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i])
                i += 1
            if line.strip() == "```sh":
                mark = MARK.match(previous)
                if not mark:
                    failures.append(f"{shown}:{start}: sh block without a runnable mark")
                else:
                    # The line number of the block's first command.
                    yield start + 1, bool(mark.group(1)), "\n".join(body).replace("\\\n", " ")
        if line.strip():
            previous = line.strip()
        i += 1


def help_text(argv):
    key = tuple(argv)
    if key not in helps:
        try:
            out = subprocess.run(argv + ["--help"], capture_output=True, text=True, timeout=30,
                                 stdin=subprocess.DEVNULL)
            helps[key] = (out.returncode, out.stdout + out.stderr)
        except (OSError, subprocess.TimeoutExpired) as e:
            helps[key] = (1, str(e))
    return helps[key]


def resolve(word):
    """(kind, path) of a command word: a program or script to check, missing, or other."""
    name = os.path.basename(word)
    if word.startswith("scripts/"):
        script = os.path.join(source, word)
        if not os.path.isfile(script):
            return "missing", script
        if name == "run.sh":  # its arguments go to ktzmon-host
            return "program", programs["ktzmon-host"]
        return "script", script
    if name in programs and (word == name or word.startswith(("/usr/bin/", "build/native/"))):
        return "program", programs[name]
    if word.startswith("build/native/"):
        path = os.path.join(build, word[len("build/native/"):])
        return ("other", None) if os.path.exists(path) else ("missing", path)
    return "other", None


def build_targets():
    """The build's targets as `cmake --build BUILD --target help` lists them: "NAME: phony"
    (Ninja) or "... NAME" (Makefiles)."""
    if "targets" not in helps:
        out = subprocess.run(["cmake", "--build", build, "--target", "help"], capture_output=True, text=True)
        helps["targets"] = set(re.findall(r"^(?:\.\.\. )?([\w.+-]+)(?::|$)", out.stdout, re.M))
    return helps["targets"]


def check_flags(where, words):
    if words[:2] == ["cmake", "--build"] and "--target" in words:
        for target in words[words.index("--target") + 1:]:
            if target.startswith("-"):
                break
            if target not in build_targets():
                failures.append(f"{where}: the build has no target {target}")
    kind, target = resolve(words[0])
    if kind == "missing":
        failures.append(f"{where}: {words[0]}: {target} does not exist")
    if kind not in ("program", "script"):
        return
    if kind == "script":
        text = open(target, encoding="utf-8").read()  # its usage comment and its option cases
    else:
        status, text = help_text([target])
        if status != 0:
            failures.append(f"{where}: {words[0]} --help exited with {status}")
            return
        if len(words) > 1 and re.fullmatch(r"[a-z][a-z-]*", words[1]):
            status, sub = help_text([target, words[1]])
            if status == 0 and re.search(r"\b" + re.escape(words[1]) + r"\b", text):
                text += sub
    for word in words[1:]:
        if word == "--":
            break
        if re.fullmatch(r"--?[A-Za-z][\w-]*(=.*)?", word):
            flag = word.split("=", 1)[0]
            # A program's help lists an option at the start of its line ("  -h,--help",
            # "  --socket TEXT"), not only in another option's description.
            start = r"(?<![\w-])" if kind == "script" else r"(?m)^\s*(?:-\w,)*"
            if not re.search(start + re.escape(flag) + r"(?![\w-])", text):
                failures.append(f"{where}: {words[0]} has no option {flag}")


def commands(script):
    """Splits a block into simple commands; yields each one's words."""
    lexer = shlex.shlex(script, posix=True, punctuation_chars=";&|()<>")
    lexer.whitespace_split = True
    words, skip = [], False
    for token in list(lexer) + [";"]:
        if skip:
            skip = False
        elif token in SEPARATORS or token == "\n":
            while words and (words[0] in PREFIXES or re.fullmatch(r"\w+=.*", words[0])):
                words.pop(0)
            if words:
                yield words
            words = []
        elif set(token) <= set("<>&"):
            skip = True  # a redirection: the next word is its file
        else:
            words.append(token)


def run_block(where, script):
    """Runs a block in a private folder, its own session, and stops all it started."""
    scratch = tempfile.mkdtemp(prefix="ktzdoc-")
    os.mkdir(os.path.join(scratch, "bin"))
    for name, path in programs.items():
        os.symlink(path, os.path.join(scratch, "bin", name))
    env = dict(os.environ, PATH=os.path.join(scratch, "bin") + ":" + os.environ["PATH"],
               TMPDIR=scratch, XDG_RUNTIME_DIR=scratch)
    # The build folder quoted: a checkout's path may hold a space.
    script = re.sub(r"(?<![\w/.-])build/native/", lambda _: shlex.quote(build) + "/", script)
    # Output goes to a file: a background job left running keeps a pipe open.
    with open(os.path.join(scratch, "output"), "w+", encoding="utf-8") as out:
        proc = subprocess.Popen(["bash", "-e", "-o", "pipefail", "-c", script], cwd=scratch, env=env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True)
        try:
            if proc.wait(timeout=RUN_SECONDS) != 0:
                out.seek(0)
                failures.append(f"{where}: exited with {proc.returncode}:\n{out.read()[-2000:]}")
        except subprocess.TimeoutExpired:
            failures.append(f"{where}: still running after {RUN_SECONDS} s")
        finally:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(proc.pid, sig)  # the block's background jobs share its session
                except ProcessLookupError:
                    break
                time.sleep(1)
            proc.wait()
    shutil.rmtree(scratch, ignore_errors=True)


def check_layout():
    """The README's layout lists every top-level folder the repository tracks, and no other."""
    readme = open(os.path.join(source, "README.md"), encoding="utf-8").read()
    block = re.search(r"^## Layout\n.*?^```\n(.*?)^```", readme, re.M | re.S)
    listed = set(re.findall(r"^([.\w-]+)/", block.group(1), re.M)) if block else set()
    try:
        out = subprocess.run(["git", "-C", source, "ls-files"], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return  # not a git checkout: nothing to compare with
    tracked = {f.split("/")[0] for f in out.stdout.split("\n") if "/" in f}
    for name in sorted(tracked - listed):
        failures.append(f"README.md: the layout leaves out {name}/")
    for name in sorted(listed - tracked):
        failures.append(f"README.md: the layout lists {name}/, which is not in the repository")


check_layout()
checked = ran = 0
for path in [os.path.join(source, "README.md")] + sorted(glob.glob(os.path.join(source, "docs", "*.md"))):
    shown = os.path.relpath(path, source)
    for line, flags_only, script in blocks(path, shown):
        where = f"{shown}:{line}"
        for line_no, text in enumerate(script.split("\n")):
            for words in commands(text):
                check_flags(f"{shown}:{line + line_no}", words)
                checked += 1
        if not flags_only:
            run_block(where, script)
            ran += 1

for failure in failures:
    print("FAIL " + failure)
print(f"{checked} commands checked, {ran} blocks run, {len(failures)} failures")
if checked == 0 or ran == 0:
    print("FAIL no marked commands found")
    sys.exit(1)
sys.exit(1 if failures else 0)
