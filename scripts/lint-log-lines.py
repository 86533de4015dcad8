#!/usr/bin/env python3
"""Holds the README's table of log lines, the operator's reference for everything the proxy
writes to standard error, to the source: every log_line call in src/ has exactly one row, no
row describes a line the source no longer writes, rows stand under the heading of their scope,
the lines outside the log format are still written by src/log, and nothing outside src/log
writes to standard error behind the table's back.

A call is read as (level, scope, pieces): its string literals in order (adjacent literals
joined) and one placeholder for every other piece. A README row is read the same way, with
each <...> standing for one placeholder.

Usage: python3 scripts/lint-log-lines.py   (exit status 0 when the table and the source agree,
1 with every problem printed otherwise; plain Python 3, nothing to install)."""

from __future__ import annotations

import pathlib
import re
import sys
from dataclasses import dataclass

ROOT = pathlib.Path(__file__).resolve().parents[1]
SRC = ROOT / "src"
README = ROOT / "README.md"

LOG_HEADING = "## Log lines"
OTHER_HEADING = "### Lines outside the log format"
LEVELS = ("info", "warning", "error")
SCOPES = ("skerrow", "http", "auxpow", "zmq", "rpc")
HOLE = None  # a placeholder piece


class Unusable(Exception):
    """The source or the README cannot be read the way the checks need; the message says where."""


# ---------------------------------------------------------------------------------------------
# Reading C++ source


def blank(text: str) -> str:
    """Spaces in place of every character but line feeds, so offsets and line numbers hold."""
    return re.sub(r"[^\n]", " ", text)


_RAW_OPEN = re.compile(r'(?:u8|u|U|L)?R"([^()\\\s]{0,16})\(')
_PREFIX = re.compile(r"(?<![A-Za-z0-9_])(?:u8|u|U|L)$")


@dataclass
class Stripped:
    code: str      # comments blanked
    masked: str    # comments and the inside of every string and character literal blanked
    strings: list  # (start, end) of every string literal in `code`


def strip_source(text: str) -> Stripped:
    """Both texts are as long as `text`, so offsets and line numbers agree with it; in
    `masked`, brackets and commas are structure only."""
    code, masked, strings = [], [], []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        ident_before = i > 0 and (text[i - 1].isalnum() or text[i - 1] == "_")
        if text.startswith("//", i) or text.startswith("/*", i):
            if text[i + 1] == "/":
                end = text.find("\n", i)
                end = n if end < 0 else end
            else:
                end = text.find("*/", i + 2)
                end = n if end < 0 else end + 2
            code.append(blank(text[i:end]))
            masked.append(blank(text[i:end]))
            i = end
            continue
        raw = None if ident_before else _RAW_OPEN.match(text, i)
        if raw:
            close = text.find(")" + raw.group(1) + '"', raw.end())
            end = n if close < 0 else close + len(raw.group(1)) + 2
            inner_end = n if close < 0 else close
            code.append(text[i:end])
            masked.append(text[i:raw.end()] + blank(text[raw.end():inner_end]) + text[inner_end:end])
            strings.append((i, end))
            i = end
            continue
        # A quote after a digit or letter is a digit separator (1'000), unless the letters
        # are a character literal's encoding prefix.
        is_char = c == "'" and (not ident_before or _PREFIX.search(text[max(0, i - 3):i]) is not None)
        if c == '"' or is_char:
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            end = min(j + 1, n)
            code.append(text[i:end])
            masked.append(c + blank(text[i + 1:end - 1]) + text[end - 1:end])
            if c == '"':
                prefix = _PREFIX.search(text[max(0, i - 3):i]) if ident_before else None
                strings.append((i - (len(prefix.group(0)) if prefix else 0), end))
            i = end
            continue
        code.append(c)
        masked.append(c)
        i += 1
    return Stripped("".join(code), "".join(masked), strings)


_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'",
            "?": "?", "a": "\a", "b": "\b", "f": "\f", "v": "\v"}


