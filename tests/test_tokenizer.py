"""The tokenizer on real sentences, written out by hand, and sentences formatted back."""

import io

import pytest

from tesmo import _chain
from tesmo.train import TOKEN_CAP, Utf8Text, format_sentence, tokenize


def both(sources):
    """The tokens of the Python definition, checked against the native tokenizer."""
    tokens = list(tokenize(sources))
    assert _chain.tokenize(sources) == tokens
    return tokens


def sentences(text):
    found, current = [], []
    for token in both([[text]])[1:]:
        if token is None:
            found.append(current)
            current = []
        else:
            current.append(token)
    return found


@pytest.mark.parametrize(
    "text, expected",
    [
        (
            'Version 2.0 of file.txt is at http://x.org/a?b=1. He said "Go." (Then stop.) End',
            [
                ["Version", "2.0", "of", "file.txt", "is", "at", "http://x.org/a?b=1", "."],
                ["He", "said", '"', "Go", ".", '"'],
                ["(", "Then", "stop", ".", ")"],
                ["End"],
            ],
        ),
        (
            "Mr. Smith met Dr. Jones, e.g. at 10:30 in Washington D.C. on 1,000 days; i.e. never. "
            "J. R. R. Tolkien wrote it, etc. and so on.",
            [
                ["Mr.", "Smith", "met", "Dr.", "Jones", ",", "e.g.", "at", "10:30", "in", "Washington", "D.C."]
                + ["on", "1,000", "days", ";", "i.e.", "never", "."],
                ["J.", "R.", "R.", "Tolkien", "wrote", "it", ",", "etc.", "and", "so", "on", "."],
            ],
        ),
        (
            "7. Additional Terms.\nThe licence (Apache-2.0, v1.2.3) covers /usr/bin/ls and C:\\x \u2014 "
            "see mail@example.org! It costs 3.14 in 2007. 8. Not a clause at all.",
            [
                ["7.", "Additional", "Terms", "."],
                ["The", "licence", "(", "Apache-2.0", ",", "v1.2.3", ")", "covers", "/usr/bin/ls", "and", "C:\\x"]
                + ["\u2014", "see", "mail@example.org", "!"],
                ["It", "costs", "3.14", "in", "2007", "."],
                ["8.", "Not", "a", "clause", "at", "all", "."],
            ],
        ),
        (
            "\u201cHello,\u201d she said\u2026 \u2018fine\u2019 -- well-known? Yes!! Don't go...\nthen 1.\n2. Two.",
            [
                ["\u201c", "Hello", ",", "\u201d", "she", "said", "\u2026"],
                ["\u2018", "fine", "\u2019", "--", "well-known", "?"],
                ["Yes", "!!"],
                ["Don't", "go", "..."],
                ["then", "1", "."],
                ["2.", "Two", "."],
            ],
        ),
        (
            "\u4f60\u597d\u3002\u4e16\u754c\uff01\u300c\u8fd9\u662f\u300d\u6d4b\u8bd5\uff1f ok. It ends\u3002",
            [
                ["\u4f60\u597d", "\u3002"],
                ["\u4e16\u754c", "\uff01"],
                ["\u300c", "\u8fd9\u662f", "\u300d", "\u6d4b\u8bd5", "\uff1f"],
                ["ok", "."],
                ["It", "ends", "\u3002"],
            ],
        ),
        # Stops and continuing punctuation before a sentence's first token are
        # dropped; a dot between words or before more text ends nothing.
        ("... , ) Wait...what? ok.Fine", [["Wait", "...", "what", "?"], ["ok.Fine"]]),
        # Case kept; a line break is no sentence end; joiners stay inside words only.
        ("THE dogs' bowl\nand 'Twas x-\ny", [["THE", "dogs", "'", "bowl", "and", "'", "Twas", "x", "-", "y"]]),
    ],
)
def test_real_sentences_split_into_the_tokens_people_see(text, expected):
    assert sentences(text) == expected


@pytest.mark.parametrize("size", [1, 2, 3, 7])
def test_the_tokens_are_the_same_whatever_the_chunking(size):
    text = '  Jacob\'s well... is (Beer-sheba)? "Yes!" Mr.\n7. And\nthen 2.0.'
    chunks = [text[i : i + size] for i in range(0, len(text), size)]
    assert both([chunks]) == both([[text]])


def test_a_sentence_never_runs_from_one_text_into_the_next():
    assert both([["no stop"], [". Next"], ["Mr."], ["Smith"]]) == [None, "no", "stop", None, "Next", None] + [
        "Mr.",
        None,
        "Smith",
        None,
    ]


def test_a_run_longer_than_the_cap_is_cut_and_counted():
    letters = "x" * (2 * TOKEN_CAP + 50)
    data = f"{letters} and {'!' * (TOKEN_CAP + 1)} then .{'.' * TOKEN_CAP}".encode()
    for tokenizer in (_chain.tokenize, lambda sources: list(tokenize(sources))):
        text = Utf8Text(io.BytesIO(data), 64)
        assert tokenizer([text]) == [
            None,
            "x" * TOKEN_CAP,
            "x" * TOKEN_CAP,
            "x" * 50,
            "and",
            "!" * TOKEN_CAP,
            "!",
            None,
            "then",
            "." * TOKEN_CAP,
            ".",
            None,
        ]
        assert text.split_tokens == 3
    # Texts without the count are read alike; chunks must be str.
    assert _chain.tokenize([iter(["x" * 101])]) == [None, "x" * 100, "x", None]
    with pytest.raises(TypeError, match="^text chunks must be str, not int$"):
        _chain.tokenize([[1]])


@pytest.mark.parametrize(
    "text",
    [
        'Version 2.0 of file.txt is at http://x.org/a, he said: "Go now; it\'s late!"',
        "(Then stop.) Mr. Smith [the elder] wrote {this} \u2014 and that\u2026",
        "\u201cHello,\u201d she said, \u2018fine.\u2019 \u00abOui\u00bb, \u00bfQu\u00e9?",
        "\u4f60\u597d\uff0c\u300c\u4e16\u754c\u300d\u3002",
        "\"Yes,\" she said, 'it is.'",
    ],
)
def test_formatting_gives_back_sentences_as_people_write_them(text):
    assert " ".join(format_sentence(tokens) for tokens in sentences(text)) == text


def test_formatting_pairs_quotes_and_keeps_other_values():
    assert format_sentence(['"', "a", '"', '"', "b", ",", '"', '"', "c", '"']) == '"a" "b," "c"'
    assert format_sentence(["I", "saw", 2, None, "!"]) == "I saw 2 None!"
    assert format_sentence([]) == ""
