"""Result codes: the Python table covers every code the C headers define, with the names and
sentences of the headers' own helpers, and failing calls raise them."""

import re

import pytest
from conftest import include_dir

import quorixsdk
from quorixsdk import QuorixError, codes


def header_codes():
    text = (include_dir() / "quorixsdk_codes.h").read_text()
    found = re.findall(r"^#define (QUORIX_(?:OK|E_\w+)) (0x[0-9A-Fa-f]+)u\b", text, re.M)
    return {name: int(value, 16) for name, value in found}


def header_sentences():
    """name -> sentence, read from the switch of QUORIX_ResultText."""
    text = (include_dir() / "quorixsdk_codes.h").read_text()
    body = text[text.index("QUORIX_ResultText(uint32_t code)"):]
    body = body[: body.index("default:")]
    out = {}
    for match in re.finditer(r"case (QUORIX_\w+):\s*return ((?:\"[^\"]*\"\s*)+);", body):
        out[match.group(1)] = "".join(re.findall(r"\"([^\"]*)\"", match.group(2)))
    return out


def test_every_header_code_has_its_name_and_sentence():
    defined = header_codes()
    sentences = header_sentences()
    assert len(defined) == 30
    assert set(sentences) == set(defined), "the C helper covers every code"
    assert sorted(codes.all_codes()) == sorted(defined.values())
    for name, value in defined.items():
        assert codes.name(value) == name
        assert getattr(codes, name[len("QUORIX_"):]) == value
        assert codes.text(value) == sentences[name]
        assert codes.text(value).endswith(".")
    assert len({codes.text(v) for v in defined.values()}) == len(defined), "sentences differ"
    assert codes.name(0x80008FFF) == "QUORIX_E_UNKNOWN"
    assert codes.text(0x80008FFF) == "Not a result code of this library."


def test_failing_calls_raise_the_code_the_library_answered(q):
    raw = q.lib.QUORIX_OpenFile
    with q.Port() as port:
        answered = raw(port.number, b"/nonexistent/clip.zbm")
        assert answered == codes.E_OPEN_FILE
        with pytest.raises(QuorixError) as caught:
            port.open_file("/nonexistent/clip.zbm")
        error = caught.value
        assert error.code == answered
        assert error.name == "QUORIX_E_OPEN_FILE"
        assert error.text == codes.text(codes.E_OPEN_FILE)
        assert error.function == "QUORIX_OpenFile"
        assert "QUORIX_E_OPEN_FILE" in str(error) and "0x80008009" in str(error)
        with pytest.raises(QuorixError) as caught:
            port.set_ptz(quorixsdk.MAX_REGIONS, 0.0, 0.0, 1.0)
        assert caught.value.code == codes.E_PARAM


def test_calls_before_initialisation_raise_not_init():
    # The suite's fixtures balance every init, so the library is not initialised here.
    with pytest.raises(QuorixError) as caught:
        quorixsdk.Port()
    assert caught.value.code == codes.E_NOT_INIT
    quorixsdk.check(codes.OK)