def decode_literal(body: str) -> str:
    out, i = [], 0
    while i < len(body):
        if body[i] != "\\":
            out.append(body[i])
            i += 1
            continue
        nxt = body[i + 1]
        if nxt == "x":
            m = re.match(r"[0-9a-fA-F]+", body[i + 2:])
            out.append(chr(int(m.group(0), 16)))
            i += 2 + len(m.group(0))
        elif nxt in "01234567":
            m = re.match(r"[0-7]{1,3}", body[i + 1:])
            out.append(chr(int(m.group(0), 8)))
            i += 1 + len(m.group(0))
        else:
            out.append(_ESCAPES.get(nxt, nxt))
            i += 2
    return "".join(out)


_LITERAL = re.compile(r'\s*(?:(?:u8|u|U|L)?R"([^()\\\s]{0,16})\((.*?)\)\1"'
                      r'|(?:u8|u|U|L)?"((?:[^"\\]|\\.)*)")\s*', re.S)


def literal_value(piece: str) -> str | None:
    """The text of a piece made only of (adjacent) string literals, else None."""
    pos, parts = 0, []
    while pos < len(piece):
        m = _LITERAL.match(piece, pos)
        if not m or m.end() == pos:
            return None
        parts.append(m.group(2) if m.group(2) is not None else decode_literal(m.group(3)))
        pos = m.end()
    return "".join(parts) if parts else None


def normalise(pieces) -> tuple:
    """Adjacent texts joined, empty texts dropped: the form both sides are compared in."""
    out: list = []
    for piece in pieces:
        if piece is HOLE:
            out.append(HOLE)
        elif piece:
            if out and out[-1] is not HOLE:
                out[-1] += piece
            else:
                out.append(piece)
    return tuple(out)


@dataclass(frozen=True)
class Call:
    where: str
    level: str
    scope: str
    pieces: tuple

    @property
    def key(self):
        return (self.level, self.scope, self.pieces)


_CALL = re.compile(r"\blog_line\s*\(")
_HEAD = re.compile(r"\s*LogLevel::(\w+)\s*,\s*LogScope::(\w+)\s*,\s*\{")
_DEFINITION = re.compile(r"\s*LogLevel\s+\w+\s*,")


def split_message(code: str, masked: str, start: int) -> tuple[list[str], int]:
    """The top-level elements of the brace list opening at `start`, and the offset after
    its closing brace."""
    depth, begin, elements = 0, start + 1, []
    for i in range(start, len(masked)):
        c = masked[i]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                elements.append(code[begin:i])
                return [e for e in elements if e.strip()], i + 1
        elif c == "," and depth == 1:
            elements.append(code[begin:i])
            begin = i + 1
    raise ValueError("unbalanced braces")


def calls_in(text: str, name: str) -> tuple[list[Call], list[str]]:
    """The log_line calls in one file's text, and the places of calls that cannot be read."""
    stripped = strip_source(text)
    code, masked = stripped.code, stripped.masked
    calls, unreadable = [], []
    for m in _CALL.finditer(masked):
        where = f"{name}:{masked.count(chr(10), 0, m.start()) + 1}"
        if _DEFINITION.match(masked, m.end()):
            continue
        head = _HEAD.match(masked, m.end())
        if not head or head.group(1) not in LEVELS or head.group(2) not in SCOPES:
            unreadable.append(where)
            continue
        try:
            elements, after = split_message(code, masked, head.end() - 1)
        except ValueError:
            unreadable.append(where)
            continue
        if not re.match(r"\s*\)", masked[after:]):
            unreadable.append(where)
            continue
        pieces = [literal_value(e) for e in elements]
        calls.append(Call(where, head.group(1), head.group(2),
                          normalise(HOLE if p is None else p for p in pieces)))
    return calls, unreadable


def source_files():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".h"))


def source_calls() -> list[Call]:
    calls, unreadable = [], []
    for path in source_files():
        found, bad = calls_in(path.read_text(encoding="utf-8"), str(path.relative_to(ROOT)))
        calls += found
        unreadable += bad
    if unreadable:
        raise Unusable("log_line calls not in the form log_line(LogLevel::x, LogScope::y, { ... }) "
                       "that the catalogue check reads: " + ", ".join(unreadable))
    if not calls:
        raise Unusable(f"no log_line call found under {SRC}")
    return calls


