// Table kernels for the target's baseline instruction set (SSE2 on x86-64): two doubles a register.
#define QUILLORA_TABLE_ISA baseline
#define QUILLORA_TABLE_WIDTH 2
#include "table_isa.ipp"
