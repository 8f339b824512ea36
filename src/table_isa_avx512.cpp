// Table kernels for AVX-512 (F, VL, DQ): eight doubles a register.
#define QUILLORA_TABLE_ISA avx512
#define QUILLORA_TABLE_WIDTH 8
#include "table_isa.ipp"
