"""The README's quick starts, as the tests run them: the command lines of the fenced block
that follows `<!-- quickstart: NAME -->`, so that what a newcomer types is what was tested."""
import os
import re

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "README.md")


def commands(name):
    """The block's lines, in order, without blank lines."""
    with open(README) as f:
        text = f.read()
    found = re.search(r"<!-- quickstart: %s -->\n```sh\n(.*?)```" % re.escape(name), text, re.S)
    if found is None:
        raise LookupError("README.md has no quick start %r" % name)
    return [line for line in found[1].splitlines() if line.strip()]
