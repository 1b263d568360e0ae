// Stands in for the parts of the VC runtime's static library (msvcrt.lib)
// that every module of the MSVC ABI links in, beside its entry point
// (dll_start.cpp, exe_start.cpp): the initializer tables, atexit for this
// module, the TLS directory, thread-safe local statics, the replaceable
// allocation functions over the C runtime's heap, type_info's vtable and a
// few data symbols the compiler and the C++ library refer to, the stack
// cookie check and thread_local destructors. Each module
// gets its own copy, as with the real static library.

#include <corecrt_startup.h>
#include <limits.h>
#include <malloc.h>
#include <windows.h>

#include <new>
#include <typeinfo>

#include "crt_start.h"

extern "C" {

// The linker sorts sections of one name by the part after '$', so these
// bracket the compiler's initializer entries (.CRT$XCU for C++ dynamic
// initialization, .CRT$XIU for C) and its TLS callbacks (.CRT$XLx).
#pragma section(".CRT$XCA", long, read)
#pragma section(".CRT$XCZ", long, read)
#pragma section(".CRT$XIA", long, read)
#pragma section(".CRT$XIZ", long, read)
#pragma section(".CRT$XLA", long, read)
#pragma section(".CRT$XLD", long, read)
#pragma section(".CRT$XLZ", long, read)
#pragma section(".rdata$T", long, read)
__declspec(allocate(".CRT$XCA")) _PVFV __xc_a[] = {nullptr};
__declspec(allocate(".CRT$XCZ")) _PVFV __xc_z[] = {nullptr};
__declspec(allocate(".CRT$XIA")) _PIFV __xi_a[] = {nullptr};
__declspec(allocate(".CRT$XIZ")) _PIFV __xi_z[] = {nullptr};
__declspec(allocate(".CRT$XLA")) PIMAGE_TLS_CALLBACK __xl_a = nullptr;
__declspec(allocate(".CRT$XLZ")) PIMAGE_TLS_CALLBACK __xl_z = nullptr;

// The TLS directory: thread_local data (.tls$) lies between these two, and
// the loader stores this module's slot in _tls_index.
ULONG _tls_index = 0;
#pragma data_seg(".tls")
__declspec(allocate(".tls")) char _tls_start = 0;
#pragma data_seg(".tls$ZZZ")
__declspec(allocate(".tls$ZZZ")) char _tls_end = 0;
#pragma data_seg()
__declspec(allocate(".rdata$T")) extern const IMAGE_TLS_DIRECTORY64 _tls_used = {
    reinterpret_cast<ULONGLONG>(&_tls_start),
    reinterpret_cast<ULONGLONG>(&_tls_end),
    reinterpret_cast<ULONGLONG>(&_tls_index),
    reinterpret_cast<ULONGLONG>(&__xl_a + 1), 0, 0};

// The compiler's marker that floating point is used.
int _fltused = 0x9875;
// The C++ library picks its bit-counting code by this; 0 asks for the
// portable forms.
int __isa_available = 0;
// The undecorated names that type_info::name() has made for this module.
alignas(16) struct __type_info_node {
  void* head[2];
} __type_info_root_node = {};
void __cdecl __std_type_info_destroy_list(__type_info_node* root);
// The new handler that std::set_new_handler installs, called when the heap
// is exhausted; 0 when there is none or it gave up.
int __cdecl _callnewh(size_t size);
_ACRTIMP void __cdecl _initterm(_PVFV* first, _PVFV* last);
_ACRTIMP int __cdecl _initterm_e(_PIFV* first, _PIFV* last);

}  // extern "C"

namespace {

_onexit_table_t module_exit_table = {};

// Thread-safe local statics. A guard is 0 before its first use, -1 while
// one thread runs the initializer, and then an epoch that tells the
// compiler's fast path (guard > _Init_thread_epoch) that it is done.
constexpr int kUninitialized = 0;
constexpr int kBeingInitialized = -1;
SRWLOCK static_init_lock = SRWLOCK_INIT;
CONDITION_VARIABLE static_init_done = CONDITION_VARIABLE_INIT;

}  // namespace

extern "C" {

int _Init_global_epoch = INT_MIN;
__declspec(thread) int _Init_thread_epoch = INT_MIN;

void __cdecl _Init_thread_header(int* guard) {
  AcquireSRWLockExclusive(&static_init_lock);
  if (*guard == kUninitialized) {
    *guard = kBeingInitialized;
  } else {
    while (*guard == kBeingInitialized) {
      SleepConditionVariableSRW(&static_init_done, &static_init_lock, INFINITE,
                                0);
      // The other thread's initializer threw: this one takes over.
      if (*guard == kUninitialized) {
        *guard = kBeingInitialized;
        ReleaseSRWLockExclusive(&static_init_lock);
        return;
      }
    }
    _Init_thread_epoch = _Init_global_epoch;
  }
  ReleaseSRWLockExclusive(&static_init_lock);
}

void __cdecl _Init_thread_abort(int* guard) {
  AcquireSRWLockExclusive(&static_init_lock);
  *guard = kUninitialized;
  ReleaseSRWLockExclusive(&static_init_lock);
  WakeAllConditionVariable(&static_init_done);
}

void __cdecl _Init_thread_footer(int* guard) {
  AcquireSRWLockExclusive(&static_init_lock);
  ++_Init_global_epoch;
  *guard = _Init_global_epoch;
  _Init_thread_epoch = _Init_global_epoch;
  ReleaseSRWLockExclusive(&static_init_lock);
  WakeAllConditionVariable(&static_init_done);
}

// Destructors of this module's statics run when the module ends: at
// DLL_PROCESS_DETACH for a DLL, from exit() for a program.
int __cdecl atexit(_PVFV function) {
  return _register_onexit_function(&module_exit_table,
                                   reinterpret_cast<_onexit_t>(function)) == 0
             ? 0
             : -1;
}

// Stack buffer checks (/GS, which GoogleTest's build asks for): the cookie
// a function keeps below its buffers must be intact when it returns.
unsigned long long __security_cookie = 0x2B992DDFA232ull;
void __cdecl __security_check_cookie(unsigned long long cookie) {
  if (cookie != __security_cookie) __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

}  // extern "C"

// Destructors of thread_local objects: registered by the thread that made
// them, run by the loader's TLS callback when that thread ends.
namespace {

__declspec(thread) _PVFV* thread_exit_functions = nullptr;
__declspec(thread) size_t thread_exit_count = 0;
__declspec(thread) size_t thread_exit_capacity = 0;

void NTAPI run_thread_exit_functions(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_THREAD_DETACH && reason != DLL_PROCESS_DETACH) return;
  while (thread_exit_count > 0) thread_exit_functions[--thread_exit_count]();
  free(thread_exit_functions);
  thread_exit_functions = nullptr;
  thread_exit_capacity = 0;
}

}  // namespace

