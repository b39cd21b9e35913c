import inspect
import random

import pytest

from tessarin import chunk_text

S, F = "sentence", "fixed"

# text, max_characters, overlap_characters, strategy, expected (text, start, end)
EXAMPLES = [
    ("", 10, 0, S, []),
    (" \t\n\u00a0\u3000 ", 3, 0, S, []),
    ("  Hi there.  ", 100, 0, S, [("Hi there.", 2, 11)]),
    ("One. Two. Three.", 10, 0, S, [("One. Two.", 0, 9), ("Three.", 10, 16)]),
    ("Hello world, this is a test.", 12, 0, S,
     [("Hello", 0, 5), ("world, this", 6, 17), ("is a test.", 18, 28)]),
    ("Hello world, this is a test.", 12, 4, S,
     [("Hello", 0, 5), ("llo world,", 2, 12), ("ld, this is", 9, 20), ("is a test.", 18, 28)]),
    ("abcdefghij", 4, 1, F, [("abcd", 0, 4), ("defg", 3, 7), ("ghij", 6, 10)]),
    ("Pi is 3.14 exactly", 9, 0, S, [("Pi is", 0, 5), ("3.14", 6, 10), ("exactly", 11, 18)]),
    ("Pi is 3.14 exactly", 8, 0, S, [("Pi is 3.", 0, 8), ("14", 8, 10), ("exactly", 11, 18)]),
    ("Wait!Run now ok", 12, 0, S, [("Wait!Run", 0, 8), ("now ok", 9, 15)]),
    ("Wait! Run now ok", 12, 0, S, [("Wait!", 0, 5), ("Run now ok", 6, 16)]),
    # An ideographic full stop followed by a further ideograph is no sentence end.
    ("今日は晴れ。明日は雨です", 8, 0, S, [("今日は晴れ。明日", 0, 24), ("は雨です", 24, 36)]),
    # A no-break space is whitespace (two UTF-8 bytes) for cutting and trimming.
    ("ab\u00a0cd\u00a0ef", 6, 0, S, [("ab\u00a0cd", 0, 6), ("ef", 8, 10)]),
    ("\u00a0x\u00a0", 10, 0, S, [("x", 2, 3)]),
    ("Done. Next", 6, 0, F, [("Done.", 0, 5), ("Next", 6, 10)]),
]


@pytest.mark.parametrize(("text", "max_characters", "overlap", "strategy", "expected"), EXAMPLES)
def test_examples(text, max_characters, overlap, strategy, expected):
    chunks = chunk_text(
        text, max_characters=max_characters, overlap_characters=overlap, strategy=strategy
    )
    assert [(c["text"], c["start_byte"], c["end_byte"]) for c in chunks] == expected
    for chunk in chunks:
        assert list(chunk) == ["text", "start_byte", "end_byte"]
        assert text.encode()[chunk["start_byte"]:chunk["end_byte"]].decode() == chunk["text"]


def test_defaults_and_signature():
    assert chunk_text("One. Two. Three.", max_characters=10) == chunk_text(
        "One. Two. Three.", max_characters=10, overlap_characters=0, strategy="sentence"
    )
    assert chunk_text.__doc__.startswith(
        'chunk_text(text, *, max_characters, overlap_characters=0, strategy="sentence")'
    )


