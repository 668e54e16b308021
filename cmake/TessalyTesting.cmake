# tessaly_add_test(NAME n COMMAND cmd... [ENVIRONMENT k=v...] [LABELS l...] [TIMEOUT s])
# Every test runs offscreen, with the sanitizers set to stop on the first report,
# with a scratch folder of its own under the build tree, and away from the machine's card
# readers: PC/SC clients (OpenSC's module) talk to a pcscd socket nobody serves. The
# operator's data folder is the default one unless a test names its own, whatever the
# machine's XDG_CONFIG_DIRS says.
# intercept_tls_get_addr=0: GCC 12's LeakSanitizer sizes the dynamic TLS block of a library
# loaded later (libjpeg's, through Qt's image plugin) from bytes before it that are not a
# size, and its tracer then scans a range that is not mapped and dies ("Tracer caught signal
# 11") in about one window test run in seventy. Without the interception those blocks are
# still scanned: they are heap blocks reached from the thread's static TLS.
# TESSALY_TEST_FULL_STACKS, set in the folders whose programs start Qt's GUI: Qt and fontconfig
# are built without frame pointers, so the fast unwinder keeps one or two frames of an
# allocation of theirs, and tests/lsan.supp, which names their leaks by function, would not
# match them. The full unwinder about doubles the time, so the other programs keep the fast one.
set(TESSALY_TEST_ROOT ${CMAKE_BINARY_DIR}/test-scratch)
function(tessaly_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "COMMAND;ENVIRONMENT;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(unwind)
  if(TESSALY_TEST_FULL_STACKS)
    set(unwind ":fast_unwind_on_malloc=0")
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  set(env
    "QT_QPA_PLATFORM=offscreen"
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:intercept_tls_get_addr=0${unwind}"
    "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    "TESSALY_TEST_SCRATCH=${TESSALY_TEST_ROOT}/${T_NAME}"
    "TESSALY_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    "TESSALY_BINARY_DIR=${CMAKE_BINARY_DIR}"
    "SOFTHSM2_MODULE=${SOFTHSM2_MODULE}"
    "PCSCLITE_CSOCK_NAME=${TESSALY_TEST_ROOT}/no-readers/pcscd.comm"
    "XDG_CONFIG_DIRS="
    ${T_ENVIRONMENT})
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# tessaly_test(AREA a UNIT u [SOURCES s...] [LIBRARIES l...] [ENVIRONMENT k=v...] [TIMEOUT s]
#              [OUTPUT_DIRECTORY d] [LAUNCHER cmd...] [AUTOMOC])
# The naming rule in one place: the program <a>_<u>_test is built from test_<u>.cpp (and SOURCES)
# and registered as the CTest <a>_<u>. OUTPUT_DIRECTORY puts the program in a folder of its own
# (it still finds the project's libraries in bin/). LAUNCHER runs the program through a command,
# such as the fixture that gives it a desktop of its own.
function(tessaly_test)
  cmake_parse_arguments(T "AUTOMOC" "AREA;UNIT;TIMEOUT;OUTPUT_DIRECTORY" "SOURCES;LIBRARIES;ENVIRONMENT;LAUNCHER"
    ${ARGN})
  set(program ${T_AREA}_${T_UNIT}_test)
  add_executable(${program} test_${T_UNIT}.cpp ${T_SOURCES})
  target_link_libraries(${program} PRIVATE ${T_LIBRARIES})
  if(T_AUTOMOC)
    set_target_properties(${program} PROPERTIES AUTOMOC ON)
  endif()
  if(T_OUTPUT_DIRECTORY)
    set_target_properties(${program} PROPERTIES
      RUNTIME_OUTPUT_DIRECTORY ${T_OUTPUT_DIRECTORY}
      BUILD_RPATH "${CMAKE_BINARY_DIR}/bin")
  endif()
  set(timeout)
  if(T_TIMEOUT)
    set(timeout TIMEOUT ${T_TIMEOUT})
  endif()
  tessaly_add_test(NAME ${T_AREA}_${T_UNIT} COMMAND ${T_LAUNCHER} $<TARGET_FILE:${program}> ENVIRONMENT ${T_ENVIRONMENT} ${timeout})
endfunction()

# Compiles the shipped Bulgarian catalogue beside the test and names the .qm file to it as
# BULGARIAN_QM, for tests that check texts in Bulgarian.
function(tessaly_use_bulgarian_qm target)
  set(ts ${CMAKE_SOURCE_DIR}/resources/translations/tessaly_bg.ts)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/translations)
  set_source_files_properties(${ts} PROPERTIES OUTPUT_LOCATION ${dir})
  qt5_add_translation(qm ${ts})
  target_sources(${target} PRIVATE ${qm})
  target_compile_definitions(${target} PRIVATE BULGARIAN_QM="${dir}/tessaly_bg.qm")
endfunction()