# ---------------------------------------------------------------------------------------------
# Reading the README


@dataclass(frozen=True)
class Row:
    line_no: int
    text: str       # the line as written in the row
    heading: str    # the ### heading the row stands under


_ROW = re.compile(r"^\|\s*`([^`]+)`\s*\|")
_LOG_FORM = re.compile(r"^(\w+)\((\w+)\): (.*)$", re.S)
_HOLE_TEXT = re.compile(r"<[^<>]+>")


def readme_rows() -> list[Row]:
    lines = README.read_text(encoding="utf-8").splitlines()
    try:
        first = lines.index(LOG_HEADING)
    except ValueError:
        raise Unusable(f"README.md has no '{LOG_HEADING}' section") from None
    rows, heading = [], ""
    for number, line in enumerate(lines[first + 1:], start=first + 2):
        if line.startswith("## "):
            break
        if line.startswith("### "):
            heading = line
            continue
        m = _ROW.match(line)
        if m:
            rows.append(Row(number, m.group(1), heading))
    return rows


def row_pieces(message: str) -> tuple:
    pieces: list = []
    pos = 0
    for hole in _HOLE_TEXT.finditer(message):
        pieces += [message[pos:hole.start()], HOLE]
        pos = hole.end()
    pieces.append(message[pos:])
    return normalise(pieces)


def log_rows() -> dict:
    """Rows in level(scope) form, keyed like calls; each key maps to its rows."""
    keyed: dict = {}
    for row in readme_rows():
        if row.heading == OTHER_HEADING:
            continue
        m = _LOG_FORM.match(row.text)
        if not (m and m.group(1) in LEVELS and m.group(2) in SCOPES):
            raise Unusable(f"README.md:{row.line_no}: `{row.text}` is not written as "
                           f"<level>(<scope>): <message> with a level of {LEVELS} and a scope of {SCOPES}")
        keyed.setdefault((m.group(1), m.group(2), row_pieces(m.group(3))), []).append(row)
    return keyed


def shown(key) -> str:
    level, scope, pieces = key
    return f"{level}({scope}): " + "".join("<...>" if p is HOLE else p for p in pieces)


# ---------------------------------------------------------------------------------------------
# The checks: each returns its problem report, or None when it finds none.


def check_every_log_line_of_the_source_has_exactly_one_row():
    rows = log_rows()
    problems = []
    for call in source_calls():
        found = rows.get(call.key, [])
        if not found:
            problems.append(f"{call.where} writes `{shown(call.key)}` but README.md has no row for "
                            f"it: add one under the ### `{call.scope}` heading of '{LOG_HEADING}'")
        elif len(found) > 1:
            places = ", ".join(f"README.md:{r.line_no}" for r in found)
            problems.append(f"{call.where} writes `{shown(call.key)}`, which has {len(found)} rows "
                            f"({places}); keep one")
    return "\n".join(problems) or None


def check_every_row_describes_a_line_the_source_writes():
    written = {call.key for call in source_calls()}
    stale = [f"README.md:{rows[0].line_no}: `{rows[0].text}` is not written by any log_line call "
             f"in src/ (reworded or removed?)"
             for key, rows in log_rows().items() if key not in written]
    return "\n".join(stale) or None


def heading_scope(heading: str) -> str | None:
    m = re.match(r"### `(\w+)`", heading)
    return m.group(1) if m else None


def check_rows_stand_under_the_heading_of_their_scope():
    misplaced = [f"README.md:{row.line_no}: `{row.text}` stands under '{row.heading or '(no heading)'}', "
                 f"not under ### `{scope}`"
                 for (_, scope, _), rows in log_rows().items() for row in rows
                 if heading_scope(row.heading) != scope]
    return "\n".join(misplaced) or None


# Writing to descriptor 2 by any route other than the log writers of src/log.
_STDERR_USE = re.compile(r"\bSTDERR_FILENO\b|\bstderr\b|std::cerr|std::clog|\bperror\s*\(|"
                         r"\b(?:write|writev|dprintf|pwrite)\s*\(\s*2\s*,")


