"""Arguments that share memory or sit off an 8-byte boundary: results as if each had aligned memory of its own."""

import os

import numpy as np
import pytest
from test_changed_arrays import ARRAYS

import quillora
from conftest import assert_same_bits, bits, run_python, scatter_odd_values

PERIODS = {"sma": (3,), "ema": (3,), "macd": (2, 4, 3), "atr": (3,)}
SENTINEL = float.fromhex("0x1.badc0ffeep+7")
N = 40


def call(function, arrays):
    getattr(quillora, f"indicator_{function}")(*PERIODS[function], *arrays)


def place(placement, function):
    """Arrays for every parameter: "name=A+8" puts it at byte 8 of buffer A (the same place, the same
    object); unnamed ones get aligned memory of their own. Outputs hold the sentinel, inputs random
    values written after them, so an input wins where the two share memory."""
    inputs, outputs = ARRAYS[function]
    buffers, made = {}, {}
    spots = dict(item.split("=") for item in placement.split())
    arrays = {}
    for name in outputs + inputs:
        buffer, _, offset = spots.get(name, name + "+0").partition("+")
        if (buffer, offset) not in made:
            memory = buffers.setdefault(buffer, np.zeros(8 * N + 64, dtype=np.uint8))
            made[buffer, offset] = memory[int(offset) : int(offset) + 8 * N].view(np.float64)
        arrays[name] = made[buffer, offset]
    rng = np.random.default_rng(len(placement))
    for name in outputs:
        arrays[name][:] = SENTINEL
    for name in inputs:
        values = rng.normal(100.0, 5.0, N)
        scatter_odd_values(rng, values, 0.1)
        arrays[name][:] = values
    return [arrays[name] for name in inputs + outputs]


def placements():
    for function, (inputs, outputs) in ARRAYS.items():
        for i in inputs:
            for o in outputs:
                yield function, f"{i}=A+0 {o}=A+0"  # the output is the input
                yield function, f"{i}=A+0 {o}=A+8"
                yield function, f"{i}=A+16 {o}=A+0"
        yield function, f"{inputs[0]}=A+0 {outputs[0]}=A+4"  # half an element apart
        yield function, " ".join(f"{name}={name}+1" for name in inputs)
        yield function, " ".join(f"{name}={name}+3" for name in outputs)
        yield function, f"{inputs[0]}=A+5 {outputs[0]}=A+13"
    yield "atr", "high=A+0 low=A+0 close=A+0 output=A+0"


@pytest.mark.parametrize("function, placement", list(placements()))
def test_results_as_if_every_argument_had_aligned_memory_of_its_own(function, placement):
    arrays = place(placement, function)
    inputs = len(ARRAYS[function][0])
    separate = [array.copy() for array in arrays]
    call(function, separate)
    call(function, arrays)
    for actual, expected in zip(arrays[inputs:], separate[inputs:]):
        assert_same_bits(actual, expected)


@pytest.mark.parametrize(
    "placement, spoil, message",
    [
        ("macd_output=A+0 signal_output=A+0", None, "arguments 'macd_output' and 'signal_output' overlap"),
        ("macd_output=A+8 hist_output=A+0", None, "arguments 'macd_output' and 'hist_output' overlap"),
        ("signal_output=A+0 hist_output=A+4", None, "arguments 'signal_output' and 'hist_output' overlap"),
        (
            "macd_output=A+0 signal_output=A+0 hist_output=A+0",
            None,
            "arguments 'macd_output' and 'signal_output' overlap",
        ),
        # Every other check comes first, the read-only test included.
        ("macd_output=A+0 signal_output=A+0", "read-only hist", "argument 'hist_output': output array is read-only"),
        ("macd_output=A+0 signal_output=A+0", "strided data", "Input array must be C-contiguous"),
    ],
)
def test_macd_outputs_sharing_memory_are_refused(placement, spoil, message):
    data, *outputs = place(placement, "macd")
    if spoil == "read-only hist":
        outputs[2].flags.writeable = False
    if spoil == "strided data":
        data = np.repeat(data, 2)[::2]
    before = [bits(o) for o in outputs]
    with pytest.raises(ValueError) as raised:
        call("macd", [data, *outputs])
    assert str(raised.value) == message
    assert [bits(o) for o in outputs] == before


def test_private_copy_without_memory_is_a_memory_error():
    # Untouched zero pages cost no memory; the address-space limit leaves no room for a 256 MiB copy.
    # Under AddressSanitizer its allocator must return null rather than report the failure itself.
    asan_options = os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"
    result = run_python(
        """
        import resource, numpy as np, quillora
        n = 2**25
        data = np.zeros(8 * n + 8, dtype=np.uint8)[1:-7].view(np.float64)
        output = np.zeros(n)
        quillora.indicator_sma(3, np.zeros(4), np.zeros(4))  # first-call lookups before the limit
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**26, resource.RLIM_INFINITY))
        try:
            quillora.indicator_sma(3, data, output)
        except MemoryError as error:
            print(error)
        print(output.any())
    """,
        env={"ASAN_OPTIONS": asan_options},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "cannot allocate 268435456 bytes for a private copy of an overlapping or unaligned array\nFalse\n"
    )
