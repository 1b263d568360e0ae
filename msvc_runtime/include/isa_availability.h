// Stands in for the VC runtime's <isa_availability.h>: the instruction-set
// levels that __isa_available (msvc_runtime/crt_start.cpp) reports.
#ifndef IP232_MSVC_RUNTIME_ISA_AVAILABILITY_H_
#define IP232_MSVC_RUNTIME_ISA_AVAILABILITY_H_

enum __ISA_AVAILABILITY {
  __ISA_AVAILABLE_X86 = 0,
  __ISA_AVAILABLE_SSE2 = 1,
  __ISA_AVAILABLE_SSE42 = 2,
  __ISA_AVAILABLE_AVX = 3,
  __ISA_AVAILABLE_ENFSTRG = 4,
  __ISA_AVAILABLE_AVX2 = 5,
  __ISA_AVAILABLE_AVX512 = 6,
};

#endif  // IP232_MSVC_RUNTIME_ISA_AVAILABILITY_H_
