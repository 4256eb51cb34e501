# Fuzz targets: tests/fuzz/fuzz_<name>.cpp each defines LLVMFuzzerTestOneInput over one
# reader of outside input.
#
# - Every build links each with replay_main.cpp into replay_<name>, and CTest runs it over
#   the inputs kept under regressions/<name>/ (each once crashed or broke an invariant),
#   the seeds under seeds/<name>/ and, for the DICOM readers, pydicom's test files.
# - With CALVAREX_FUZZ (clang) each is also linked with libFuzzer into fuzz_<name>, and the
#   sources it drives are built with coverage feedback; scripts/fuzz runs them.
set(CALVAREX_FUZZ_DIR ${CMAKE_SOURCE_DIR}/tests/fuzz)
file(GLOB CALVAREX_FUZZ_TARGETS CONFIGURE_DEPENDS ${CALVAREX_FUZZ_DIR}/fuzz_*.cpp)

# The readers under fuzzing; coverage feedback only where it guides the fuzzer.
if(CALVAREX_FUZZ)
  set_source_files_properties(
    src/dose/DoseMessage.cpp src/dicom/ElementScan.cpp src/dicom/FileFacts.cpp
    src/dicom/DicomDir.cpp src/dicom/DcmSupport.cpp
    PROPERTIES COMPILE_OPTIONS "-fsanitize=fuzzer-no-link")
endif()

# pydicom's real-world files seed the DICOM readers, where the package is installed.
set(CALVAREX_PYDICOM_FILES /usr/lib/python3/dist-packages/pydicom/data/test_files)

foreach(src ${CALVAREX_FUZZ_TARGETS})
  get_filename_component(target ${src} NAME_WE)
  string(REGEX REPLACE "^fuzz_" "" name ${target})
  add_executable(replay_${name} ${src} ${CALVAREX_FUZZ_DIR}/replay_main.cpp)
  target_link_libraries(replay_${name} PRIVATE calvarex_logic ${CALVAREX_DCMTK_FOR_CHECKS})
  target_include_directories(replay_${name} PRIVATE ${DCMTK_INCLUDE_DIRS})
  set(inputs ${CALVAREX_FUZZ_DIR}/regressions/${name} ${CALVAREX_FUZZ_DIR}/seeds/${name})
  if(NOT name STREQUAL "dose_message" AND EXISTS ${CALVAREX_PYDICOM_FILES})
    list(APPEND inputs ${CALVAREX_PYDICOM_FILES})
  endif()
  add_test(NAME fuzz/replay_${name} COMMAND replay_${name} ${inputs})
  set_tests_properties(fuzz/replay_${name} PROPERTIES TIMEOUT 300)
  if(CALVAREX_FUZZ)
    add_executable(${target} ${src})
    target_link_libraries(${target} PRIVATE calvarex_logic ${CALVAREX_DCMTK_FOR_CHECKS})
    target_include_directories(${target} PRIVATE ${DCMTK_INCLUDE_DIRS})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  endif()
endforeach()
