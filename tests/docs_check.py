#!/usr/bin/env python3
"""The documents as they must stay: docs/parts.svg is what Graphviz makes of docs/parts.dot,
and every relative link of README.md and docs/*.md names a file that exists (and, with
#anchor, a heading of it).
usage: docs_check.py CHECKOUT"""
import glob, os, re, subprocess, sys


def anchors(path):
    """The anchors GitHub gives a Markdown file's headings."""
    found, fence = set(), False
    for line in open(path):
        fence ^= line.startswith("```")
        if not fence and line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            found.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return found


def broken_links(root):
    broken = []
    for doc in [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md"))):
        text = re.sub(r"```.*?```", "", open(doc).read(), flags=re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            full = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
            if not os.path.exists(full) or (anchor and anchor not in anchors(full)):
                broken.append("%s: %s" % (os.path.relpath(doc, root), target))
    return broken


if __name__ == "__main__":
    root = sys.argv[1]
    made = subprocess.run(["dot", "-Tsvg", os.path.join(root, "docs", "parts.dot")],
                          capture_output=True, text=True, check=True).stdout
    problems = broken_links(root)
    if made != open(os.path.join(root, "docs", "parts.svg")).read():
        problems.append("docs/parts.svg is not what `dot -Tsvg docs/parts.dot` makes: make it again")
    print("\n".join(problems) or "docs: the diagram and every link as they should be")
    sys.exit(1 if problems else 0)