def check_only_the_log_writers_touch_standard_error():
    outside = []
    for path in source_files():
        if path.parent == SRC / "log":
            continue
        masked = strip_source(path.read_text(encoding="utf-8")).masked
        for m in _STDERR_USE.finditer(masked):
            line = masked.count("\n", 0, m.start()) + 1
            outside.append(f"{path.relative_to(ROOT)}:{line}: `{m.group(0)}`")
    if not outside:
        return None
    return ("standard error written outside src/log; such a line would be missing from the README's "
            "log table. Use log_line, or give the line a row under "
            f"'{OTHER_HEADING}':\n" + "\n".join(outside))


def check_lines_outside_the_log_format_still_exist():
    literals = []
    for path in sorted((SRC / "log").glob("*.cpp")):
        stripped = strip_source(path.read_text(encoding="utf-8"))
        literals += [literal_value(stripped.code[a:b]) or "" for a, b in stripped.strings]
    rows = [row for row in readme_rows() if row.heading == OTHER_HEADING]
    if not rows:
        return f"README.md has no rows under '{OTHER_HEADING}'"
    stale = []
    for row in rows:
        for fragment in row_pieces(row.text):
            if fragment is not HOLE and not any(fragment in text for text in literals):
                stale.append(f"README.md:{row.line_no}: `{fragment}` of `{row.text}` is not "
                             f"written by src/log any more")
    return "\n".join(stale) or None


# The reader must take a call apart as the compiler does, or every other check is blind.
_SAMPLE = r'''
    // log_line(LogLevel::info, LogScope::http, {"in a comment"});
    /* log_line(LogLevel::info, LogScope::http, {"in a block comment"}); */
    void log_line(LogLevel level, LogScope scope, std::initializer_list<LogPiece> message) {}
    void f() {
      log_line(LogLevel::warning, LogScope::http,
               {"a, {b} \"c\" ", x.y(1, 2), " d" /* , "not a piece" */
                " e", f({3, '}'}), R"(raw "}" )" "\x41\t", n});
      log_line(LogLevel::info, LogScope::zmq, {"", value, ""});
      int million = 1'000'000;
      log_line(LogLevel::error, LogScope::auxpow, {"last ", '{' == c ? a : b});
      log_line(level, LogScope::http, {"variable level"});
    }
'''
_SAMPLE_READ = (
    [("warning", "http", ('a, {b} "c" ', HOLE, ' d e', HOLE, 'raw "}" A\t', HOLE)),
     ("info", "zmq", (HOLE,)),
     ("error", "auxpow", ("last ", HOLE))],
    ["sample.cpp:6", "sample.cpp:9", "sample.cpp:11"],
    ["sample.cpp:12"],
)


def check_the_reader_takes_calls_apart_as_the_compiler_does():
    calls, unreadable = calls_in(_SAMPLE, "sample.cpp")
    problems = []
    got = ([c.key for c in calls], [c.where for c in calls], unreadable)
    for what, have, want in zip(("calls", "places", "unreadable calls"), got, _SAMPLE_READ):
        if have != want:
            problems.append(f"the reader's sample: {what} read as {have!r}, expected {want!r}")
    holes = row_pieces("got <n>-byte reply from <chain>")
    if holes != ("got ", HOLE, "-byte reply from ", HOLE):
        problems.append(f"the reader's sample row: read as {holes!r}")
    return "\n".join(problems) or None


CHECKS = (
    check_the_reader_takes_calls_apart_as_the_compiler_does,
    check_every_log_line_of_the_source_has_exactly_one_row,
    check_every_row_describes_a_line_the_source_writes,
    check_rows_stand_under_the_heading_of_their_scope,
    check_only_the_log_writers_touch_standard_error,
    check_lines_outside_the_log_format_still_exist,
)


def main() -> int:
    failed = 0
    for check in CHECKS:
        try:
            report = check()
        except Unusable as error:
            report = str(error)
        if report:
            failed += 1
            print(f"{check.__name__.removeprefix('check_')}:\n{report}\n")
    if failed:
        print(f"lint-log-lines: {failed} of {len(CHECKS)} checks failed", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
