// Stands in for the C runtime's <time.h> where Wine's lacks what the C++
// library's <ctime> names: struct timespec and timespec_get, and the
// localtime_s and gmtime_s the runtime defines inline over their 64-bit
// forms, as here.
#ifndef IP232_MSVC_RUNTIME_TIME_H_
#define IP232_MSVC_RUNTIME_TIME_H_

#include_next <time.h>

#define TIME_UTC 1

#ifdef __cplusplus
extern "C" {
#endif
struct timespec {
  time_t tv_sec;
  long tv_nsec;
};
_ACRTIMP int __cdecl _timespec64_get(struct timespec* ts, int base);
_ACRTIMP errno_t __cdecl _localtime64_s(struct tm* result, const __time64_t* t);
_ACRTIMP errno_t __cdecl _gmtime64_s(struct tm* result, const __time64_t* t);
#ifdef __cplusplus
}
#endif

static inline int __cdecl timespec_get(struct timespec* ts, int base) {
  return _timespec64_get(ts, base);
}
static inline errno_t __cdecl localtime_s(struct tm* result, const time_t* t) {
  return _localtime64_s(result, t);
}
static inline errno_t __cdecl gmtime_s(struct tm* result, const time_t* t) {
  return _gmtime64_s(result, t);
}

#endif  // IP232_MSVC_RUNTIME_TIME_H_
