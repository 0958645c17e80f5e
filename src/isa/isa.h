// The one place that chooses the instruction-set level's primitives, from
// the level the library is compiled for (-march). Each header implements the
// same names in namespace conv_ta::isa:
//   kRegisterLanes, Register, UnalignedRegister  the level's vector of 32-bit lanes
//   pin(r)                         keep a loaded value in its register
//   last_then_first, rest_then_first  the two lane shifts across two registers
//   load_first_lanes, store_first_lanes  the masked moves of a partial register
//   kAligns                        whether rows' interiors start on lines, and if so
//                                  load_lanes_from, store_lanes_from
//   kStreams                       whether the level streams large outputs, and
//                                  if so lanes_from, store_streaming, finish_streaming
#ifndef CONV_TA_ISA_ISA_H
#define CONV_TA_ISA_ISA_H

#if defined(__AVX512F__)
#include "avx512.h"
#elif defined(__AVX2__)
#include "avx2.h"
#else
#include "sse.h"
#endif

#endif
