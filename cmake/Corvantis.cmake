# Helpers shared by the test, bench and fuzz folders.

# Sources of a folder, found by pattern so that new units need no list edits.
function(corvantis_glob out dir pattern)
  file(GLOB files CONFIGURE_DEPENDS ${dir}/${pattern})
  list(SORT files)
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# One GoogleTest program per test source: corvantis_add_test(NAME SOURCES ... LABELS ... [LIBS ...]
# [TIMEOUT s] [EMULATOR cmd...]). Every discovered test gets a ctest TIMEOUT.
function(corvantis_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LABELS;LIBS;EMULATOR" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE corvantis_testkit ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    CORVANTIS_UPDATER_PATH="$<TARGET_FILE:updater>"
    CORVANTIS_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    CORVANTIS_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_dependencies(${name} updater)
  if(T_EMULATOR)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${T_EMULATOR}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} SKIP_RETURN_CODE 77)
  # Discovery splits a list-valued property into words, so the labels are set afterwards on
  # the tests it found (the NAME_TESTS list of the discovered tests file).
  set(label_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
  file(WRITE "${label_file}"
    "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${label_file}")
endfunction()

# Every tests/DIR/test_*.cpp becomes one program. The file name picks extra labels:
# *_net.cpp "net", *_slow.cpp "slow", *_usb.cpp "usb" (run under umockdev-wrapper),
# *_mt.cpp "threads" (threaded tests; the only ones a ThreadSanitizer build holds),
# *_peer.cpp "peer" (against an installed third-party tool), *_peer_usb.cpp "peer" and "usb".
# A net program runs in a network namespace of its own (tests/support/netns-run): "lo" unless
# the name ends _lo2_net or _veth_net. _mt before the namespace suffix (_mt_net, _mt_veth_net,
# ...) makes a threaded net program. *_usb_net.cpp runs under umockdev inside an "lo" namespace,
# *_lo2_usb.cpp inside a lo2 namespace (labels usb and net). _slow before _net, _lo2_net,
# _veth_net, _usb, _usb_net or _lo2_usb makes a program slow as well (300 s).
function(corvantis_add_test_dir dir label)
  corvantis_glob(srcs ${CMAKE_CURRENT_SOURCE_DIR} "test_*.cpp")
  foreach(src ${srcs})
    get_filename_component(base ${src} NAME_WE)
    set(threaded OFF)
    if(base MATCHES "_mt$" OR base MATCHES "_mt(_(lo2|veth|slow))?_net$")
      set(threaded ON)
    endif()
    if(CORVANTIS_TSAN AND NOT threaded)
      continue()
    endif()
    set(labels ${label})
    if(threaded)
      list(APPEND labels threads)
    endif()
    set(emulator "")
    set(timeout 60)
    if(base MATCHES "_net$")
      list(APPEND labels net)
      set(variant lo)
      if(base MATCHES "_(lo2|veth)_net$")
        set(variant ${CMAKE_MATCH_1})
      endif()
      set(emulator ${PROJECT_SOURCE_DIR}/tests/support/netns-run ${variant})
    endif()
    if(base MATCHES "_peer$")
      list(APPEND labels peer)
    endif()
    set(slow OFF)
    if(base MATCHES "_slow(_net|_lo2_net|_veth_net|_usb|_usb_net|_lo2_usb)?$")
      set(slow ON)
      list(APPEND labels slow)
      set(timeout 300)
    endif()
    if(base MATCHES "_usb(_net)?$")
      set(labels usb)
      if(base MATCHES "_peer_usb$")
        set(labels peer usb)
      endif()
      find_program(UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)
      # umockdev-wrapper, with ASAN_OPTIONS=verify_asan_link_order=0 added (discovery included).
      set(emulator ${PROJECT_SOURCE_DIR}/tests/support/umockdev-run)
      if(base MATCHES "_lo2_usb$")
        list(APPEND labels net)
        set(emulator ${PROJECT_SOURCE_DIR}/tests/support/netns-run lo2 ${emulator})
      elseif(base MATCHES "_usb_net$")
        list(APPEND labels net)
        set(emulator ${PROJECT_SOURCE_DIR}/tests/support/netns-run lo ${emulator})
      endif()
      if(slow)
        list(APPEND labels slow)
      endif()
    endif()
    corvantis_add_test(${dir}_${base} SOURCES ${src} LABELS ${labels} TIMEOUT ${timeout}
      LIBS corvantis updater_core corvantis_api EMULATOR ${emulator})
  endforeach()
endfunction()

# A benchmark program: prints lines "bench NAME: VALUE UNIT; baseline BASE: VALUE UNIT; ratio R".
function(corvantis_add_bench name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/bench)
  target_link_libraries(${name} PRIVATE corvantis updater_core corvantis_api corvantis_testkit)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench)
endfunction()

# A libFuzzer target; its committed seed corpus is fuzz/corpus/NAME/.
function(corvantis_add_fuzzer name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE corvantis updater_core corvantis_api corvantis_testkit)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzz)
endfunction()
