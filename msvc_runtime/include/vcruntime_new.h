// Stands in for the VC runtime's <vcruntime_new.h>: the allocation and
// deallocation functions the language declares, std::nothrow_t and
// std::align_val_t. The replaceable ones are defined in
// msvc_runtime/crt_start.cpp, as the runtime's static part defines them.
#ifndef IP232_MSVC_RUNTIME_VCRUNTIME_NEW_H_
#define IP232_MSVC_RUNTIME_VCRUNTIME_NEW_H_
#define __NOTHROW_T_DEFINED
#define __PLACEMENT_NEW_INLINE
#define __PLACEMENT_VEC_NEW_INLINE

#include <vcruntime.h>

#pragma pack(push, _CRT_PACKING)
extern "C++" {

namespace std {
struct nothrow_t {
  explicit nothrow_t() = default;
};
extern nothrow_t const nothrow;
enum class align_val_t : size_t {};
}  // namespace std

[[nodiscard]] void* __cdecl operator new(size_t size);
[[nodiscard]] void* __cdecl operator new(size_t size,
                                         std::nothrow_t const&) noexcept;
[[nodiscard]] void* __cdecl operator new[](size_t size);
[[nodiscard]] void* __cdecl operator new[](size_t size,
                                           std::nothrow_t const&) noexcept;
void __cdecl operator delete(void* block) noexcept;
void __cdecl operator delete(void* block, std::nothrow_t const&) noexcept;
void __cdecl operator delete[](void* block) noexcept;
void __cdecl operator delete[](void* block, std::nothrow_t const&) noexcept;
void __cdecl operator delete(void* block, size_t size) noexcept;
void __cdecl operator delete[](void* block, size_t size) noexcept;

[[nodiscard]] void* __cdecl operator new(size_t size, std::align_val_t al);
[[nodiscard]] void* __cdecl operator new(size_t size, std::align_val_t al,
                                         std::nothrow_t const&) noexcept;
[[nodiscard]] void* __cdecl operator new[](size_t size, std::align_val_t al);
[[nodiscard]] void* __cdecl operator new[](size_t size, std::align_val_t al,
                                           std::nothrow_t const&) noexcept;
void __cdecl operator delete(void* block, std::align_val_t al) noexcept;
void __cdecl operator delete(void* block, std::align_val_t al,
                             std::nothrow_t const&) noexcept;
void __cdecl operator delete[](void* block, std::align_val_t al) noexcept;
void __cdecl operator delete[](void* block, std::align_val_t al,
                               std::nothrow_t const&) noexcept;
void __cdecl operator delete(void* block, size_t size,
                             std::align_val_t al) noexcept;
void __cdecl operator delete[](void* block, size_t size,
                               std::align_val_t al) noexcept;

[[nodiscard]] inline void* __cdecl operator new(size_t, void* where) noexcept {
  return where;
}
inline void __cdecl operator delete(void*, void*) noexcept {}
[[nodiscard]] inline void* __cdecl operator new[](size_t,
                                                  void* where) noexcept {
  return where;
}
inline void __cdecl operator delete[](void*, void*) noexcept {}

}  // extern "C++"
#pragma pack(pop)

#endif  // IP232_MSVC_RUNTIME_VCRUNTIME_NEW_H_
