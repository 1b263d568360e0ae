# The runtime of the MSVC-ABI build (toolchain cmake/msvc-x86_64.cmake):
# every module links the project's stand-in for the VC runtime's static
# part, the nine static sources of the C++ library, and import libraries
# of the runtime DLLs, which are made here from Wine's own PE DLLs.
# Included before any other target is made: link_libraries() gives them
# all of it.

set(IP232_MSVC_IMPORT_DLLS msvcp140 vcruntime140 ucrtbase kernel32 ws2_32
  ntdll)
find_program(IP232_LLVM_OBJDUMP llvm-objdump${IP232_LLVM_SUFFIX} REQUIRED)
find_program(IP232_LLVM_DLLTOOL llvm-dlltool${IP232_LLVM_SUFFIX} REQUIRED)
set(import_dir ${CMAKE_BINARY_DIR}/msvc-import)
set(import_libs)
foreach(dll IN LISTS IP232_MSVC_IMPORT_DLLS)
  set(pe ${IP232_WINE_PE_DIR}/${dll}.dll)
  if(NOT EXISTS ${pe})
    message(FATAL_ERROR "${pe} not found: install Debian's wine64 package, "
      "or set IP232_WINE_PE_DIR")
  endif()
  add_custom_command(OUTPUT ${import_dir}/${dll}.lib
    COMMAND ${CMAKE_COMMAND} -DDLL=${pe} -DDEF=${import_dir}/${dll}.def
      -DLIB=${import_dir}/${dll}.lib -DOBJDUMP=${IP232_LLVM_OBJDUMP}
      -DDLLTOOL=${IP232_LLVM_DLLTOOL}
      -P ${PROJECT_SOURCE_DIR}/cmake/msvc_import_library.cmake
    DEPENDS ${pe} ${PROJECT_SOURCE_DIR}/cmake/msvc_import_library.cmake
    COMMENT "Import library ${dll}.lib from Wine's ${dll}.dll"
    VERBATIM)
  list(APPEND import_libs ${import_dir}/${dll}.lib)
endforeach()
file(MAKE_DIRECTORY ${import_dir})
add_custom_target(ip232_msvc_import_libraries DEPENDS ${import_libs})

set(stl_src ${IP232_MSVC_STL_DIR}/stl/src)
if(NOT EXISTS ${stl_src}/locale0_implib.cpp)
  message(FATAL_ERROR "IP232_MSVC_STL_DIR (${IP232_MSVC_STL_DIR}) holds no "
    "MSVC C++ library sources")
endif()
add_library(ip232_msvc_runtime STATIC
  msvc_runtime/crt_support.cpp
  msvc_runtime/dll_start.cpp
  msvc_runtime/exe_start.cpp
  ${stl_src}/charconv.cpp
  ${stl_src}/locale0_implib.cpp
  ${stl_src}/sharedmutex.cpp
  ${stl_src}/syserror_import_lib.cpp
  ${stl_src}/xcharconv_ryu_tables.cpp
  ${stl_src}/xcharconv_tables_double.cpp
  ${stl_src}/xcharconv_tables_float.cpp
  ${stl_src}/xonce2.cpp)
set_source_files_properties(
  ${stl_src}/charconv.cpp ${stl_src}/locale0_implib.cpp
  ${stl_src}/sharedmutex.cpp ${stl_src}/syserror_import_lib.cpp
  ${stl_src}/xcharconv_ryu_tables.cpp ${stl_src}/xcharconv_tables_double.cpp
  ${stl_src}/xcharconv_tables_float.cpp ${stl_src}/xonce2.cpp
  PROPERTIES COMPILE_DEFINITIONS "_CRTBLD;_VCRT_ALLOW_INTERNALS")
add_dependencies(ip232_msvc_runtime ip232_msvc_import_libraries)
# The runtime DLLs before the system's: a name that both export (memcpy)
# is taken from the one a program built by MSVC takes it from.
target_link_libraries(ip232_msvc_runtime INTERFACE ${import_libs})
# Programs name ws2_32 as MSVC does; this is the one made here.
link_directories(${import_dir})
link_libraries(ip232_msvc_runtime)
