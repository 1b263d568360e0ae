# Cross build for Windows x64 in the MSVC C++ ABI: clang-cl and lld-link,
# the MSVC C++ standard library's open-source headers (IP232_MSVC_STL_DIR),
# Wine's C runtime and Windows headers, import libraries made from Wine's
# own PE DLLs, and the project's stand-ins for the VC runtime's headers and
# static start-up part (msvc_runtime/). Release layouts only (/MD). Tests
# run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(IP232_LLVM_SUFFIX "-14" CACHE STRING "Suffix of the LLVM tools' names")
set(CMAKE_C_COMPILER clang-cl${IP232_LLVM_SUFFIX})
set(CMAKE_CXX_COMPILER clang-cl${IP232_LLVM_SUFFIX})
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_LINKER lld-link${IP232_LLVM_SUFFIX})
set(CMAKE_AR llvm-lib${IP232_LLVM_SUFFIX})
set(CMAKE_RC_COMPILER llvm-rc${IP232_LLVM_SUFFIX})
set(CMAKE_MT llvm-mt${IP232_LLVM_SUFFIX})
set(CMAKE_OBJDUMP llvm-objdump${IP232_LLVM_SUFFIX})

set(IP232_MSVC_STL_DIR "${CMAKE_CURRENT_LIST_DIR}/../../shared/msvc-stl"
  CACHE PATH "The MSVC C++ standard library (microsoft/STL, tag vs-2022-17.4)")
set(IP232_WINE_INCLUDE_DIR "/usr/include/wine/wine" CACHE PATH
  "Wine's msvcrt and windows header folders (Debian package libwine-dev)")
set(IP232_WINE_PE_DIR "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows" CACHE PATH
  "Wine's PE DLLs, from which the import libraries are made")
get_filename_component(IP232_MSVC_STL_DIR "${IP232_MSVC_STL_DIR}" ABSOLUTE)
get_filename_component(ip232_runtime_include
  "${CMAKE_CURRENT_LIST_DIR}/../msvc_runtime/include" ABSOLUTE)

# Headers: the library's, the stand-ins for the VC runtime's, then Wine's
# C runtime and Windows headers, all as system headers.
set(ip232_includes "")
foreach(dir "${IP232_MSVC_STL_DIR}/stl/inc" "${ip232_runtime_include}"
            "${IP232_WINE_INCLUDE_DIR}/msvcrt" "${IP232_WINE_INCLUDE_DIR}/windows")
  string(APPEND ip232_includes " /imsvc \"${dir}\"")
endforeach()

# The compiler version the library's headers expect; exceptions; no
# security cookie (its start-up part is not built); the library's
# vectorised algorithms are assembly that clang does not build; WCHAR is
# wchar_t; Windows headers may define keywords as macros, but not min and
# max; Wine's inline
# 128-bit compare-exchange takes another name than clang's built-in.
set(ip232_flags "-fms-compatibility-version=19.34 /EHsc /GS- /Zc:__cplusplus\
 -D_CRT_NOPRAGMA_LIBS -D_USE_STD_VECTOR_ALGORITHMS=0 -DWINE_UNICODE_NATIVE\
 -D_ALLOW_KEYWORD_MACROS -DNOMINMAX\
 -D_InterlockedCompareExchange128=__wine_InterlockedCompareExchange128\
${ip232_includes}")
set(CMAKE_C_FLAGS_INIT "${ip232_flags}")
set(CMAKE_CXX_FLAGS_INIT "${ip232_flags}")
set(CMAKE_MSVC_RUNTIME_LIBRARY MultiThreadedDLL)

# Nothing is linked by default: the build names the runtime's import
# libraries and the start-up part itself (msvc_runtime/CMakeLists.txt).
set(ip232_link "/nodefaultlib /manifest:no")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ip232_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ip232_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${ip232_link}")
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "Libraries every C module links")
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "Libraries every C++ module links")
# The compiler checks cannot link before the runtime is built.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(IP232_MSVC_RUNTIME ON)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(IP232_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${IP232_WINE})

# Resources: llvm-rc with Wine's Windows headers (winver.h).
set(CMAKE_RC_FLAGS_INIT "/I \"${IP232_WINE_INCLUDE_DIR}/windows\"")

# Threads are Windows threads. The checks of FindThreads would only compile
# (see CMAKE_TRY_COMPILE_TARGET_TYPE) and so find a pthread library.
set(CMAKE_HAVE_PTHREAD_H FALSE CACHE INTERNAL "")
set(CMAKE_HAVE_LIBC_PTHREAD FALSE CACHE INTERNAL "")
set(CMAKE_HAVE_PTHREADS_CREATE FALSE CACHE INTERNAL "")
set(CMAKE_HAVE_PTHREAD_CREATE FALSE CACHE INTERNAL "")
