#!/usr/bin/python3
"""Checks the links of README.md and docs/*.md as the repository's web view resolves them: each relative
link leads to a file or folder of the repository (not to one it ignores, such as build/), each #anchor to a
heading of the page it names, and README.md links to every page of docs/. Web addresses are not followed.
Prints one line per problem and exits 1 if there is any.

Usage: check_links.py REPOSITORY
"""
import glob
import os
import re
import subprocess
import sys
import unicodedata
from urllib.parse import unquote

FENCE = re.compile(r"^\s*(```|~~~)")
CODE_SPAN = re.compile(r"(`+).*?\1")
INLINE_LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?([^\s>]+)>?")
HTML_LINK = re.compile(r"<(?:a|img)\s[^>]*?(?:href|src)=\"([^\"]*)\"", re.IGNORECASE)
HTML_ANCHOR = re.compile(r"<a\s[^>]*?(?:name|id)=\"([^\"]+)\"", re.IGNORECASE)
HEADING = re.compile(r"^\s{0,3}#{1,6}\s+(.*?)(?:\s+#+)?\s*$")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:|^//")
LINE_ANCHOR = re.compile(r"^L\d+(-L\d+)?$")

# Headings and the anchors the web view gives them.
SLUG_SAMPLES = [
    ("Exit statuses for a deployment tool", "exit-statuses-for-a-deployment-tool"),
    ("Limits & Retries", "limits--retries"),
    ("Section with comma, other comma, and . here and ( and ) too",
     "section-with-comma-other-comma-and--here-and--and--too"),
    ("What `--show` says, in [the guide](x.md)", "what---show-says-in-the-guide"),
    ("Was `date_creation_tarif` stored?", "was-date_creation_tarif-stored"),
]


def slug(heading):
    """The anchor of a heading: its text as shown, lower case, without punctuation, spaces made hyphens."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)
    text = re.sub(r"<[^>]+>", "", text).strip().lower()
    kept = "".join(c for c in text if c in " -" or unicodedata.category(c)[0] in "LMN"
                   or unicodedata.category(c) == "Pc")
    return kept.replace(" ", "-")


def lines_outside_code(path):
    inside = False
    with open(path, encoding="utf-8") as page:
        for number, line in enumerate(page, 1):
            if FENCE.match(line):
                inside = not inside
            elif not inside:
                yield number, line


def anchors(path):
    found, seen = set(), {}
    for _, line in lines_outside_code(path):
        found.update(HTML_ANCHOR.findall(line))
        heading = HEADING.match(line)
        if heading:
            base = slug(heading.group(1))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else "%s-%d" % (base, count))
    return found


def links(path):
    for number, line in lines_outside_code(path):
        line = CODE_SPAN.sub("", line)
        for pattern in (INLINE_LINK, REFERENCE, HTML_LINK):
            for target in pattern.findall(line):
                yield number, target


def ignored(root, path):
    """Whether the repository ignores the path (it is then absent from the web view); False without git."""
    run = subprocess.run(["git", "-C", root, "check-ignore", "-q", path], capture_output=True)
    return run.returncode == 0


def check(root):
    problems = ["the anchor of %r is %r, not %r" % (heading, slug(heading), want)
                for heading, want in SLUG_SAMPLES if slug(heading) != want]
    pages = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    readme_targets = set()
    for page in pages:
        where = os.path.relpath(page, root)
        for number, target in links(page):
            if not target or SCHEME.match(target):
                continue
            path, _, anchor = target.partition("#")
            path, anchor = unquote(path), unquote(anchor)
            say = "%s:%d: %s" % (where, number, target)
            if path.startswith("/"):
                problems.append("%s: not relative to the page" % say)
                continue
            resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            inside = os.path.relpath(resolved, root)
            if page == pages[0]:
                readme_targets.add(inside)
            if inside.startswith(".."):
                problems.append("%s: outside the repository" % say)
            elif not os.path.exists(resolved):
                problems.append("%s: no such file" % say)
            elif ignored(root, inside):
                problems.append("%s: a file the repository ignores" % say)
            elif anchor and resolved.endswith(".md") and os.path.isfile(resolved):
                if anchor not in anchors(resolved):
                    problems.append("%s: no heading or anchor #%s there" % (say, anchor))
            elif anchor and not LINE_ANCHOR.match(anchor):
                problems.append("%s: #%s is not a line of that file" % (say, anchor))
    for page in pages[1:]:
        if os.path.relpath(page, root) not in readme_targets:
            problems.append("README.md does not link to %s" % os.path.relpath(page, root))
    return problems


if __name__ == "__main__":
    problems = check(os.path.abspath(sys.argv[1]))
    for problem in problems:
        print(problem)
    if not problems:
        print("every link of README.md and docs/*.md resolves")
    sys.exit(1 if problems else 0)
