# vm_add_layer(NAME DEPS dep...)
# Builds every .cpp in the calling folder into the static library vm_NAME.
# A folder without sources yet becomes an INTERFACE library so that the
# layers above it can already name it. DEPS is the layer graph: the folder
# may include (#include "folder/...") only its own headers and those of the
# layers DEPS reaches, which vm_check_layer_includes enforces in the build.
function(vm_add_layer name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  vm_register_layer(${name} DEPS ${ARG_DEPS})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(deps)
  foreach(d IN LISTS ARG_DEPS)
    list(APPEND deps vm_${d})
  endforeach()
  if(sources)
    add_library(vm_${name} STATIC ${sources})
    vm_unity(vm_${name})
    target_include_directories(vm_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(vm_${name} PUBLIC ${deps} Threads::Threads)
  else()
    add_library(vm_${name} INTERFACE)
    target_include_directories(vm_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(vm_${name} INTERFACE ${deps} Threads::Threads)
  endif()
endfunction()

# vm_unity(TARGET)
# With VM_UNITY (./dev test), the target's sources are compiled a few at a
# time as one file each: the headers they share are parsed once per batch
# instead of once per file. Names local to a file (anonymous namespace,
# static) must therefore differ between the files of one library.
function(vm_unity target)
  if(VM_UNITY)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${VM_UNITY_BATCH})
  endif()
endfunction()

# vm_register_layer(NAME DEPS dep...)
# Records the calling folder (as its include prefix below src/, e.g.
# "storage/file") as layer NAME with the layers it may use.
function(vm_register_layer name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(RELATIVE_PATH prefix ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  set_property(GLOBAL APPEND PROPERTY VM_LAYERS ${name})
  set_property(GLOBAL PROPERTY VM_LAYER_${name}_PREFIX ${prefix})
  set_property(GLOBAL PROPERTY VM_LAYER_${name}_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  set_property(GLOBAL PROPERTY VM_LAYER_${name}_DEPS ${ARG_DEPS})
endfunction()

# The layers `name` may use: itself and every layer its DEPS reach.
function(vm_layer_closure name out)
  set(seen)
  set(todo ${name})
  while(todo)
    list(POP_FRONT todo l)
    if(NOT l IN_LIST seen)
      list(APPEND seen ${l})
      get_property(deps GLOBAL PROPERTY VM_LAYER_${l}_DEPS)
      list(APPEND todo ${deps})
    endif()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# vm_check_layer_includes()
# Called once every layer is registered. Each layer's library depends on a
# check (cmake/CheckLayerIncludes.cmake) that reads the #include "..." lines
# of its folder and fails the build, naming file and line, on an include of
# a layer its DEPS do not reach: a higher layer or one beside it.
function(vm_check_layer_includes)
  get_property(layers GLOBAL PROPERTY VM_LAYERS)
  set(known)
  foreach(l IN LISTS layers)
    get_property(p GLOBAL PROPERTY VM_LAYER_${l}_PREFIX)
    list(APPEND known ${p})
  endforeach()
  foreach(l IN LISTS layers)
    get_property(dir GLOBAL PROPERTY VM_LAYER_${l}_DIR)
    file(GLOB files CONFIGURE_DEPENDS ${dir}/*.h ${dir}/*.cpp)
    if(NOT files OR NOT TARGET vm_${l})
      continue()
    endif()
    vm_layer_closure(${l} reach)
    set(allowed)
    foreach(r IN LISTS reach)
      get_property(p GLOBAL PROPERTY VM_LAYER_${r}_PREFIX)
      list(APPEND allowed ${p})
    endforeach()
    set(out ${PROJECT_BINARY_DIR}/layer_checks/${l})
    file(CONFIGURE OUTPUT ${out}.cmake CONTENT
         "set(LAYER \"${l}\")\nset(ALLOWED \"${allowed}\")\nset(KNOWN \"${known}\")\nset(FILES \"${files}\")\n")
    add_custom_command(OUTPUT ${out}.stamp
      COMMAND ${CMAKE_COMMAND} -DCONFIG=${out}.cmake -DSTAMP=${out}.stamp
              -DROOT=${PROJECT_SOURCE_DIR} -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayerIncludes.cmake
      DEPENDS ${files} ${out}.cmake ${PROJECT_SOURCE_DIR}/cmake/CheckLayerIncludes.cmake
      COMMENT "Checking the includes of layer ${l}"
      VERBATIM)
    add_custom_target(vm_${l}_includes DEPENDS ${out}.stamp)
    add_dependencies(vm_${l} vm_${l}_includes)
  endforeach()
endfunction()

# vm_test_flags(TARGET)
# Test code is built without optimisation in every tree: it checks the
# libraries, which keep their tree's flags, and compiles in about half the
# time. It is position-independent, as the Qt tests must be, so that one
# precompiled header (GoogleTest and GoogleMock, which every test file would
# otherwise parse again) serves every test target: GCC refuses a header
# built with other such flags. A compiler cache (CMAKE_CXX_COMPILER_LAUNCHER)
# cannot keep objects built with a precompiled header, so there is none then.
function(vm_test_flags target)
  target_compile_options(${target} PRIVATE -O0 -fPIC)
  if(CMAKE_CXX_COMPILER_LAUNCHER)
    return()
  endif()
  if(NOT TARGET vm_test_pch)
    file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/vm_test_pch.cpp CONTENT "// the header only\n")
    add_library(vm_test_pch OBJECT ${PROJECT_BINARY_DIR}/vm_test_pch.cpp)
    target_link_libraries(vm_test_pch PUBLIC GTest::gtest GTest::gmock)
    target_compile_options(vm_test_pch PRIVATE -O0 -fPIC)
    target_precompile_headers(vm_test_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
  endif()
  target_precompile_headers(${target} REUSE_FROM vm_test_pch)
endfunction()

# vm_add_tests(LAYER LIBS lib... [LABELS label...])
# Every tests/LAYER/*_test.cpp is one test executable and one ctest entry.
# The other .cpp files of the folder form a support library linked into each.
# Every test executable is also added to the target all_tests (with the
# programs the tests start), which is what the test trees build.
function(vm_add_tests layer)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${layer}/*.cpp)
  set(tests)
  set(support)
  foreach(f IN LISTS all)
    if(f MATCHES "_test\\.cpp$")
      list(APPEND tests ${f})
    else()
      list(APPEND support ${f})
    endif()
  endforeach()
  set(support_lib)
  if(support)
    set(support_lib vm_test_support_${layer})
    add_library(${support_lib} STATIC ${support})
    target_link_libraries(${support_lib} PUBLIC ${ARG_LIBS} GTest::gtest GTest::gmock)
    target_include_directories(${support_lib} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    vm_test_flags(${support_lib})
  endif()
  foreach(t IN LISTS tests)
    get_filename_component(base ${t} NAME_WE)
    set(exe ${layer}_${base})
    add_executable(${exe} ${t})
    target_include_directories(${exe} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${exe} PRIVATE ${support_lib} ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    vm_test_flags(${exe})
    set_property(GLOBAL APPEND PROPERTY VM_TEST_TARGETS ${exe})
    add_test(NAME ${exe} COMMAND ${exe})
    set_tests_properties(${exe} PROPERTIES
      LABELS "${layer};${ARG_LABELS}"
      ENVIRONMENT "VM_SOURCE_DIR=${PROJECT_SOURCE_DIR};VM_BINARY_DIR=${PROJECT_BINARY_DIR}"
      TIMEOUT 600)
  endforeach()
endfunction()
