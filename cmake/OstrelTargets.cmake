# Helpers that keep each area's CMakeLists.txt to a few lines.

# ostrel_library(<target> [SUBDIRS <folders...>] [DEPS <targets...>])
# A static library of every .cpp in the calling directory and the SUBDIRS named (folders that
# only divide one library for reading); an interface library when there is none.
# Headers are included from src/ as "Area/Sub/File.h".
function(ostrel_library name)
    cmake_parse_arguments(A "" "" "SUBDIRS;DEPS" ${ARGN})
    set(patterns "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
    foreach(sub ${A_SUBDIRS})
        list(APPEND patterns "${CMAKE_CURRENT_SOURCE_DIR}/${sub}/*.cpp")
    endforeach()
    file(GLOB sources CONFIGURE_DEPENDS ${patterns})
    if(sources)
        add_library(${name} STATIC ${sources})
        target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
        target_link_libraries(${name} PUBLIC ${A_DEPS})
    else()
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE "${PROJECT_SOURCE_DIR}/src")
        target_link_libraries(${name} INTERFACE ${A_DEPS})
    endif()
endfunction()

# ostrel_test(<target> [LABEL unit|integration] [DEPS <targets...>])
# A GoogleTest executable of every .cpp in the calling directory, registered with CTest.
function(ostrel_test name)
    cmake_parse_arguments(A "" "LABEL" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE ${A_DEPS} test_support GTest::gmock GTest::gtest_main)
    if(NOT A_LABEL)
        set(A_LABEL unit)
    endif()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS ${A_LABEL}
        ENVIRONMENT "OSTREL_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data;OSTREL_HOME=${CMAKE_BINARY_DIR}/test-home/${name};XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/test-run/${name};ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1;TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
endfunction()

# ostrel_bench(<target> <source> [DEPS <targets...>])
function(ostrel_bench name source)
    cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
    add_executable(${name} ${source})
    target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/bench")
    target_link_libraries(${name} PRIVATE ${A_DEPS} benchmark::benchmark)
endfunction()

# ostrel_fuzzer(<target> <source> [DEPS <targets...>])
function(ostrel_fuzzer name source)
    cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE ${A_DEPS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# Adds every direct subdirectory of the calling directory that has a CMakeLists.txt,
# so a new area needs no edit of its parent.
function(ostrel_add_subdirectories)
    file(GLOB children LIST_DIRECTORIES true "${CMAKE_CURRENT_SOURCE_DIR}/*")
    list(SORT children)
    foreach(child ${children})
        if(IS_DIRECTORY "${child}" AND EXISTS "${child}/CMakeLists.txt")
            add_subdirectory("${child}")
        endif()
    endforeach()
endfunction()
