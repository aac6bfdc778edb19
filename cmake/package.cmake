# The release archive: murlen-monitor laid out as an IDE tool package, with
# its checksum file, made in the build directory by
#
#   cmake --build BUILD --target release-archive
#
# Installing is plain `cmake --install BUILD --prefix P`, which puts the
# executable in P/bin.

set(MURLEN_ARCHIVE_ARCH "${CMAKE_SYSTEM_PROCESSOR}"
    CACHE STRING "Processor name in the release archive's file name")
set(murlen_archive_name
    "murlen-monitor-${PROJECT_VERSION}-linux-${MURLEN_ARCHIVE_ARCH}.tar.gz")
set(murlen_archive "${CMAKE_BINARY_DIR}/${murlen_archive_name}")

add_custom_target(release-archive
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/make-release-archive.sh
            $<TARGET_FILE:murlen-monitor> ${PROJECT_SOURCE_DIR}/LICENSE
            ${PROJECT_SOURCE_DIR}/README.md ${murlen_archive} ${CMAKE_STRIP}
    BYPRODUCTS ${murlen_archive} ${murlen_archive}.sha256
    COMMENT "Packing ${murlen_archive_name}"
    VERBATIM)
add_dependencies(release-archive murlen-monitor)

if(BUILD_TESTING)
  add_test(NAME package_release_archive
      COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check-release-archive.sh
              ${CMAKE_BINARY_DIR} ${murlen_archive_name})
  set_tests_properties(package_release_archive PROPERTIES LABELS package TIMEOUT 120)

  # Skipped where udevadm, umockdev-run or a private mount namespace is missing.
  add_test(NAME package_udev_rules
      COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check-udev-rules.sh)
  set_tests_properties(package_udev_rules PROPERTIES
      LABELS package SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
