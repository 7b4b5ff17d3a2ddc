#!/usr/bin/env python3
"""The request and answer reference, held against the code that reads the requests and
writes the answers: every element a request reader accepts (a child read by name, a
parameter looked up) has a row in a request table, and no row names an element nothing
reads; every command's answer table lists its elements in the order they are written,
each with its meaning; every example answer has exactly those elements; every example
request uses only elements that are read. Checked in README.md, in the README as the
driver package installs it (which names installed files only and the printing module)
and in README-Windows.txt as the zip holds it.

    reference_check.py SOURCE-DIR CMAKE
"""
import re
import subprocess
import sys
import tempfile
from pathlib import Path

COMMANDS = ["OPEN", "CLOSE", "PAY", "REPRINT", "GETSTATUS", "DAYCLOSE", "GETTOTALS", "VERSION"]
REQUEST_HEADER = ["element", "type", "required", "default", "example", "meaning"]
ANSWER_HEADER = ["element", "written as", "meaning"]

failures = []


def fail(document, message):
    failures.append(f"{document}: {message}")


def accepted_request_elements(source):
    """The element names the request readers take: children read by name through the
    typed readers, sections found by name, and parameters looked up by name."""
    readers = re.compile(r'\b(?:TryGetNodeValueAs\w+|GetNodeValueAs\w+|FindChild|FindSection|HasNode)'
                         r'\(\s*[^;()]*?,\s*u"(\w+)"')
    parameters = re.compile(r'\b(?:GetParameter|ParameterExists)\(\s*u"(\w+)"\s*\)')
    sections = re.compile(r'\bkPaymentReportSection\(\s*u"(\w+)"\s*\)')
    names = set()
    for path in sorted((source / "src").rglob("*")):
        if path.suffix not in (".cpp", ".h"):
            continue
        text = path.read_text(encoding="utf-8")
        for pattern in (readers, parameters, sections):
            names.update(pattern.findall(text))
    return names


def answer_elements(source):
    """Each command's answer elements in the order its Format writes them."""
    answers = {}
    for name in ("uZVPaymentWrapper.cpp", "uZVPaymentWrapper_Commands.cpp"):
        text = (source / "src" / "driver" / name).read_text(encoding="utf-8")
        for match in re.finditer(r"void kPaymentWrapper_(\w+)::Format\(.*?\n}\n", text, re.S):
            answers[match[1]] = re.findall(r'\.(?:TextField|Boolean|Integer|Amount|Moment|Code)\(u"(\w+)"', match[0])
    missing = [c for c in COMMANDS if c != "VERSION" and not answers.get(c)]
    if missing:
        sys.exit(f"no answer writer found in src/driver for {missing}: the check no longer reads the code")
    return answers


def tables(text):
    """Every table of the text: its header cells and its rows (lists of cells)."""
    found, lines = [], text.split("\n")
    i = 0
    while i < len(lines):
        if lines[i].startswith("|") and i + 1 < len(lines) and re.match(r"^\|[-| :]+\|$", lines[i + 1]):
            header = [c.strip().lower() for c in lines[i].strip("|").split("|")]
            rows, i = [], i + 2
            while i < len(lines) and lines[i].startswith("|"):
                rows.append([c.strip() for c in re.split(r"(?<!\\)\|", lines[i].strip().strip("|"))])
                i += 1
            found.append((header, rows))
        else:
            i += 1
    return found


def named(cell):
    return re.findall(r"`(\w+)`", cell)


def command_sections(text):
    """The text under each "### COMMAND" heading, up to the next heading."""
    parts = re.split(r"^(#{2,3} .*)$", text, flags=re.M)
    sections = {}
    for heading, body in zip(parts[1::2], parts[2::2]):
        word = heading.lstrip("#").strip()
        if word in COMMANDS:
            sections[word] = body
    return sections


def blocks(text, kind):
    return re.findall(r"^```" + kind + r"\n(.*?)^```$", text, re.S | re.M)


def slug(heading):
    heading = heading.strip().lower()
    heading = re.sub(r"[^\w\- ]", "", heading)
    return heading.replace(" ", "-")


def check_links(document, text):
    anchors = {slug(h) for h in re.findall(r"^#+ (.*)$", text, re.M)}
    for target in re.findall(r"\]\(([^)]*)\)", text):
        if target.startswith("#"):
            if target[1:] not in anchors:
                fail(document, f"a link to #{target[1:]}, a heading it does not have")
        elif not re.match(r"https?://", target):
            yield target


