# bastion_add_test(<name>
#     SOURCES <files...>
#     LIBS <libraries...>
#     LABEL unit|integration|system
#     [CONCURRENCY]          also run under ThreadSanitizer (label "concurrency")
#     [TIMEOUT <seconds>])   per test case; defaults by label
#
# Creates one GoogleTest binary and registers each of its cases with CTest.
set_property(GLOBAL PROPERTY BASTION_CONCURRENCY_TESTS "")

# GoogleTest's header is the heaviest part of most test sources: it is precompiled once,
# in a target of its own that is built with the same flags as the test executables (an
# executable, so that it gets the same position-independence flag), and every test reuses
# it. The owner stays out of `all`; the tests that reuse it pull it in.
add_executable(bastion_test_pch EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/TestPch.cpp)
target_link_libraries(bastion_test_pch PRIVATE GTest::gmock GTest::gtest GTest::gtest_main Threads::Threads)
target_precompile_headers(bastion_test_pch PRIVATE <gtest/gtest.h>)
# ccache refuses sources that use a precompiled header unless told to trust it, which would
# leave every test uncached in a ccache build.
set(_bastion_test_launcher "")
if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
    set(_bastion_test_launcher ${CMAKE_COMMAND} -E env
        CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
        ${CMAKE_CXX_COMPILER_LAUNCHER})
    set_property(TARGET bastion_test_pch PROPERTY CXX_COMPILER_LAUNCHER ${_bastion_test_launcher})
endif()

function(bastion_add_test name)
    cmake_parse_arguments(T "CONCURRENCY" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT T_LABEL MATCHES "^(unit|integration|system)$")
        message(FATAL_ERROR "bastion_add_test(${name}): LABEL must be unit, integration or system")
    endif()
    if(NOT T_TIMEOUT)
        if(T_LABEL STREQUAL "unit")
            set(T_TIMEOUT 60)
        elseif(T_LABEL STREQUAL "integration")
            set(T_TIMEOUT 120)
        else()
            set(T_TIMEOUT 300)
        endif()
    endif()
    # gtest_discover_tests cannot carry a list-valued property through to the generated
    # CTest script, so a concurrent test gets the one label "<cost>-concurrency", which
    # both `ctest -L <cost>` and `ctest -L concurrency` select (labels are regexes).
    set(labels ${T_LABEL})
    if(T_CONCURRENCY)
        set(labels ${T_LABEL}-concurrency)
        set_property(GLOBAL APPEND PROPERTY BASTION_CONCURRENCY_TESTS ${name})
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest GTest::gtest_main Threads::Threads)
    target_precompile_headers(${name} REUSE_FROM bastion_test_pch)
    if(_bastion_test_launcher)
        set_property(TARGET ${name} PROPERTY CXX_COMPILER_LAUNCHER ${_bastion_test_launcher})
    endif()
    gtest_discover_tests(${name}
        PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT}
        DISCOVERY_TIMEOUT 60)
endfunction()

# The ThreadSanitizer pass builds only the concurrent tests.
function(bastion_finish_tests)
    get_property(conc GLOBAL PROPERTY BASTION_CONCURRENCY_TESTS)
    add_custom_target(concurrency_tests)
    if(conc)
        add_dependencies(concurrency_tests ${conc})
    endif()
endfunction()
