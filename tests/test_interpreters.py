"""The module in sub-interpreters: each interpreter gets a module of its own."""

import subprocess
import sys
import textwrap

import pytest

_testcapi = pytest.importorskip("_testcapi")

USE = """
import io, tesmo_cjson
from tesmo import Chain
chain = Chain()
chain.add_to_bag("a", ("b",), count=2)
chain.add_to_bag("b", ("a", "b"), count=1)
for dump in (tesmo_cjson.dump_json_small, tesmo_cjson.dump_json_big):
    for flag in (True, False):
        out = io.StringIO()
        dump(chain, out, flag)
        for load in (tesmo_cjson.load_json_small, tesmo_cjson.load_json_big):
            back = Chain()
            load(back, io.BytesIO(out.getvalue().encode()))
            assert back == chain, (dump, load, flag)
"""


def run(script: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120)


def test_main_interpreter_keeps_working_after_sub_interpreters_that_imported_first():
    done = run(f"""
        import gc, _testcapi
        use = {USE!r}
        for _ in range(3):
            assert _testcapi.run_in_subinterp(use) == 0
        gc.collect()
        exec(use)
        print("main ok")
    """)
    assert (done.returncode, done.stdout) == (0, "main ok\n"), done.stderr


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with a GIL of their own came in 3.12")
def test_an_interpreter_with_its_own_gil_is_refused_cleanly():
    done = run("""
        import sys
        try:
            import _interpreters
        except ImportError:  # 3.12
            import _testcapi
            status = _testcapi.run_in_subinterp_with_config(
                "import tesmo_cjson", use_main_obmalloc=False, allow_fork=True, allow_exec=True,
                allow_threads=True, allow_daemon_threads=True, check_multi_interp_extensions=True, gil=2)
            print(status)
        else:
            interp = _interpreters.create("isolated")
            error = _interpreters.exec(interp, "import tesmo_cjson")
            _interpreters.destroy(interp)
            print(-1 if error else 0)
            print(error.formatted if error else "", file=sys.stderr)
        import tesmo_cjson  # and the main interpreter still imports it
    """)
    assert (done.returncode, done.stdout) == (0, "-1\n"), done.stderr
    assert "ImportError: module tesmo_cjson does not support loading in subinterpreters" in done.stderr
