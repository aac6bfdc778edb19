# The tool archive of this build: the project's executables laid out as an IDE
# tool package, with its checksum file, made in the build directory by
#
#   cmake --build BUILD --target release-archive
#
# scripts/release.sh makes the portable archives for every host with this
# target, in a Debian bullseye root (MURLEN_PORTABLE). Installing is plain
# `cmake --install BUILD --prefix P`, which puts the executables in P/bin.

set(MURLEN_ARCHIVE_HOST "${CMAKE_SYSTEM_PROCESSOR}-linux-gnu"
    CACHE STRING "The IDE's host name in the tool archive's file name")
set(MURLEN_RELEASE_BASE "the build machine"
    CACHE STRING "The system the archive's executables were built on, for its README")
# Only the portable build (scripts/release.sh) makes an archive to ship; any
# other build packs one for trying, named and described as such, whose
# executables need this machine's glibc and libstdc++.
if(MURLEN_PORTABLE)
  set(murlen_archive_name "murlen-monitor-${PROJECT_VERSION}-${MURLEN_ARCHIVE_HOST}.tar.gz")
  set(murlen_archive_readme "${PROJECT_SOURCE_DIR}/packaging/README-archive.md")
else()
  set(murlen_archive_name "murlen-monitor-${PROJECT_VERSION}-${MURLEN_ARCHIVE_HOST}-local.tar.gz")
  set(murlen_archive_readme "${PROJECT_SOURCE_DIR}/packaging/README-local.md")
endif()
set(murlen_archive "${CMAKE_BINARY_DIR}/${murlen_archive_name}")

# Every tool executable the project defines goes into the archive.
set(murlen_archive_tools)
foreach(tool murlen-monitor murlen-discovery)
  if(TARGET ${tool})
    list(APPEND murlen_archive_tools ${tool})
  endif()
endforeach()
set(murlen_archive_files)
foreach(tool IN LISTS murlen_archive_tools)
  list(APPEND murlen_archive_files $<TARGET_FILE:${tool}>)
endforeach()

add_custom_target(release-archive
    COMMAND ${CMAKE_COMMAND} -E env STRIP=${CMAKE_STRIP} README_TEMPLATE=${murlen_archive_readme}
            bash ${PROJECT_SOURCE_DIR}/packaging/make-release-archive.sh
            ${murlen_archive} ${PROJECT_VERSION} ${MURLEN_ARCHIVE_HOST} ${MURLEN_RELEASE_BASE}
            ${murlen_archive_files}
    BYPRODUCTS ${murlen_archive} ${murlen_archive}.sha256
    COMMENT "Packing ${murlen_archive_name}"
    VERBATIM)
add_dependencies(release-archive ${murlen_archive_tools})

if(BUILD_TESTING)
  add_test(NAME package_release_archive
      COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check-release-archive.sh
              --build ${CMAKE_BINARY_DIR} ${murlen_archive_name} ${murlen_archive_tools})
  set_tests_properties(package_release_archive PROPERTIES LABELS package TIMEOUT 120)

  # fill and check on a vendor's own index (a tool of its own, two releases).
  add_test(NAME package_board_package
      COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/tests/packaging/board_package_test.py)
  set_tests_properties(package_board_package PROPERTIES LABELS package TIMEOUT 120)

  # Skipped where udevadm, umockdev-run or a private mount namespace is missing.
  add_test(NAME package_udev_rules
      COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check-udev-rules.sh)
  set_tests_properties(package_udev_rules PROPERTIES
      LABELS package SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