@pytest.mark.parametrize("strategy", ["Sentence", "SENTENCE", "fixed", "FIXED", "FiXeD"])
def test_strategy_is_ascii_case_insensitive(strategy):
    assert chunk_text("a b", max_characters=5, strategy=strategy) == [
        {"text": "a b", "start_byte": 0, "end_byte": 3}
    ]


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"max_characters": 5, "strategy": "words"}, ValueError,
         "unsupported chunking strategy 'words'; expected 'fixed' or 'sentence'"),
        # Only ASCII letters fold: a dotless-i spelling is not "fixed".
        ({"max_characters": 5, "strategy": "F\u0130XED"}, ValueError,
         "unsupported chunking strategy 'F\u0130XED'; expected 'fixed' or 'sentence'"),
        ({"max_characters": 0}, ValueError, "max_characters must be greater than zero"),
        ({"max_characters": 0, "overlap_characters": 0}, ValueError,
         "max_characters must be greater than zero"),
        ({"max_characters": 4, "overlap_characters": 4}, ValueError,
         "overlap_characters (4) must be smaller than max_characters (4)"),
        ({"max_characters": 4, "overlap_characters": 2**64 - 1}, ValueError,
         "overlap_characters (18446744073709551615) must be smaller than max_characters (4)"),
        # The strategy is examined before the sizes.
        ({"max_characters": 0, "strategy": "nope"}, ValueError,
         "unsupported chunking strategy 'nope'; expected 'fixed' or 'sentence'"),
        ({"max_characters": -1}, OverflowError, None),
        ({"max_characters": 2**64}, OverflowError, None),
        ({"max_characters": 5, "overlap_characters": -1}, OverflowError, None),
        ({"max_characters": 5.0}, TypeError, "argument 'max_characters': "),
        ({"max_characters": 5, "overlap_characters": "1"}, TypeError,
         "argument 'overlap_characters': "),
        ({"max_characters": 5, "strategy": None}, TypeError, "argument 'strategy': "),
    ],
)
def test_argument_errors(kwargs, error, message):
    with pytest.raises(error) as caught:
        chunk_text("some text here", **kwargs)
    assert type(caught.value) is error
    if message is not None:
        if error is TypeError:
            assert str(caught.value).startswith(message)
        else:
            assert str(caught.value) == message


def test_binding_errors():
    with pytest.raises(TypeError, match=r"^argument 'text': expected str, got bytes$"):
        chunk_text(b"bytes", max_characters=3)
    with pytest.raises(TypeError):
        chunk_text("x")  # max_characters is required
    with pytest.raises(TypeError):
        chunk_text("x", 3)  # and keyword-only
    with pytest.raises(TypeError):
        chunk_text("x", max_characters=3, unknown=1)
    with pytest.raises(UnicodeEncodeError):
        chunk_text("lone \ud800 surrogate", max_characters=3)


def test_huge_sizes_do_not_overflow():
    text = "word " * 50
    assert chunk_text(text, max_characters=2**64 - 1) == [
        {"text": text.strip(), "start_byte": 0, "end_byte": len(text) - 1}
    ]
    assert len(chunk_text(text, max_characters=2**64 - 1, overlap_characters=2**64 - 2)) == 1


ALPHABET = ["a", "b", "Z", " ", "  ", ".", "!", "?", "\u00a0", "\u3002", "\uff01", "\u3000",
            "\u0301", "e\u0301", "\U0001f600", "\U0001f469\u200d\U0001f4bb", "\n", "\u2029",
            "\u200b", "\ufeff", "\x00"]


@pytest.mark.parametrize("seed", range(40))
def test_arbitrary_unicode_keeps_invariants(seed):
    rng = random.Random(seed)
    text = "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(0, 120)))
    max_characters = rng.randrange(1, 30)
    overlap = rng.randrange(0, max_characters)
    strategy = rng.choice([S, F])
    chunks = chunk_text(
        text, max_characters=max_characters, overlap_characters=overlap, strategy=strategy
    )
    raw = text.encode()
    starts = [c["start_byte"] for c in chunks]
    assert starts == sorted(starts)
    for chunk in chunks:
        assert chunk["text"]
        assert chunk["text"] == chunk["text"].strip(" \t\n\r\x0b\x0c\x85\u00a0\u1680\u2000"
                                                    "\u2001\u2002\u2003\u2004\u2005\u2006\u2007"
                                                    "\u2008\u2009\u200a\u2028\u2029\u202f\u205f"
                                                    "\u3000")
        assert raw[chunk["start_byte"]:chunk["end_byte"]].decode() == chunk["text"]
        if strategy == F:
            assert len(chunk["text"]) <= max_characters
    if text.strip():
        assert chunks
