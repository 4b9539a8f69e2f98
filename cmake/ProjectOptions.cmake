# Language level, warnings and Qt defines shared by every project target.
add_library(vantrel_options INTERFACE)
target_compile_features(vantrel_options INTERFACE cxx_std_20)
target_compile_options(vantrel_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow=local)
if(VANTREL_WERROR)
    target_compile_options(vantrel_options INTERFACE -Werror)
endif()
target_compile_definitions(vantrel_options INTERFACE
    QT_NO_KEYWORDS
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    QT_NO_FOREACH)
# Hardened like Debian's own packages, in every build (what the tests run is what ships): strong stack
# protector and stack-clash probes, fortified libc calls where optimising, full RELRO with immediate binding,
# and position-independent executables (Debian's compiler makes them already; other compilers are told).
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()
target_compile_options(vantrel_options INTERFACE -fstack-protector-strong -fstack-clash-protection)
if(NOT VANTREL_SANITIZE)
    target_compile_options(vantrel_options INTERFACE
        "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
target_link_options(vantrel_options INTERFACE LINKER:-z,relro LINKER:-z,now)
if(VANTREL_SANITIZE)
    target_compile_options(vantrel_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(vantrel_options INTERFACE -fsanitize=address,undefined)
endif()

# Registers one Qt Test executable with CTest.  Extra arguments are the libraries it links.
function(vantrel_add_test name)
    # WRAPPER: a program that runs the test, given the test's path (a private environment).
    cmake_parse_arguments(ARG "" "WRAPPER" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE vantrel_options Qt6::Test ${ARG_LIBS})
    add_test(NAME ${name} COMMAND ${ARG_WRAPPER} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "TZ=UTC;LANG=C.UTF-8;LC_ALL=C.UTF-8"
        TIMEOUT 300)
    if(ARG_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
endfunction()
