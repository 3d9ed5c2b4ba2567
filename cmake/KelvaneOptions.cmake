# One place that says how every target is compiled: standard, warnings, sanitizers, fuzzing.
option(KELVANE_ASAN "Build with AddressSanitizer" OFF)
option(KELVANE_UBSAN "Build with UndefinedBehaviorSanitizer" OFF)
option(KELVANE_TSAN "Build with ThreadSanitizer" OFF)
option(KELVANE_FUZZ "Build the libFuzzer harnesses (clang only)" OFF)
# Warnings are errors for developers and CI, never for someone building a release with another
# compiler version: a new warning must not stop them from getting a working program.
if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$")
    set(_kelvane_werror_default OFF)
else()
    set(_kelvane_werror_default ON)
endif()
option(KELVANE_WERROR "Treat compiler warnings as errors (default: on, off for Release builds)"
    ${_kelvane_werror_default})

add_library(kelvane_options INTERFACE)
target_compile_features(kelvane_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(kelvane_options INTERFACE
    -Wall -Wextra -Wpedantic
    $<$<BOOL:${KELVANE_WERROR}>:-Werror>
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor>)
target_compile_definitions(kelvane_options INTERFACE _GNU_SOURCE)

set(_kelvane_san "")
if(KELVANE_ASAN)
    list(APPEND _kelvane_san address)
endif()
if(KELVANE_UBSAN)
    list(APPEND _kelvane_san undefined)
endif()
if(KELVANE_TSAN)
    list(APPEND _kelvane_san thread)
endif()
if(KELVANE_FUZZ)
    list(APPEND _kelvane_san fuzzer-no-link address undefined)
endif()
if(_kelvane_san)
    list(JOIN _kelvane_san "," _kelvane_san_list)
    target_compile_options(kelvane_options INTERFACE
        -fsanitize=${_kelvane_san_list} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    string(REPLACE "fuzzer-no-link," "" _kelvane_link_san "${_kelvane_san_list}")
    target_link_options(kelvane_options INTERFACE -fsanitize=${_kelvane_link_san})
    # GCC's flow analysis reports false "maybe uninitialized" inside libstdc++ (std::function in
    # <regex>) once sanitizer instrumentation is in; the plain build keeps the warning.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(kelvane_options INTERFACE -Wno-maybe-uninitialized)
    endif()
endif()
