"""Coverage-guided, differential fuzz target for the readers of tesmo_cjson (atheris).

Every input is read as a document by load_json_small (under ujson and under
json) and load_json_big (under the yajl2_cffi backend, where present, and the
ijson package), in replace and in merge mode, and each time by the Python
reference of that reader in tests/test_hostile.py as well (the streaming
reader's reference reads standard JSON only). The references are
instrumented, so coverage follows what the readers do even though the native
module is not instrumented itself. Each input is also read into an exact
tesmo.Chain that already holds a few choices (the readers' direct paths, with
the native parser) and into a subclass of it (the chain's methods, called one
by one); both must end with the same chain and the same error. A finding is
an interpreter crash, a sanitizer report, or a reader whose calls or
exception differ from its reference's (an AssertionError).
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
with atheris.instrument_imports(include=["ijson", "tesmo", "test_hostile", "test_direct_readers"]):
    import test_direct_readers
    import test_hostile


def held_before(chain: object) -> None:
    """Choices the chain holds before the read: replaced, or merged into."""
    for start, items, count in (("a", ("b",), 2), (0, (None, 1.5), 1), ("b", ("a", "a"), 2**70)):
        chain.add_to_bag(start, items, count)  # type: ignore[attr-defined]


def test_one_input(data: bytes) -> None:
    test_hostile.check_all_readers(data)
    for reader in ("small", "big"):
        for merge in (False, True):
            test_direct_readers.same(reader, data, merge, fill=held_before)


def main() -> None:
    # yajl2_cffi reports invalid UTF-8 from inside a cffi callback, then raises.
    sys.unraisablehook = lambda unraisable: None
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