extern "C" {

__declspec(allocate(".CRT$XLD")) PIMAGE_TLS_CALLBACK __xl_d =
    run_thread_exit_functions;

int __cdecl __tlregdtor(_PVFV function) {
  if (thread_exit_count == thread_exit_capacity) {
    const size_t capacity = thread_exit_capacity == 0 ? 8 : 2 * thread_exit_capacity;
    void* grown = realloc(thread_exit_functions, capacity * sizeof(_PVFV));
    if (grown == nullptr) return -1;
    thread_exit_functions = static_cast<_PVFV*>(grown);
    thread_exit_capacity = capacity;
  }
  thread_exit_functions[thread_exit_count++] = function;
  return 0;
}

}  // extern "C"

namespace ip232_crt {

bool start_module() {
  if (_initialize_onexit_table(&module_exit_table) != 0) return false;
  if (_initterm_e(__xi_a, __xi_z) != 0) return false;
  _initterm(__xc_a, __xc_z);
  return true;
}

void end_module() {
  _execute_onexit_table(&module_exit_table);
  __std_type_info_destroy_list(&__type_info_root_node);
}

}  // namespace ip232_crt

// type_info's destructor is virtual, so every type descriptor the compiler
// emits points at its vtable, which the runtime's static part defines. The
// compiler emits it for no definition here (type_info has no constructor),
// so it is spelt out under its decorated name: one slot, the deleting
// destructor, never called (type descriptors are never destroyed).
type_info::~type_info() noexcept {}
namespace {
void __cdecl type_info_deleting_destructor(void*, unsigned) {}
}  // namespace
extern "C" const void* const ip232_type_info_vftable[] __asm__(
    "??_7type_info@@6B@") = {
    reinterpret_cast<const void*>(&type_info_deleting_destructor)};

namespace std {
const nothrow_t nothrow{};
}

namespace {

void* allocate(size_t size) {
  if (size == 0) size = 1;
  for (;;) {
    if (void* block = malloc(size)) return block;
    if (_callnewh(size) == 0) throw std::bad_alloc();
  }
}

void* allocate_aligned(size_t size, std::align_val_t alignment) {
  if (size == 0) size = 1;
  for (;;) {
    if (void* block = _aligned_malloc(size, static_cast<size_t>(alignment))) {
      return block;
    }
    if (_callnewh(size) == 0) throw std::bad_alloc();
  }
}

}  // namespace

void* __cdecl operator new(size_t size) { return allocate(size); }
void* __cdecl operator new[](size_t size) { return allocate(size); }
void* __cdecl operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* __cdecl operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void __cdecl operator delete(void* block) noexcept { free(block); }
void __cdecl operator delete[](void* block) noexcept { free(block); }
void __cdecl operator delete(void* block, size_t) noexcept { free(block); }
void __cdecl operator delete[](void* block, size_t) noexcept { free(block); }
void __cdecl operator delete(void* block, const std::nothrow_t&) noexcept {
  free(block);
}
void __cdecl operator delete[](void* block, const std::nothrow_t&) noexcept {
  free(block);
}

void* __cdecl operator new(size_t size, std::align_val_t alignment) {
  return allocate_aligned(size, alignment);
}
void* __cdecl operator new[](size_t size, std::align_val_t alignment) {
  return allocate_aligned(size, alignment);
}
void* __cdecl operator new(size_t size, std::align_val_t alignment,
                           const std::nothrow_t&) noexcept {
  try {
    return allocate_aligned(size, alignment);
  } catch (...) {
    return nullptr;
  }
}
void* __cdecl operator new[](size_t size, std::align_val_t alignment,
                             const std::nothrow_t& tag) noexcept {
  return operator new(size, alignment, tag);
}
void __cdecl operator delete(void* block, std::align_val_t) noexcept {
  _aligned_free(block);
}
void __cdecl operator delete[](void* block, std::align_val_t) noexcept {
  _aligned_free(block);
}
void __cdecl operator delete(void* block, size_t, std::align_val_t) noexcept {
  _aligned_free(block);
}
void __cdecl operator delete[](void* block, size_t, std::align_val_t) noexcept {
  _aligned_free(block);
}
void __cdecl operator delete(void* block, std::align_val_t,
                             const std::nothrow_t&) noexcept {
  _aligned_free(block);
}
void __cdecl operator delete[](void* block, std::align_val_t,
                               const std::nothrow_t&) noexcept {
  _aligned_free(block);
}
