// Table kernels for AVX2: four doubles a register. Built with -mavx2 only, never -mfma.
#define QUILLORA_TABLE_ISA avx2
#define QUILLORA_TABLE_WIDTH 4
#include "table_isa.ipp"