def check_reference(document, text, accepted, answers):
    documented, invented = set(), set()
    for header, rows in tables(text):
        if header == REQUEST_HEADER:
            for row in rows:
                names = named(row[0])
                if not names or len(row) != len(header) or not row[-1] or not row[1]:
                    fail(document, f"a request row without its element, type or meaning: {row}")
                documented.update(names)
                invented.update(n for n in names if n not in accepted)
    for name in sorted(accepted - documented):
        fail(document, f"the request element `{name}` is read but has no row in the reference")
    for name in sorted(invented):
        fail(document, f"the reference names the request element `{name}`, which nothing reads")

    sections = command_sections(text)
    for command in COMMANDS:
        body = sections.get(command)
        if body is None:
            fail(document, f"no section ### {command}")
            continue
        for request in blocks(body, "xml"):
            for name in re.findall(r"<(\w+)\b", request):
                if name != "Request" and name not in accepted:
                    fail(document, f"the {command} example request uses <{name}>, which nothing reads")
        examples = blocks(body, "text")
        if command == "VERSION":
            if not any(e.startswith("Version ") for e in examples):
                fail(document, "no example answer of VERSION")
            continue
        expected = answers[command]
        answer_tables = [rows for header, rows in tables(body) if header == ANSWER_HEADER]
        if len(answer_tables) != 1:
            fail(document, f"{command}: {len(answer_tables)} answer tables, not one")
        for rows in answer_tables:
            listed = [n for row in rows for n in named(row[0])[:1]]
            if listed != expected:
                fail(document, f"{command}'s answer table lists {listed}, the driver writes {expected}")
            for row in rows:
                if len(row) != len(ANSWER_HEADER) or not row[1] or not row[2]:
                    fail(document, f"{command}: the answer element {row[0]} is not explained")
        answer_examples = [e for e in examples if e.startswith("<")]
        if not answer_examples:
            fail(document, f"no example answer of {command}")
        for example in answer_examples:
            elements = re.findall(r"^<(\w+)>.*</\1>$", example, re.M)
            if elements != expected or len(example.strip().split("\n")) != len(expected):
                fail(document, f"an example answer of {command} has {elements}, the driver writes {expected}")
    for needed in ("65535", "0xFFFF", "PAY,REFUND,VOID"):
        if needed not in text:
            fail(document, f"the reference does not say {needed}")


def generated(cmake, script, arguments):
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "out"
        subprocess.run([cmake] + [f"-D{k}={v}" for k, v in arguments.items()] + [f"-DOUT={out}", "-P", str(script)],
                       check=True)
        return out.read_text(encoding="utf-8")


def main():
    source, cmake = Path(sys.argv[1]), sys.argv[2]
    accepted, answers = accepted_request_elements(source), answer_elements(source)
    readme = (source / "README.md").read_text(encoding="utf-8")
    installed = generated(cmake, source / "cmake" / "InstalledReadme.cmake",
                          {"IN": source / "README.md", "LIBDIR": "/usr/lib/zvpa-lorvani-10"})
    windows = generated(cmake, source / "cmake" / "WindowsReadme.cmake",
                        {"KIT": source / "resources" / "README-Windows.txt", "README": source / "README.md"})

    for document, text in (("README.md", readme), ("the installed README", installed),
                           ("README-Windows.txt", windows)):
        check_reference(document, text, accepted, answers)
        list(check_links(document, text))

    # The installed README speaks of installed files only.
    for target in check_links("the installed README", installed):
        if not target.startswith("/usr/"):
            fail("the installed README", f"a link to {target}, which the packages do not install")
    for pattern, what in ((r"(?<!/usr/)\binclude/", "a path below include/ of the source tree"),
                          (r"-Iinclude\b", "a compiler option for the source tree's include/"),
                          (r"CONTRIBUTING\.md", "CONTRIBUTING.md, which is not installed")):
        for line in re.findall(r"^.*" + pattern + r".*$", installed, re.M):
            fail("the installed README", f"{what}: {line.strip()}")
    if "/usr/lib/zvpa-lorvani-10/ZVPA_LORVANI_10_print.so" not in installed:
        fail("the installed README", "the printing module is not among the installed files")

    for failure in failures:
        print("FAILED:", failure)
    if failures:
        return 1
    print(f"reference: {len(accepted)} request elements and the answers of {len(answers)} commands, "
          "in README.md, the installed README and README-Windows.txt")
    return 0


if __name__ == "__main__":
    sys.exit(main())
