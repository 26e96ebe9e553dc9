# Warnings, sanitizers and the helpers every layer uses to declare its library and its tests.

set(VARNEL_WARNINGS -Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor -Wno-unused-parameter)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(VARNEL_WARNINGS -Wall -Wextra -Wpedantic -Wshadow-uncaptured-local -Wnon-virtual-dtor
      -Wno-unused-parameter -Wno-gnu-zero-variadic-macro-arguments)
endif()

if(VARNEL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VARNEL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VARNEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VARNEL_SANITIZE must be empty, 'address' or 'thread'")
endif()

# varnel_fuzz_twins(<out-var> <targets...>)
# The targets with each layer library replaced by its twin for fuzzing (<target>_fuzz, see
# varnel_library); other targets and plain library names stay as they are.
function(varnel_fuzz_twins out)
  set(twins)
  foreach(lib ${ARGN})
    if(TARGET ${lib}_fuzz)
      list(APPEND twins ${lib}_fuzz)
    else()
      list(APPEND twins ${lib})
    endif()
  endforeach()
  set(${out} ${twins} PARENT_SCOPE)
endfunction()

# varnel_library(<target> DIR <folder> [DEPS <targets...>] [PRIVATE_DEPS <targets...>])
# A layer's library: every .cpp directly in its folder; headers are included as
# "<layer>/<Header>.h" from the src/ folder.
# With VARNEL_BUILD_FUZZ on, the library also has a twin, <target>_fuzz: the same sources
# compiled with the fuzzer's coverage instrumentation (no fuzzer runtime), linked to the twins of
# its dependencies. Fuzz targets link the twins, so they steer by the branches of the code they
# test and not only by those of their harness; the tests keep the plain libraries and their
# speed. A twin is built only when a fuzz target needs it.
function(varnel_library target)
  cmake_parse_arguments(ARG "" "DIR" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${ARG_DIR}/*.cpp)
  varnel_fuzz_twins(twinDeps ${ARG_DEPS})
  varnel_fuzz_twins(twinPrivateDeps ${ARG_PRIVATE_DEPS})
  if(NOT sources)
    # A layer whose code has not been written yet still exists as a target.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
    if(VARNEL_BUILD_FUZZ)
      add_library(${target}_fuzz INTERFACE)
      target_include_directories(${target}_fuzz INTERFACE ${PROJECT_SOURCE_DIR}/src)
      target_link_libraries(${target}_fuzz INTERFACE ${twinDeps})
    endif()
    return()
  endif()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${target} PRIVATE ${VARNEL_WARNINGS})
  target_link_libraries(${target} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  if(VARNEL_BUILD_FUZZ)
    add_library(${target}_fuzz STATIC EXCLUDE_FROM_ALL ${sources})
    target_include_directories(${target}_fuzz PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(${target}_fuzz PRIVATE ${VARNEL_WARNINGS} -fsanitize=fuzzer-no-link)
    # Definitions the layer gives its library after this call reach the twin too.
    target_compile_definitions(${target}_fuzz PRIVATE $<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>)
    target_link_libraries(${target}_fuzz PUBLIC ${twinDeps} PRIVATE ${twinPrivateDeps})
  endif()
endfunction()

# varnel_test(<name> SOURCES <files...> LIBS <targets...> LABELS <labels...> [TIMEOUT <s>])
# One GoogleTest executable; each test case becomes a CTest test carrying the labels
# (unit, io, gui, e2e, concurrency).
function(varnel_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${VARNEL_WARNINGS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE VARNEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  # Labels are set after discovery from the list of discovered tests: a list of labels passed
  # through the discovery's PROPERTIES would be split, and only the first label would stick.
  set(label_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${label_script}
    "foreach(test IN LISTS ${name}_TESTS)\n"
    "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${ARG_LABELS}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_script})
endfunction()

# varnel_bench(<name> SOURCES <files...> LIBS <targets...>)
# A Google Benchmark program. scripts/test builds it; it is run by hand.
function(varnel_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${VARNEL_WARNINGS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
endfunction()

# varnel_fuzzer(<name> SOURCES <files...> LIBS <targets...> CORPUS <dir> [SECONDS <n>] [ARGS <libFuzzer flags...>])
# A libFuzzer target (clang), linked to the instrumented twins of the layer libraries in LIBS
# (see varnel_library). scripts/test runs each one for SECONDS (default 30) on a copy of its
# seed corpus; each target's line "binary|corpus|seconds|flags" is written to
# <build>/fuzzers/<name>.txt.
function(varnel_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS;SECONDS" "SOURCES;LIBS;ARGS" ${ARGN})
  if(NOT ARG_SECONDS)
    set(ARG_SECONDS 30)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${VARNEL_WARNINGS} -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  varnel_fuzz_twins(libs ${ARG_LIBS})
  target_link_libraries(${name} PRIVATE ${libs})
  string(REPLACE ";" " " args "${ARG_ARGS}")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzzers/${name}.txt
       CONTENT "$<TARGET_FILE:${name}>|${ARG_CORPUS}|${ARG_SECONDS}|${args}\n")
endfunction()

# Adds every subfolder of the current folder that has a CMakeLists.txt (tests/, bench/ and fuzz/
# hold one folder per layer). Without Qt, the folders of the Qt layers are left out.
function(varnel_add_layer_folders)
  file(GLOB children LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      get_filename_component(name ${child} NAME)
      if(NOT VARNEL_WITH_QT AND name MATCHES "^(ui|presets|firmware|conversion|apps|startup|screenshots)$")
        continue()
      endif()
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
