// Stands in for the VC runtime's <vcruntime_typeinfo.h>: type_info with the
// runtime's layout (its decorated name follows the undecorated-name cache),
// compared, hashed and named by the runtime DLL, and the exceptions of
// dynamic_cast and typeid.
#ifndef IP232_MSVC_RUNTIME_VCRUNTIME_TYPEINFO_H_
#define IP232_MSVC_RUNTIME_VCRUNTIME_TYPEINFO_H_

#include <vcruntime.h>
#include <vcruntime_exception.h>

#pragma pack(push, _CRT_PACKING)

extern "C" {
struct __std_type_info_data {
  char const* _UndecoratedName;
  char const _DecoratedName[1];
  __std_type_info_data() = delete;
  __std_type_info_data(__std_type_info_data const&) = delete;
  __std_type_info_data& operator=(__std_type_info_data const&) = delete;
};
// The list of undecorated names this module has asked for (a lock-free
// list head, 16 bytes); defined in msvc_runtime/crt_start.cpp.
struct __type_info_node;
extern __type_info_node __type_info_root_node;

_VCRTIMP int __cdecl __std_type_info_compare(__std_type_info_data const* lhs,
                                             __std_type_info_data const* rhs);
_VCRTIMP size_t __cdecl __std_type_info_hash(__std_type_info_data const* data);
_VCRTIMP char const* __cdecl __std_type_info_name(
    __std_type_info_data* data, __type_info_node* root_node);
}

extern "C++" {
class type_info {
 public:
  type_info(type_info const&) = delete;
  type_info& operator=(type_info const&) = delete;

  [[nodiscard]] size_t hash_code() const noexcept {
    return __std_type_info_hash(&_Data);
  }
  [[nodiscard]] bool operator==(type_info const& other) const noexcept {
    return __std_type_info_compare(&_Data, &other._Data) == 0;
  }
  [[nodiscard]] bool before(type_info const& other) const noexcept {
    return __std_type_info_compare(&_Data, &other._Data) < 0;
  }
  [[nodiscard]] char const* name() const noexcept {
    return __std_type_info_name(&_Data, &__type_info_root_node);
  }
  [[nodiscard]] char const* raw_name() const noexcept {
    return _Data._DecoratedName;
  }
  virtual ~type_info() noexcept;

 private:
  mutable __std_type_info_data _Data;
};
}  // extern "C++"

namespace std {
using ::type_info;

class bad_cast : public exception {
 public:
  bad_cast() noexcept : exception("bad cast", 1) {}
  static bad_cast __construct_from_string_literal(
      char const* const message) noexcept {
    return bad_cast(message, 1);
  }

 private:
  bad_cast(char const* const message, int) noexcept : exception(message, 1) {}
};

class bad_typeid : public exception {
 public:
  bad_typeid() noexcept : exception("bad typeid", 1) {}
  static bad_typeid __construct_from_string_literal(
      char const* const message) noexcept {
    return bad_typeid(message, 1);
  }

 private:
  friend class __non_rtti_object;
  bad_typeid(char const* const message, int) noexcept
      : exception(message, 1) {}
};

class __non_rtti_object : public bad_typeid {
 public:
  static __non_rtti_object __construct_from_string_literal(
      char const* const message) noexcept {
    return __non_rtti_object(message, 1);
  }

 private:
  __non_rtti_object(char const* const message, int) noexcept
      : bad_typeid(message, 1) {}
};
}  // namespace std

#pragma pack(pop)

#endif  // IP232_MSVC_RUNTIME_VCRUNTIME_TYPEINFO_H_
