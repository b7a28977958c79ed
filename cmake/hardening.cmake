# Hardening flags for every target of the project, as Debian asks of each packaged binary.
# Included from the top-level CMakeLists.txt before any target exists.
include(CheckPIESupported)
include(CheckCXXCompilerFlag)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong)
# Stack clash and control-flow protection where the compiler has them for this processor (the linker
# marks a program as protected only once the system's start files are built so too).
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "QUORBEL_HAS${flag}" known)
  check_cxx_compiler_flag(${flag} ${known})
  if(${known})
    add_compile_options(${flag})
  endif()
endforeach()
add_link_options(LINKER:-z,relro LINKER:-z,now)
# _FORTIFY_SOURCE works only with optimisation (and warns, so fails under -Werror, without it); the
# sanitizers check the same calls themselves.
if(NOT QUORBEL_SANITIZE)
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
