// NumPy's C headers, for struct layouts and constants only: no NumPy function is linked or
// called through them; calls go through ArrayApi.
#pragma once

#include <Python.h>

#include <numpy/ndarraytypes.h>
