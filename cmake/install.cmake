# Installs randdump, the ckhelper library with its header, the man pages, a CMake package
# (find_package(ckhelper) gives ckhelper::ckhelper) and a pkg-config file (ckhelper.pc).
include(CMakePackageConfigHelpers)

install(TARGETS ckhelper randdump
  EXPORT ckhelperTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ckhelper)
install(EXPORT ckhelperTargets NAMESPACE ckhelper:: DESTINATION ${_package_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ckhelperConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ckhelperConfig.cmake INSTALL_DESTINATION ${_package_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ckhelperConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ckhelperConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/ckhelperConfigVersion.cmake DESTINATION ${_package_dir})

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
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ckhelper.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/man/randdump.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/man/ckhelper.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
