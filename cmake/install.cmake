# Installs randdump, the ckhelper library with its header, the man pages, a CMake package
# (find_package(ckhelper) gives ckhelper::ckhelper), a pkg-config file (ckhelper.pc) and
# randdump's bash completion, in the three components the Debian packages are made of:
# randdump, libckhelper1 (the shared library) and libckhelper-dev (what programs build with).
include(CMakePackageConfigHelpers)

# randdump finds libckhelper relative to itself ($ORIGIN/../lib...), so that an installed tree
# works wherever it is installed (cmake --install --prefix) or moved; not where the dynamic
# loader searches anyway (/usr/lib/<triplet>, where the packages put it). The loader ignores
# $ORIGIN in a setuid or capable program: such a copy belongs in a system directory.
set(_searched ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
if(NOT "${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST _searched)
  file(RELATIVE_PATH _bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  set_target_properties(randdump_installed PROPERTIES INSTALL_RPATH "\$ORIGIN/${_bin_to_lib}")
endif()

install(TARGETS randdump_installed RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT randdump)
install(TARGETS ckhelper
  EXPORT ckhelperTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libckhelper1
    NAMELINK_COMPONENT libckhelper-dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libckhelper-dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libckhelper-dev)

set(_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ckhelper)
install(EXPORT ckhelperTargets NAMESPACE ckhelper:: DESTINATION ${_package_dir}
  COMPONENT libckhelper-dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ckhelperConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ckhelperConfig.cmake INSTALL_DESTINATION ${_package_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ckhelperConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ckhelperConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/ckhelperConfigVersion.cmake DESTINATION ${_package_dir}
  COMPONENT libckhelper-dev)

if(BUILD_SHARED_LIBS)
  set(CKHELPER_PC_LIBS_PRIVATE "")
else()
  # A static ckhelper brings its C++ runtime and loader needs to every program linking it.
  set(CKHELPER_PC_LIBS_PRIVATE "-lp11-kit -lstdc++")
  if(CMAKE_DL_LIBS)
    string(APPEND CKHELPER_PC_LIBS_PRIVATE " -l${CMAKE_DL_LIBS}")
  endif()
endif()
# Relative to the .pc file, so that the tree can be installed under any prefix.
file(RELATIVE_PATH _pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
set(CKHELPER_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/ckhelper.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ckhelper.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ckhelper.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT libckhelper-dev)

# Man pages and documents compressed, as Debian installs them (gzip -n: no time stamp in them).
set(_compressed)
foreach(_file man/randdump.1 man/ckhelper.3 README.md)
  set(_gz ${CMAKE_CURRENT_BINARY_DIR}/${_file}.gz)
  add_custom_command(OUTPUT ${_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND sh -c "gzip -9nc \"$0\" >\"$1\"" ${PROJECT_SOURCE_DIR}/${_file} ${_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/${_file} VERBATIM)
  list(APPEND _compressed ${_gz})
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${_compressed})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/randdump.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT randdump)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/ckhelper.3.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
  COMPONENT libckhelper-dev)
install(FILES ${PROJECT_SOURCE_DIR}/tool/completion.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME randdump
  COMPONENT randdump)

# What a Debian package carries besides: its copyright and changelog, and the README with
# randdump. Only the packages get them (scripts/package.sh).
string(TIMESTAMP CKHELPER_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in
  ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz
  COMMAND sh -c "gzip -9nc \"$0\" >\"$1\"" ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian
    ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz)
foreach(_component randdump libckhelper1 libckhelper-dev)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
    ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_component}
    COMPONENT ${_component} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.md.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/randdump COMPONENT randdump EXCLUDE_FROM_ALL)
