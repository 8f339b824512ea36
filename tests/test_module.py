"""The module object: its attributes, its functions, re-import, and the refusal of subinterpreters."""

import quillora

FUNCTIONS = {
    "indicator_sma": "(period, data, output)",
    "indicator_ema": "(period, data, output)",
    "indicator_macd": "(fast_period, slow_period, signal_period, data, macd_output, signal_output, hist_output)",
    "indicator_atr": "(period, high, low, close, output)",
}


def test_module_attributes():
    assert quillora.__all__ == list(FUNCTIONS)
    assert quillora.__doc__ == ""
    assert quillora.__name__ == "quillora"


def test_functions_carry_only_their_signature():
    for name, signature in FUNCTIONS.items():
        function = getattr(quillora, name)
        assert function.__text_signature__ == signature
        assert function.__doc__ is None
        assert function.__module__ == "quillora"
        assert function.__self__ is quillora
        assert function.__name__ == name


def test_reimport_returns_the_same_module(fresh_python):
    result = fresh_python("""
        import sys, quillora
        first, sma = quillora, quillora.indicator_sma
        del sys.modules["quillora"]
        import quillora
        assert quillora is first and quillora.indicator_sma is sma
        print("same")
    """)
    assert result.stdout == "same\n", result.stderr


def test_second_interpreter_is_refused(fresh_python, tmp_path):
    outcome = tmp_path / "outcome.txt"
    subinterpreter_code = (
        "try:\n"
        "    import quillora\n"
        "    text = 'imported'\n"
        "except ImportError as error:\n"
        "    text = 'ImportError: ' + str(error)\n"
        f"open({str(outcome)!r}, 'w').write(text)\n"
    )
    result = fresh_python(f"""
        import sys, _testcapi, quillora
        assert _testcapi.run_in_subinterp({subinterpreter_code!r}) == 0
        del sys.modules["quillora"]
        import quillora as again
        assert again is quillora
        print("main still works")
    """)
    assert result.stdout == "main still works\n", result.stderr
    assert outcome.read_text() == (
        "ImportError: PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576"
    )


def test_import_does_not_touch_numpy(fresh_python):
    result = fresh_python("""
        import sys, quillora
        print("numpy" in sys.modules)
    """)
    assert result.stdout == "False\n", result.stderr
