# GoogleTest from Debian's sources (googletest), built with the cross compiler.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

include(TestImages.cmake)

# Left out: the tests that call POSIX or shell tools (bridge, disks, store,
# platform, exfat_scan, fat_recover, fat_directory_entry) and the recovery tests whose expected
# names are the Linux ones (Windows makes "_.." into "___"); recovery on
# Windows is checked by tests/windows_cli_test.py instead.
add_executable(quenlar_tests
  attribute_header_test.cpp
  boot_sector_test.cpp
  browse_test.cpp
  cluster_chain_test.cpp
  data_run_test.cpp
  exfat_entry_set_test.cpp
  fat32_scan_test.cpp
  fat32_synthetic_test.cpp
  file_content_test.cpp
  file_name_attribute_test.cpp
  header_signature_test.cpp
  log_test.cpp
  ntfs_record_test.cpp
  ntfs_scan_test.cpp
  record_header_test.cpp
  volume_scanner_test.cpp
  windows_disks_test.cpp
  windows_platform_test.cpp
)
target_link_libraries(quenlar_tests PRIVATE quenlar_cli SQLite::SQLite3 gtest gtest_main)
# GCC 12 takes a vector insert of file_content_test for a read out of bounds when it
# inlines it for this target; it is not.
target_compile_options(quenlar_tests PRIVATE -Wno-array-bounds -Wno-stringop-overread)
# Wine sees the build tree's paths through its drive Z:.
string(REPLACE "/" "\\\\" windows_images "Z:${QUENLAR_IMAGE_DIR}")
string(REPLACE "/" "\\\\" windows_manifests "Z:${CMAKE_CURRENT_SOURCE_DIR}/images")
string(REPLACE "/" "\\\\" windows_program_folder "Z:${PROJECT_BINARY_DIR}")
target_compile_definitions(quenlar_tests PRIVATE
  QUENLAR_IMAGE_DIR="${windows_images}"
  QUENLAR_MANIFEST_DIR="${windows_manifests}"
  QUENLAR_TEST_VERSION="${PROJECT_VERSION}"
  QUENLAR_TEST_PROGRAM_FOLDER="${windows_program_folder}")
add_dependencies(quenlar_tests test_images BusyGlass)
add_test(NAME unit_under_wine COMMAND quenlar_tests WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
set_tests_properties(unit_under_wine PROPERTIES TIMEOUT 900 ENVIRONMENT
  "WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=;WINEPREFIX=${PROJECT_BINARY_DIR}/wineprefix")
