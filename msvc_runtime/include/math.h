// Stands in for the C runtime's <math.h> where Wine's differs from it and
// the C++ library's <cmath> needs the runtime's form: classification and
// comparison as C++ functions rather than macros, copysign as a function,
// float_t and double_t, the C99 functions the runtime DLL exports, and the
// long double functions, which the runtime defines inline over the double
// ones (long double is double here).
#ifndef IP232_MSVC_RUNTIME_MATH_H_
#define IP232_MSVC_RUNTIME_MATH_H_

#include_next <math.h>

#undef copysign
#undef copysignf
#undef fpclassify
#undef signbit
#undef isinf
#undef isnan
#undef isnormal
#undef isfinite

#ifdef __cplusplus
extern "C" {
#endif
typedef float float_t;
typedef double double_t;

_ACRTIMP double __cdecl copysign(double, double);
_ACRTIMP float __cdecl copysignf(float, float);
_ACRTIMP long double __cdecl copysignl(long double, long double);
_ACRTIMP int __cdecl _dsign(double);
_ACRTIMP int __cdecl _ldsign(long double);
_ACRTIMP int __cdecl _fdsign(float);
_ACRTIMP int __cdecl _dpcomp(double, double);
_ACRTIMP int __cdecl _ldpcomp(long double, long double);
_ACRTIMP int __cdecl _fdpcomp(float, float);
_ACRTIMP short __cdecl _ldclass(long double);

#define IP232_MATH_1(name) \
  _ACRTIMP double __cdecl name(double); \
  _ACRTIMP float __cdecl name##f(float); \
  _ACRTIMP long double __cdecl name##l(long double);
#define IP232_MATH_2(name) \
  _ACRTIMP double __cdecl name(double, double); \
  _ACRTIMP float __cdecl name##f(float, float); \
  _ACRTIMP long double __cdecl name##l(long double, long double);
IP232_MATH_1(erf)
IP232_MATH_1(erfc)
IP232_MATH_1(nearbyint)
IP232_MATH_2(nexttoward)
#undef IP232_MATH_1
#undef IP232_MATH_2
_ACRTIMP double __cdecl fma(double, double, double);
_ACRTIMP float __cdecl fmaf(float, float, float);
_ACRTIMP long double __cdecl fmal(long double, long double, long double);
_ACRTIMP double __cdecl nan(const char*);
_ACRTIMP float __cdecl nanf(const char*);
_ACRTIMP long double __cdecl nanl(const char*);
_ACRTIMP long double __cdecl acoshl(long double);
_ACRTIMP long double __cdecl asinhl(long double);
_ACRTIMP long double __cdecl atanhl(long double);
_ACRTIMP long double __cdecl cbrtl(long double);
_ACRTIMP long double __cdecl exp2l(long double);
_ACRTIMP long double __cdecl expm1l(long double);
_ACRTIMP long double __cdecl fdiml(long double, long double);
_ACRTIMP long double __cdecl fmaxl(long double, long double);
_ACRTIMP long double __cdecl fminl(long double, long double);
_ACRTIMP int __cdecl ilogbl(long double);
_ACRTIMP long double __cdecl lgammal(long double);
_ACRTIMP long long __cdecl llrintl(long double);
_ACRTIMP long long __cdecl llroundl(long double);
_ACRTIMP long double __cdecl log1pl(long double);
_ACRTIMP long double __cdecl log2l(long double);
_ACRTIMP long double __cdecl logbl(long double);
_ACRTIMP long __cdecl lrintl(long double);
_ACRTIMP long __cdecl lroundl(long double);
_ACRTIMP long double __cdecl nextafterl(long double, long double);
_ACRTIMP long double __cdecl remainderl(long double, long double);
_ACRTIMP long double __cdecl remquol(long double, long double, int*);
_ACRTIMP long double __cdecl rintl(long double);
_ACRTIMP long double __cdecl roundl(long double);
_ACRTIMP long double __cdecl scalblnl(long double, long);
_ACRTIMP long double __cdecl scalbnl(long double, int);
_ACRTIMP long double __cdecl tgammal(long double);
_ACRTIMP long double __cdecl truncl(long double);
#ifdef __cplusplus
}
#endif

#define IP232_LONG_1(name) \
  static inline long double __cdecl name##l(long double x) { \
    return name((double)x); \
  }
IP232_LONG_1(acos)
IP232_LONG_1(asin)
IP232_LONG_1(atan)
IP232_LONG_1(ceil)
IP232_LONG_1(cos)
IP232_LONG_1(cosh)
IP232_LONG_1(exp)
IP232_LONG_1(fabs)
IP232_LONG_1(floor)
IP232_LONG_1(log)
IP232_LONG_1(log10)
IP232_LONG_1(sin)
IP232_LONG_1(sinh)
IP232_LONG_1(sqrt)
IP232_LONG_1(tan)
IP232_LONG_1(tanh)
#undef IP232_LONG_1
static inline long double __cdecl atan2l(long double y, long double x) {
  return atan2((double)y, (double)x);
}
static inline long double __cdecl fmodl(long double x, long double y) {
  return fmod((double)x, (double)y);
}
static inline long double __cdecl powl(long double x, long double y) {
  return pow((double)x, (double)y);
}
static inline long double __cdecl hypotl(long double x, long double y) {
  return hypot((double)x, (double)y);
}
static inline long double __cdecl frexpl(long double x, int* e) {
  return frexp((double)x, e);
}
static inline long double __cdecl ldexpl(long double x, int e) {
  return ldexp((double)x, e);
}
static inline long double __cdecl modfl(long double x, long double* i) {
  double whole;
  const double fraction = modf((double)x, &whole);
  *i = whole;
  return fraction;
}

#ifdef __cplusplus
extern "C++" {
inline int fpclassify(float x) noexcept { return _fdclass(x); }
inline int fpclassify(double x) noexcept { return _dclass(x); }
inline int fpclassify(long double x) noexcept { return _ldclass(x); }
inline bool signbit(float x) noexcept { return _fdsign(x) != 0; }
inline bool signbit(double x) noexcept { return _dsign(x) != 0; }
inline bool signbit(long double x) noexcept { return _ldsign(x) != 0; }
inline int _fpcomp(float x, float y) noexcept { return _fdpcomp(x, y); }
inline int _fpcomp(double x, double y) noexcept { return _dpcomp(x, y); }
inline int _fpcomp(long double x, long double y) noexcept {
  return _ldpcomp(x, y);
}
#define IP232_CLASS(name, test) \
  inline bool name(float x) noexcept { return fpclassify(x) test; } \
  inline bool name(double x) noexcept { return fpclassify(x) test; } \
  inline bool name(long double x) noexcept { return fpclassify(x) test; }
IP232_CLASS(isfinite, <= 0)
IP232_CLASS(isinf, == FP_INFINITE)
IP232_CLASS(isnan, == FP_NAN)
IP232_CLASS(isnormal, == FP_NORMAL)
#undef IP232_CLASS
// _fpcomp's bits: 1 less, 2 equal, 4 greater; 0 unordered.
#define IP232_COMPARE(name, test) \
  template <class T> inline bool name(T x, T y) noexcept { \
    return (_fpcomp(x, y) test); \
  }
IP232_COMPARE(isgreater, &4)
IP232_COMPARE(isgreaterequal, &6)
IP232_COMPARE(isless, &1)
IP232_COMPARE(islessequal, &3)
IP232_COMPARE(islessgreater, &5)
IP232_COMPARE(isunordered, == 0)
#undef IP232_COMPARE
}
#endif

#endif  // IP232_MSVC_RUNTIME_MATH_H_
