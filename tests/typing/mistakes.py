"""Calls a type checker must refuse: each marked line must get exactly the error code it names."""

import numpy as np

import quillora

close = np.zeros(50)
output = np.empty_like(close)

quillora.indicator_sma(14.0, close, output)  # expected error: arg-type
quillora.indicator_ema(14, close)  # expected error: call-arg
average = quillora.indicator_ema(14, close, output)  # expected error: func-returns-value
