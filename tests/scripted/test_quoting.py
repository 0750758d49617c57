"""The quoted value in "unknown ..." messages, against an independent Python model."""

import pathlib
import unicodedata

from hypothesis import given, settings, strategies as st

import corvina_native as cn

DATA = pathlib.Path("/usr/share/unicode")
DERIVED = DATA / "DerivedCoreProperties.txt"


def _grapheme_extend():
    points = set()
    for line in DERIVED.read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if line and line.split(";")[1].strip() == "Grapheme_Extend":
            lo, _, hi = line.split(";")[0].strip().partition("..")
            points.update(range(int(lo, 16), int(hi or lo, 16) + 1))
    return frozenset(points)


def _assigned():
    # Code points the module's tables know (they come from these files); CPython 3.13's
    # database is newer than Debian 12's.
    points, first = set(), None
    for line in (DATA / "UnicodeData.txt").read_text(encoding="utf-8").splitlines():
        code, name = line.split(";")[:2]
        if name.endswith(", First>"):
            first = int(code, 16)
        else:
            points.update(range(first if name.endswith(", Last>") else int(code, 16), int(code, 16) + 1))
    return frozenset(points)


EXTEND = _grapheme_extend()
ASSIGNED = _assigned()
SIMPLE = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def model(text):
    out = []
    for ch in text:
        if ch in SIMPLE:
            out.append(SIMPLE[ch])
        elif not ch.isprintable() or ord(ch) in EXTEND:
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


# Code points both this interpreter's Unicode database and the module's tables know.
known = st.characters(blacklist_categories=("Cn", "Cs")).filter(lambda ch: ord(ch) in ASSIGNED)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=known, max_size=12))
def test_matches_the_model(text):
    try:
        cn.PyEngine(http_version=text)
    except RuntimeError as error:
        assert str(error) == "unknown http version " + model(text)
    else:
        assert text in {"auto", "native", "h1", "v1", "http/1.1", "h2", "v2", "http/2", "h3", "v3", "http/3"}


def test_database_versions_agree_on_samples():
    # Spot checks where the categories matter and are stable across Unicode versions.
    for ch in "\u0300\u0489\u200c\u00ad\u2028\u3000\ue000\U000e0100":
        assert unicodedata.category(ch) != "Cn"
        assert model(ch) != '"' + ch + '"'
